#include "imap/ImapService.h"

#include "httpmail/DavNames.h"
#include "httpmail/Folder.h"
#include "httpmail/JobResult.h"
#include "imap/ListingDate.h"
#include "imap/MailboxName.h"

namespace {

using namespace DavNames;

const char kResponses[] = "//D:response";
const char kTo[] = "D:propstat/D:prop/m:to";
constexpr int kPreconditionFailed = 412;

CCredentials Of(const ImapCredentials& c) { return CCredentials{c.userName, c.password}; }

uint32_t Size(const std::string& text) {
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(n);
}

}  // namespace

CImapService::CImapService(CHotmailHTTP& http, unsigned serial, Hooks hooks)
    : http_(http), serial_(serial), hooks_(std::move(hooks)) {}

CImapService::~CImapService() {}

BackendResult CImapService::ResultOf(LPARAM result) {
  if (JobResult::IsSuccess(result)) return BackendResult::Ok;
  if (JobResult::IsUnreachable(result) || result >= 500) return BackendResult::Unavailable;
  if (JobResult::IsRefusedCredentials(result) || result == 403) return BackendResult::AuthFailed;
  if (result == 404) return BackendResult::NotFound;
  return BackendResult::Failed;
}

void CImapService::Run(std::unique_ptr<CHotmailRequest> request, Reader reader) {
  reader_ = std::move(reader);
  hooks_.startJob();
  if (!request || !CHotmailHTTP::SubmitImap(request, serial_)) {
    // Nothing goes out: the job ends at once, failed, by the same road.
    hooks_.jobDone(JobResult::kUnreachable);
  }
}

void CImapService::OnReply(std::unique_ptr<CHotmailRequest> request) {
  request->Finish();
  LPARAM result = request->completed ? request->status : JobResult::kUnreachable;
  reply_ = std::move(request);
  hooks_.jobDone(result);
}

void CImapService::Complete(LPARAM result) {
  Reader reader;
  reader.swap(reader_);
  std::unique_ptr<CHotmailRequest> reply = std::move(reply_);
  if (reader) reader(reply.get(), reply ? result : JobResult::kUnreachable);
}

std::string CImapService::MessageHref(const std::string& folderId, const std::string& messageId) const {
  auto found = messageHrefs_.find({folderId, messageId});
  return found == messageHrefs_.end() ? std::string() : found->second;
}

void CImapService::Login(const ImapCredentials& credentials, Done done) {
  Run(http_.NewRootRequest(Of(credentials)), [this, done](CHotmailRequest* reply, LPARAM result) {
    // The reader remembers what discovery found for these credentials.
    if (reply != nullptr && result == JobResult::kMultiStatus) result = http_.ParseRootReply(*reply);
    done(JobResult::IsLoggedIn(result) ? BackendResult::Ok : ResultOf(result));
  });
}

void CImapService::ListFolders(const ImapCredentials& credentials, FoldersDone done) {
  Run(http_.NewFolderRequest(Of(credentials)), [this, done](CHotmailRequest* reply, LPARAM result) {
    std::vector<ImapFolderInfo> folders;
    if (reply != nullptr) {
      std::map<std::string, std::string> hrefs;
      result = http_.ReadImapMultiStatus(*reply, [&](CXmlDocument& doc) {
        doc.Load(reply->response);
        for (CXmlDocument::Node response : doc.SelectNodes(kResponses)) {
          ImapFolderInfo folder;
          std::string href;
          if (!doc.SelectText(response, kHref, href) || !doc.SelectText(response, kId, folder.id) ||
              folder.id.empty()) {
            continue;
          }
          doc.SelectText(response, kSpecial, folder.kind);
          doc.SelectUtf8Text(response, kDisplayName, folder.displayName);
          if (folder.displayName.empty()) {
            CFolder::AssignDisplayName(folder.displayName, folder.kind);
            folder.displayName = CMailboxName::Utf8FromCodePage932(folder.displayName);
          }
          hrefs[folder.id] = href;
          folders.push_back(folder);
        }
        return static_cast<int>(JobResult::kMultiStatus);
      });
      if (result == JobResult::kMultiStatus) folderHrefs_.swap(hrefs);
    }
    done(result == JobResult::kMultiStatus ? BackendResult::Ok : ResultOf(result),
         folders);
  });
}

void CImapService::ListMessages(const ImapCredentials& credentials, const std::string& folderId,
                                MessagesDone done) {
  auto href = folderHrefs_.find(folderId);
  std::unique_ptr<CHotmailRequest> request;
  if (href != folderHrefs_.end()) request = http_.NewMailListRequest(Of(credentials), href->second);
  Run(std::move(request), [this, done, folderId](CHotmailRequest* reply, LPARAM result) {
    std::vector<ImapMessageInfo> messages;
    if (reply != nullptr) {
      std::map<std::pair<std::string, std::string>, std::string> hrefs;
      result = http_.ReadImapMultiStatus(*reply, [&](CXmlDocument& doc) {
        // One response element at a time: a folder's listing may be far
        // longer than a reply read whole may be.
        doc.LoadEach(reply->response, kDav, kResponse, [&](CXmlDocument::Node response) {
          ImapMessageInfo m;
          std::string href, text;
          if (!doc.SelectText(response, kHref, href) || !doc.SelectText(response, kId, m.id) || m.id.empty()) return;
          if (doc.SelectText(response, kContentLength, text)) m.size = Size(text);
          if (doc.SelectText(response, kRead, text)) m.read = !text.empty() && text != "0";
          if (doc.SelectText(response, kDate, text)) CListingDate::Parse(text, &m.date);
          doc.SelectText(response, kSubject, m.subject);
          doc.SelectText(response, kFromAddr, m.from);
          doc.SelectText(response, kTo, m.to);
          hrefs[{folderId, m.id}] = href;
          messages.push_back(m);
        });
        return static_cast<int>(JobResult::kMultiStatus);
      });
      if (result == JobResult::kMultiStatus) {
        // This folder's hrefs are replaced; the others' stay.
        for (auto it = messageHrefs_.begin(); it != messageHrefs_.end();) {
          it = it->first.first == folderId ? messageHrefs_.erase(it) : std::next(it);
        }
        messageHrefs_.insert(hrefs.begin(), hrefs.end());
      }
    }
    done(result == JobResult::kMultiStatus ? BackendResult::Ok : ResultOf(result),
         messages);
  });
}

void CImapService::FetchMessage(const ImapCredentials& credentials, const std::string& folderId,
                                const std::string& messageId, TextDone done) {
  std::string href = MessageHref(folderId, messageId);
  std::unique_ptr<CHotmailRequest> request;
  if (!href.empty()) request = http_.NewImapRequest(Of(credentials), KIND_MESSAGE, "GET", href);
  if (request) request->headers = kMessageHeaders;
  Run(std::move(request), [done](CHotmailRequest* reply, LPARAM result) {
    if (reply != nullptr && result == JobResult::kOk) {
      done(BackendResult::Ok, reply->response);
    } else {
      done(result == JobResult::kOk ? BackendResult::Failed : ResultOf(result), std::string());
    }
  });
}

void CImapService::SetRead(const ImapCredentials& credentials, const std::string& folderId,
                           const std::string& messageId, bool read, Done done) {
  std::string href = MessageHref(folderId, messageId);
  std::unique_ptr<CHotmailRequest> request;
  if (!href.empty()) request = http_.NewImapRequest(Of(credentials), KIND_MARK_READ, "PROPPATCH", href);
  if (request) {
    request->headers = "Brief: t\r\n";
    request->body = read ? kMarkReadBody : kMarkUnreadBody;
  }
  Run(std::move(request), [done](CHotmailRequest*, LPARAM result) { done(ResultOf(result)); });
}

void CImapService::Move(const ImapCredentials& credentials, const std::string& folderId,
                        const std::string& messageId, const std::string& destinationId, TextDone done) {
  Transfer(true, Of(credentials), MessageHref(folderId, messageId), folderId, destinationId, messageId, false, done);
}

void CImapService::Copy(const ImapCredentials& credentials, const std::string& folderId,
                        const std::string& messageId, const std::string& destinationId, TextDone done) {
  Transfer(false, Of(credentials), MessageHref(folderId, messageId), folderId, destinationId, messageId, false, done);
}

// The message keeps its id in the destination when it is free there; when
// it is taken, one more try under a fresh id. The new id is then known
// without reading the reply's Location.
void CImapService::Transfer(bool move, const CCredentials& credentials, const std::string& href,
                            const std::string& folderId, const std::string& destinationId, const std::string& newId,
                            bool retried, TextDone done) {
  auto destination = folderHrefs_.find(destinationId);
  std::unique_ptr<CHotmailRequest> request;
  if (!href.empty() && destination != folderHrefs_.end() && FitsInHeader(destination->second + newId)) {
    request = http_.NewImapRequest(credentials, move ? KIND_MOVE : KIND_COPY, move ? "MOVE" : "COPY", href);
  }
  if (request) {
    request->headers = "Destination: " + destination->second + newId + "\r\nOverwrite: F\r\nAllow-Rename: f\r\n";
  }
  Run(std::move(request), [=](CHotmailRequest*, LPARAM result) {
    if (result == kPreconditionFailed && !retried) {
      static unsigned counter = 0;
      std::string fresh = newId + "-" + std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
      Transfer(move, credentials, href, folderId, destinationId, fresh, true, done);
      return;
    }
    done(ResultOf(result), JobResult::IsSuccess(result) ? newId : std::string());
  });
}

void CImapService::Delete(const ImapCredentials& credentials, const std::string& folderId,
                          const std::string& messageId, Done done) {
  std::string href = MessageHref(folderId, messageId);
  std::unique_ptr<CHotmailRequest> request;
  if (!href.empty()) request = http_.NewImapRequest(Of(credentials), KIND_DELETE, "DELETE", href);
  Run(std::move(request), [done](CHotmailRequest*, LPARAM result) { done(ResultOf(result)); });
}
