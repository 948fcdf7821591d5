// CHotmailHTTP: construction, the operations and the one road of a finished
// request. Requests are built in HotmailHTTPRequests.cpp, replies read in
// HotmailHTTPReaders.cpp.
#include "HotmailHTTP.h"

#include <objbase.h>

#include "config/Settings.h"
#include "httpmail/MailListing.h"
#include "plugin/PrivateMessages.h"

namespace {

constexpr int kCreated = 201;
constexpr int kPreconditionFailed = 412;

}  // namespace

CHotmailHTTP::CHotmailHTTP(CSettings& settings) : settings_(settings) {
  comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
}

CHotmailHTTP::~CHotmailHTTP() {
  if (comInitialized_) CoUninitialize();
}

void CHotmailHTTP::Run(std::unique_ptr<CHotmailRequest> request, std::function<void(CHotmailRequest*)> read) {
  if (!request) return read(nullptr);
  request->queue = queue_;
  request->done = [read](CHotmailRequest& finished) { read(&finished); };
  if (!CHTTPSession::Submit(request.get())) {
    request->done = nullptr;
    return read(nullptr);
  }
  request.release();  // the transport has it until its completion message
}

// The worker's message is the only road back: the reply is read and its
// operation completed here, on the window thread; then the next queued
// session may start.
LRESULT CHotmailHTTP::OnMessage(HWND, UINT message, WPARAM, LPARAM lParam) {
  if (message != WM_HTTP_SESSION_DONE || lParam == 0) return 0;
  // Every session the transport hands back was built by this client.
  std::unique_ptr<CHotmailRequest> request(static_cast<CHotmailRequest*>(reinterpret_cast<CHTTPSession*>(lParam)));
  std::function<void(CHotmailRequest&)> done = std::move(request->done);
  request->Finish();
  if (done) done(*request);
  return 0;
}

// ---- discovery ------------------------------------------------------------------

const CHotmailHTTP::Discovery* CHotmailHTTP::Found(const CCredentials& credentials) const {
  auto found = discoveries_.find(credentials);
  return found == discoveries_.end() ? nullptr : &found->second;
}

bool CHotmailHTTP::Discovered(const CCredentials& credentials) const {
  const Discovery* discovery = Found(credentials);
  return discovery != nullptr && !discovery->folderRootUrl.empty();
}

std::string CHotmailHTTP::FolderRootUrl(const CCredentials& credentials) const {
  const Discovery* discovery = Found(credentials);
  return discovery ? discovery->folderRootUrl : std::string();
}

std::string CHotmailHTTP::SendUrl(const CCredentials& credentials) const {
  const Discovery* discovery = Found(credentials);
  return discovery ? discovery->sendUrl : std::string();
}

// ---- operations -----------------------------------------------------------------

void CHotmailHTTP::Discover(const CCredentials& credentials, Done done) {
  Run(NewRootRequest(credentials), [this, done](CHotmailRequest* reply) {
    done(reply != nullptr ? ReadDiscovery(*reply) : MailResult::NoAnswer());
  });
}

void CHotmailHTTP::ListFolders(const CCredentials& credentials, FoldersDone done) {
  Run(NewFolderRequest(credentials), [this, done](CHotmailRequest* reply) {
    std::vector<CFolder> folders;
    const MailResult result = reply != nullptr ? ReadFolders(*reply, folders) : MailResult::NoAnswer();
    done(result, folders);
  });
}

void CHotmailHTTP::ListMails(const CCredentials& credentials, const CFolder& folder, MailsDone done) {
  // Read as it arrives: a long listing is never held whole.
  std::unique_ptr<CHotmailRequest> request = NewMailListRequest(credentials, folder.href);
  if (request) request->consumer.reset(new CMailListing(settings_.serviceNamespace));
  Run(std::move(request), [this, done](CHotmailRequest* reply) {
    std::vector<CMail> mails;
    const MailResult result = reply != nullptr ? ReadMails(*reply, mails) : MailResult::NoAnswer();
    done(result, mails);
  });
}

void CHotmailHTTP::Fetch(const CCredentials& credentials, const CMail& mail, size_t startBytes, TextDone done) {
  Run(NewMessageRequest(credentials, mail, startBytes), [done](CHotmailRequest* reply) {
    std::string text;
    CMail::Held held = CMail::Held::Nothing;
    const MailResult result = reply != nullptr ? ReadMessage(*reply, text, held) : MailResult::NoAnswer();
    done(result, text, held);
  });
}

void CHotmailHTTP::FetchRange(const CCredentials& credentials, const CMail& mail, size_t first, size_t count,
                              TextDone done) {
  Run(NewRangeRequest(credentials, mail, first, count), [first, count, done](CHotmailRequest* reply) {
    std::string text;
    const MailResult result = reply != nullptr ? ReadRange(*reply, first, count, text) : MailResult::NoAnswer();
    done(result, text, CMail::Held::Nothing);
  });
}

void CHotmailHTTP::SetRead(const CCredentials& credentials, const CMail& mail, bool read, Done done) {
  Run(NewMarkReadRequest(credentials, mail, read), [done](CHotmailRequest* reply) {
    done(reply != nullptr ? ReadStatus(*reply) : MailResult::NoAnswer());
  });
}

void CHotmailHTTP::MoveAway(const CCredentials& credentials, const CMail& mail, const CFolder& folder, Done done) {
  Run(NewMoveRequest(credentials, mail, folder), [done](CHotmailRequest* reply) {
    done(reply != nullptr ? ReadStatus(*reply) : MailResult::NoAnswer());
  });
}

void CHotmailHTTP::TransferTo(Transfer kind, const CCredentials& credentials, const CMail& mail,
                              const CFolder& folder, bool freshId, IdDone done) {
  Carry(kind, credentials, mail, folder, freshId ? FreshId(mail.id) : mail.id, freshId, std::move(done));
}

// A name taken in the destination gets one more try under a fresh id.
void CHotmailHTTP::Carry(Transfer kind, const CCredentials& credentials, const CMail& mail, const CFolder& folder,
                         const std::string& newId, bool retried, IdDone done) {
  const CHTTPSession::Queue queue = queue_;
  Run(NewTransferRequest(kind, credentials, mail, folder, newId),
      [=](CHotmailRequest* reply) {
        const MailResult result = reply != nullptr ? ReadStatus(*reply) : MailResult::NoAnswer();
        if (result.Refused(kPreconditionFailed) && !retried) {
          InQueue same(*this, queue);  // the retry waits in the queue the first try did
          return Carry(kind, credentials, mail, folder, FreshId(newId), true, done);
        }
        done(result, result.Ok() ? newId : std::string());
      });
}

void CHotmailHTTP::Delete(const CCredentials& credentials, const CMail& mail, Done done) {
  Run(NewDeleteRequest(credentials, mail), [done](CHotmailRequest* reply) {
    done(reply != nullptr ? ReadStatus(*reply) : MailResult::NoAnswer());
  });
}

void CHotmailHTTP::Send(const CCredentials& credentials, std::string body, Done done) {
  Run(NewPostRequest(credentials, std::move(body)), [done](CHotmailRequest* reply) {
    done(reply != nullptr ? ReadStatus(*reply, kCreated) : MailResult::NoAnswer());
  });
}

std::string CHotmailHTTP::FreshId(const std::string& id) {
  static unsigned counter = 0;
  return id + "-" + std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
}
