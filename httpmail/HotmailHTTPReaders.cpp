// CHotmailHTTP: the response readers. The three PROPFIND readers share one
// frame: a session that did not complete is -1, a status other than 207 is
// passed on, and a 207 body is loaded and read; a DOM failure is reported
// and makes the result -1.
#include "HotmailHTTP.h"

#include <ctype.h>

#include <algorithm>
#include <new>

#include "config/DecimalNumber.h"
#include "config/Log.h"
#include "config/Settings.h"
#include "httpmail/DavNames.h"
#include "httpmail/MailListing.h"

namespace {

using namespace DavNames;

// The first byte of a Content-Range value ("bytes 0-32767/60000"), or
// npos when it names none.
size_t RangeStart(const std::string& range) {
  static const char kUnit[] = "bytes ";
  for (size_t i = 0; i < 6; ++i)
    if (i >= range.size() || tolower(static_cast<unsigned char>(range[i])) != kUnit[i]) return std::string::npos;
  size_t pos = range.find_first_not_of(' ', 6);
  size_t first = 0;
  const size_t digits = pos;
  for (; pos < range.size() && range[pos] >= '0' && range[pos] <= '9'; ++pos) {
    const size_t digit = static_cast<size_t>(range[pos] - '0');
    if (first > (std::string::npos - 1 - digit) / 10) return std::string::npos;
    first = first * 10 + digit;
  }
  return digits != std::string::npos && pos != digits && pos < range.size() && range[pos] == '-' ? first
                                                                                                  : std::string::npos;
}

const char kRootPath[] = "D:multistatus/D:response/D:propstat/D:prop/hm:msgfolderroot";
const char kSendPath[] = "D:multistatus/D:response/D:propstat/D:prop/hm:sendmsg";

const char kNoRoot[] = "[ルートフォルダが見つかりません]";
const char kNoSend[] = "[送信フォルダが見つかりません]";
const char kNoFolderLink[] = "[Folder のハイパーリンクが見つかりません]";

constexpr int kOk = 200;
constexpr int kPartialContent = 206;
constexpr int kMultiStatus = 207;

}  // namespace

// ---- DOM lookups ----------------------------------------------------------------

void CHotmailHTTP::BindReplyPrefixes(CXmlDocument& doc, const std::string& serviceNamespace) {
  doc.BindPrefix("D", "DAV:");
  doc.BindPrefix("hm", "urn:schemas:httpmail:");
  doc.BindPrefix("m", "urn:schemas:mailheader:");
  if (!serviceNamespace.empty()) doc.BindPrefix("h", serviceNamespace);
}

std::string CHotmailHTTP::AbsoluteUrl(const std::string& href, const std::string& base) {
  const size_t scheme = base.find("://");
  if (href.empty() || href.find("://") != std::string::npos || scheme == std::string::npos) return href;
  const size_t path = std::min(base.find('/', scheme + 3), base.size());
  if (href.compare(0, 2, "//") == 0) return base.substr(0, scheme + 1) + href;
  if (href[0] == '/') return base.substr(0, path) + href;
  const size_t end = std::min({base.find('?', path), base.find('#', path), base.size()});
  const size_t slash = base.rfind('/', end == 0 ? 0 : end - 1);
  return (slash == std::string::npos || slash < path ? base.substr(0, path) + "/" : base.substr(0, slash + 1)) + href;
}

int CHotmailHTTP::SelectInt(CXmlDocument& doc, CXmlDocument::Node context, const char* path) {
  std::string text;
  if (!doc.SelectText(context, path, text)) return 0;
  return LeadingDecimal(text.c_str());
}

// ---- PROPFIND readers ------------------------------------------------------------

// The frame every PROPFIND reader runs in: a failed exchange is
// Unreachable, a status other than 207 is refused as it came, and a 207 body
// is loaded and walked by `walk`; a document that cannot be read is
// reported and reads as Unreachable.
MailResult CHotmailHTTP::ReadMultiStatus(CHTTPSession& session, const std::function<void(CXmlDocument&)>& walk) {
  if (!session.completed) return MailResult::NoAnswer();
  if (session.status != kMultiStatus) return MailResult::RefusedWith(session.status);
  try {
    CXmlDocument doc;
    BindReplyPrefixes(doc, settings_.serviceNamespace);
    walk(doc);
    return MailResult::Done(session.status);
  } catch (const CXmlDocument::Error& e) {
    REPORT_ERROR(e.Text().c_str(), 0);
  } catch (const std::bad_alloc&) {
    REPORT_ERROR(CXmlDocument::Error(CXmlDocument::kOutOfMemory).Text().c_str(), 0);
  }
  return MailResult::NoAnswer();
}

// What is found is remembered for the credentials the request carried; a
// discovery that fails leaves nothing remembered for them, so their next
// log-in discovers afresh.
MailResult CHotmailHTTP::ReadDiscovery(CHTTPSession& session) {
  const CCredentials credentials{session.userName, session.password};
  Discovery found;
  bool complete = false;
  MailResult result = ReadMultiStatus(session, [&](CXmlDocument& doc) {
    doc.Load(session.response);
    if (!doc.SelectText(nullptr, kRootPath, found.folderRootUrl)) {
      REPORT_ERROR(kNoRoot, 0);
      return;
    }
    if (!doc.SelectText(nullptr, kSendPath, found.sendUrl)) {
      REPORT_ERROR(kNoSend, 0);
      return;
    }
    found.folderRootUrl = AbsoluteUrl(found.folderRootUrl, session.url);
    found.sendUrl = AbsoluteUrl(found.sendUrl, session.url);
    complete = true;
  });
  if (result.Ok() && !complete) result = MailResult::NoAnswer();
  if (result.Ok())
    discoveries_[credentials] = found;
  else
    discoveries_.erase(credentials);
  return result;
}

// Listings are read one response element at a time; what they describe is
// handed over only once the whole reply has been read, so a reply that
// breaks off gives nothing.
MailResult CHotmailHTTP::ReadFolders(CHTTPSession& session, std::vector<CFolder>& folders) {
  std::vector<CFolder> listed;
  const MailResult result = ReadMultiStatus(session, [&](CXmlDocument& doc) {
    doc.LoadEach(session.response, kDav, kResponse, [&](CXmlDocument::Node response) {
      CFolder folder;
      if (!doc.SelectText(response, kHref, folder.href)) {
        REPORT_ERROR(kNoFolderLink, 0);
        return;
      }
      folder.href = AbsoluteUrl(folder.href, session.url);
      doc.SelectText(response, kSpecial, folder.special);
      doc.SelectText(response, kId, folder.id);
      doc.SelectText(response, kDisplayName, folder.displayName);
      doc.SelectUtf8Text(response, kDisplayName, folder.unicodeName);
      listed.push_back(std::move(folder));
    });
  });
  if (result.Ok()) folders.swap(listed);
  return result;
}

// A listing streamed by its session was read as it arrived; one held whole
// is read here. Either way nothing is handed over from a reply that could
// not be read to its end.
MailResult CHotmailHTTP::ReadMails(CHTTPSession& session, std::vector<CMail>& mails) {
  if (!session.completed) return MailResult::NoAnswer();
  if (session.status != kMultiStatus) return MailResult::RefusedWith(session.status);
  CMailListing* listing = dynamic_cast<CMailListing*>(session.consumer.get());
  CMailListing whole(settings_.serviceNamespace);
  if (listing == nullptr) {
    whole.ConsumeText(session.response, session.url);
    listing = &whole;
  }
  if (!listing->ReportErrors()) return MailResult::NoAnswer();
  mails = listing->TakeRecords();
  return MailResult::Done(session.status);
}

// ---- single-message readers -------------------------------------------------------

MailResult CHotmailHTTP::ReadMessage(CHotmailRequest& session, std::string& text, CMail::Held& held) {
  if (!session.completed) return MailResult::NoAnswer();
  // 206 answers a request for the message's start only.
  const bool start = session.status == kPartialContent && session.startBytes > 0;
  // A part that does not begin at the first byte is not the start asked
  // for: answered as an unsatisfiable range, the whole message is fetched.
  if (start && RangeStart(session.contentRange) != 0) return MailResult::RefusedWith(kRangeNotSatisfiable);
  if (session.status != kOk && !start) return MailResult::RefusedWith(session.status);
  text = std::move(session.response);  // one body, handed over
  held = start ? CMail::Held::Start : CMail::Held::Whole;
  return MailResult::Done(session.status);
}

MailResult CHotmailHTTP::ReadRange(CHotmailRequest& session, size_t first, size_t count, std::string& text) {
  if (!session.completed) return MailResult::NoAnswer();
  if (session.status == kOk) {
    // The whole text: the range is cut from it.
    text = CutRange(MailResult::Done(kOk), session.response, first, count);
    return text.size() == count ? MailResult::Done(kOk) : MailResult::RefusedWith(kRangeNotSatisfiable);
  }
  if (session.status != kPartialContent) return MailResult::RefusedWith(session.status);
  // Only the bytes asked for, from where they were asked for, will do.
  if (RangeStart(session.contentRange) != first || session.response.size() != count) {
    return MailResult::RefusedWith(kRangeNotSatisfiable);
  }
  text = std::move(session.response);
  return MailResult::Done(session.status);
}

MailResult CHotmailHTTP::ReadStatus(const CHTTPSession& session, int wanted) {
  if (!session.completed) return MailResult::NoAnswer();
  const bool ok = wanted != 0 ? session.status == wanted : session.status >= 200 && session.status <= 299;
  return ok ? MailResult::Done(session.status) : MailResult::RefusedWith(session.status);
}
