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
#include "httpmail/JobResult.h"
#include "httpmail/MailListing.h"

namespace {

using namespace DavNames;

// Whether a Content-Range value ("bytes 0-32767/60000") starts at byte 0.
bool StartsAtFirstByte(const std::string& range) {
  static const char kUnit[] = "bytes ";
  for (size_t i = 0; i < 6; ++i)
    if (i >= range.size() || tolower(static_cast<unsigned char>(range[i])) != kUnit[i]) return false;
  const size_t pos = range.find_first_not_of(' ', 6);
  const size_t digits = range.find_first_not_of('0', pos);
  return pos != std::string::npos && digits != pos && digits != std::string::npos && range[digits] == '-';
}

const char kRootPath[] = "D:multistatus/D:response/D:propstat/D:prop/hm:msgfolderroot";
const char kSendPath[] = "D:multistatus/D:response/D:propstat/D:prop/hm:sendmsg";

const char kNoRoot[] = "[ルートフォルダが見つかりません]";
const char kNoSend[] = "[送信フォルダが見つかりません]";
const char kNoFolderLink[] = "[Folder のハイパーリンクが見つかりません]";
const char kNoDeleteTarget[] = "[削除先のフォルダが見つかりません]";
const char kMailGone[] = "[ダウンロードしたメールが一覧にありません]";

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

bool CHotmailHTTP::SelectText(CXmlDocument& doc, CXmlDocument::Node context, const char* path, std::string& text) {
  return doc.SelectText(context, path, text);
}

int CHotmailHTTP::SelectInt(CXmlDocument& doc, CXmlDocument::Node context, const char* path) {
  std::string text;
  if (!doc.SelectText(context, path, text)) return 0;
  return LeadingDecimal(text.c_str());
}

// ---- PROPFIND readers ------------------------------------------------------------

// The frame every PROPFIND reader runs in: a failed exchange is -1, a
// status other than 207 is the result as it came, and a 207 body is loaded
// and walked by `walk`; a document that cannot be read is reported and
// reads as -1.
int CHotmailHTTP::ReadMultiStatus(CHTTPSession& session, const std::function<int(CXmlDocument&)>& walk) {
  if (!session.completed) return JobResult::kUnreachable;
  if (session.status != JobResult::kMultiStatus) return session.status;
  try {
    CXmlDocument doc;
    BindReplyPrefixes(doc, settings_.serviceNamespace);
    return walk(doc);
  } catch (const CXmlDocument::Error& e) {
    REPORT_ERROR(e.Text().c_str(), 0);
  } catch (const std::bad_alloc&) {
    REPORT_ERROR(CXmlDocument::Error(CXmlDocument::kOutOfMemory).Text().c_str(), 0);
  }
  return JobResult::kUnreachable;
}

// What is found is remembered for the credentials the request carried; a
// discovery that fails leaves nothing remembered for them, so their next
// log-in discovers afresh.
int CHotmailHTTP::ParseRootReply(CHTTPSession& session) {
  const CCredentials credentials{session.userName, session.password};
  Discovery found;
  const int result = ReadMultiStatus(session, [&](CXmlDocument& doc) {
    doc.Load(session.response);
    if (!SelectText(doc, nullptr, kRootPath, found.folderRootUrl)) {
      REPORT_ERROR(kNoRoot, 0);
      return JobResult::kUnreachable;
    }
    if (!SelectText(doc, nullptr, kSendPath, found.sendUrl)) {
      REPORT_ERROR(kNoSend, 0);
      return JobResult::kUnreachable;
    }
    found.folderRootUrl = AbsoluteUrl(found.folderRootUrl, session.url);
    found.sendUrl = AbsoluteUrl(found.sendUrl, session.url);
    return session.status;
  });
  if (JobResult::IsLoggedIn(result))
    discoveries_[credentials] = found;
  else
    discoveries_.erase(credentials);
  return result;
}

// Listings are read one response element at a time; what they describe is
// taken over only once the whole reply has been read, so a reply that
// breaks off changes nothing.
int CHotmailHTTP::ParseFolderReply(CHTTPSession& session) {
  return ReadMultiStatus(session, [&](CXmlDocument& doc) {
    std::vector<std::unique_ptr<CFolder>> listed;
    doc.LoadEach(session.response, kDav, kResponse, [&](CXmlDocument::Node response) {
      std::unique_ptr<CFolder> folder(new CFolder);
      if (!SelectText(doc, response, kHref, folder->href)) {
        REPORT_ERROR(kNoFolderLink, 0);
        return;
      }
      folder->href = AbsoluteUrl(folder->href, session.url);
      SelectText(doc, response, kSpecial, folder->special);
      SelectText(doc, response, kId, folder->id);
      SelectText(doc, response, kDisplayName, folder->displayName);
      listed.push_back(std::move(folder));
    });
    bool registered = false;
    folders_.reserve(folders_.size() + listed.size());
    for (std::unique_ptr<CFolder>& folder : listed) {
      if (folder->Normalize(settings_)) registered = true;
      folders_.push_back(folder.release());
    }
    // Folders seen for the first time reach the INI file in one save.
    if (registered) settings_.SaveFolders();
    return session.status;
  });
}

// A listing streamed by its session was read as it arrived; one held whole
// is read here. Either way nothing is taken over from a reply that could
// not be read to its end.
int CHotmailHTTP::ParseMailReply(CHTTPSession& session) {
  if (!session.completed) return JobResult::kUnreachable;
  if (session.status != JobResult::kMultiStatus) return session.status;
  CMailListing* listing = dynamic_cast<CMailListing*>(session.consumer.get());
  CMailListing whole(settings_.serviceNamespace);
  if (listing == nullptr) {
    whole.ConsumeText(session.response, session.url);
    listing = &whole;
  }
  if (!listing->ReportErrors()) return JobResult::kUnreachable;
  std::vector<std::unique_ptr<CMail>> listed = listing->TakeRecords();
  // Numbered when appended: an error box above may have let another
  // folder's reply append first.
  mails_.reserve(mails_.size() + listed.size());
  for (std::unique_ptr<CMail>& mail : listed) {
    mail->ConvertDate();
    mail->number = static_cast<int>(mails_.size()) + 1;
    mails_.push_back(mail.release());
  }
  return session.status;
}

// ---- single-message readers -------------------------------------------------------

int CHotmailHTTP::OnMessageReply(CHotmailRequest& session) {
  if (!session.completed) return JobResult::kUnreachable;
  // 206 answers a request for the message's start only.
  const bool start = session.status == JobResult::kPartialContent && session.startBytes > 0;
  // A part that does not begin at the first byte is not the start asked
  // for: answered as an unsatisfiable range, the whole message is fetched.
  if (start && !StartsAtFirstByte(session.contentRange)) return JobResult::kRangeNotSatisfiable;
  if (session.status != JobResult::kOk && !start) return session.status;
  CMail* mail = MailAt(session.number);
  if (mail == nullptr || mail->id != session.mailId) {
    REPORT_ERROR(kMailGone, 0);
    return JobResult::kUnreachable;
  }
  mail->content = std::move(session.response);  // one body, handed over
  mail->held = start ? CMail::Held::Start : CMail::Held::Whole;
  return static_cast<int>(RETRIEVE_OK_BASE) + session.number;
}

int CHotmailHTTP::OnSimpleReply(CHTTPSession& session) { return session.completed ? session.status : JobResult::kUnreachable; }

int CHotmailHTTP::FindDeleteTarget() {
  const std::string& target = settings_.deleteTarget;
  for (size_t i = 0; i < folders_.size(); ++i)
    if (folders_[i]->special == target) return static_cast<int>(i) + 1;
  REPORT_ERROR(kNoDeleteTarget, 0);
  return static_cast<int>(folders_.size()) + 1;
}
