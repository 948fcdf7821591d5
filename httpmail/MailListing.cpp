#include "MailListing.h"

#include <algorithm>
#include <new>

#include "config/Log.h"
#include "http/HTTPSession.h"
#include "httpmail/DavNames.h"
#include "httpmail/HotmailHTTP.h"

namespace {

using namespace DavNames;

const char kNoMailLink[] = "[Mail のハイパーリンクが見つかりません]";
const char kNoMailId[] = "[Mail の ID が見つかりません]";

}  // namespace

CMailListing::CMailListing(std::string serviceNamespace) : serviceNamespace_(std::move(serviceNamespace)) {}

void CMailListing::Consume(CBodySource& body, const CHTTPSession& session) {
  if (session.status != 207) return;  // Multi-Status
  Read(session.url, [&body](CXmlDocument& doc, const Visit& visit) {
    doc.StreamEach([&body](char* buffer, int size) { return body.Read(buffer, size); }, kDav, kResponse, visit);
  });
}

void CMailListing::ConsumeText(const std::string& body, const std::string& url) {
  Read(url, [&body](CXmlDocument& doc, const Visit& visit) { doc.LoadEach(body, kDav, kResponse, visit); });
}

void CMailListing::Read(const std::string& url, const std::function<void(CXmlDocument&, const Visit&)>& load) {
  try {
    CXmlDocument doc;
    CHotmailHTTP::BindReplyPrefixes(doc, serviceNamespace_);
    load(doc, [&](CXmlDocument::Node response) { Add(doc, response, url); });
  } catch (const CXmlDocument::Error& e) {
    Fail(e.Text());
  } catch (const std::bad_alloc&) {
    Fail(CXmlDocument::Error(CXmlDocument::kOutOfMemory).Text());
  }
}

void CMailListing::Add(CXmlDocument& doc, CXmlDocument::Node response, const std::string& url) {
  CMail mail;
  if (!doc.SelectText(response, kHref, mail.href)) {
    Note(kNoMailLink);
    return;
  }
  mail.href = CHotmailHTTP::AbsoluteUrl(mail.href, url);
  if (!doc.SelectText(response, kId, mail.id)) {
    Note(kNoMailId);
    return;
  }
  // A size below zero cannot be listed to a POP3 client.
  mail.size = CHotmailHTTP::SelectInt(doc, response, kContentLength);
  if (mail.size < 0) mail.size = 0;
  mail.read = CHotmailHTTP::SelectInt(doc, response, kRead) != 0;
  doc.SelectText(response, kDate, mail.date);
  doc.SelectText(response, kSubject, mail.subject);
  doc.SelectText(response, kFromAddr, mail.from);
  doc.SelectText(response, kTo, mail.to);
  records_.push_back(std::move(mail));
}

void CMailListing::Fail(const std::string& text) {
  failed_ = true;
  std::deque<CMail>().swap(records_);
  Note(text);
}

std::vector<CMail> CMailListing::TakeRecords() {
  std::vector<CMail> records;
  records.reserve(records_.size());
  // Each record leaves the deque as it is moved: the two are never whole side by side.
  while (!records_.empty()) {
    records.push_back(std::move(records_.front()));
    records_.pop_front();
  }
  return records;
}

// Each kind of fault is raised once for a listing: a listing of thousands of
// broken entries is one problem to the user, not thousands of boxes.
void CMailListing::Note(const std::string& text) {
  if (std::find(errors_.begin(), errors_.end(), text) == errors_.end()) errors_.push_back(text);
}

bool CMailListing::ReportErrors() {
  for (const std::string& text : errors_) REPORT_ERROR(text.c_str(), 0);
  errors_.clear();
  return !failed_;
}
