// CHotmailHTTP: the HTTPMail client that POP3, SMTP and IMAP share. It keeps
// only what is the account's: what discovery found, per credentials (folder
// root URL, send URL). Each operation builds a request carrying a copy of
// the caller's credentials, submits it, and when the worker's
// WM_HTTP_SESSION_DONE arrives reads the reply into a typed result and
// runs the caller's completion. The front ends keep their own folders,
// messages and marks.
#ifndef KESTRELON_HOTMAIL_HTTP_H
#define KESTRELON_HOTMAIL_HTTP_H

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/HTTPSession.h"
#include "httpmail/HotmailRequest.h"
#include "httpmail/MailService.h"
#include "httpmail/XmlDocument.h"

class CSettings;

// Session kinds: wParam of WM_HTTP_SESSION_DONE.
constexpr int KIND_ROOT = 1;
constexpr int KIND_FOLDERS = 2;
constexpr int KIND_MAILS = 3;
constexpr int KIND_MESSAGE = 4;
constexpr int KIND_MOVE = 5;
constexpr int KIND_MARK_READ = 6;
constexpr int KIND_POST = 7;
constexpr int KIND_DELETE = 10;
constexpr int KIND_COPY = 11;

class CHotmailHTTP : public CMailService {
 public:
  // The settings are the plug-in's, read as each request is built.
  explicit CHotmailHTTP(CSettings& settings);
  CHotmailHTTP(const CHotmailHTTP&) = delete;
  CHotmailHTTP& operator=(const CHotmailHTTP&) = delete;
  ~CHotmailHTTP() override;

  // The largest message body taken from the service, as large as the
  // largest message sent.
  static constexpr size_t kMaxMessageSize = 64 * 1024 * 1024;

  bool Discovered(const CCredentials& credentials) const override;
  void Discover(const CCredentials& credentials, Done done) override;
  void ListFolders(const CCredentials& credentials, FoldersDone done) override;
  void ListMails(const CCredentials& credentials, const CFolder& folder, MailsDone done) override;
  void Fetch(const CCredentials& credentials, const CMail& mail, size_t startBytes, TextDone done) override;
  void FetchRange(const CCredentials& credentials, const CMail& mail, size_t first, size_t count,
                  TextDone done) override;
  void SetRead(const CCredentials& credentials, const CMail& mail, bool read, Done done) override;
  void MoveAway(const CCredentials& credentials, const CMail& mail, const CFolder& folder, Done done) override;
  void TransferTo(Transfer kind, const CCredentials& credentials, const CMail& mail, const CFolder& folder,
                  bool freshId, IdDone done) override;
  void Delete(const CCredentials& credentials, const CMail& mail, Done done) override;
  void Send(const CCredentials& credentials, std::string body, Done done) override;

  // What the last successful discovery with these credentials found; empty
  // when none did, or when their last discovery failed.
  std::string FolderRootUrl(const CCredentials& credentials) const;
  std::string SendUrl(const CCredentials& credentials) const;

  // The same client, its requests in the transport's parallel queue: for a
  // front end that keeps several in flight (IMAP), which then neither waits
  // behind POP3 and SMTP nor holds them up.
  CMailService& Parallel() { return parallel_; }

  // WM_HTTP_SESSION_DONE: the finished request's reader and completion.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // Request builders: each returns the filled request, carrying a copy of
  // the credentials, or null when its arguments name no discovered URL or
  // would not make a sound request.
  std::unique_ptr<CHotmailRequest> NewRootRequest(const CCredentials& credentials);
  std::unique_ptr<CHotmailRequest> NewFolderRequest(const CCredentials& credentials);
  std::unique_ptr<CHotmailRequest> NewMailListRequest(const CCredentials& credentials, const std::string& url);
  std::unique_ptr<CHotmailRequest> NewMessageRequest(const CCredentials& credentials, const CMail& mail,
                                                     size_t startBytes = 0);
  // A GET of `count` bytes from byte `first` (the whole text when 0).
  std::unique_ptr<CHotmailRequest> NewRangeRequest(const CCredentials& credentials, const CMail& mail, size_t first,
                                                   size_t count);
  std::unique_ptr<CHotmailRequest> NewMoveRequest(const CCredentials& credentials, const CMail& mail,
                                                  const CFolder& folder);
  std::unique_ptr<CHotmailRequest> NewTransferRequest(Transfer kind, const CCredentials& credentials,
                                                      const CMail& mail, const CFolder& folder,
                                                      const std::string& newId);
  std::unique_ptr<CHotmailRequest> NewMarkReadRequest(const CCredentials& credentials, const CMail& mail,
                                                      bool read = true);
  std::unique_ptr<CHotmailRequest> NewPostRequest(const CCredentials& credentials, std::string body);
  std::unique_ptr<CHotmailRequest> NewDeleteRequest(const CCredentials& credentials, const CMail& mail);

  // Response readers of a finished session; they leave it to the caller.
  // Discovery is remembered for the credentials the request carried.
  MailResult ReadDiscovery(CHTTPSession& session);
  MailResult ReadFolders(CHTTPSession& session, std::vector<CFolder>& folders);
  MailResult ReadMails(CHTTPSession& session, std::vector<CMail>& mails);
  static MailResult ReadMessage(CHotmailRequest& session, std::string& text, CMail::Held& held);
  // `count` bytes from `first`, of a range asked for or cut from the whole.
  static MailResult ReadRange(CHotmailRequest& session, size_t first, size_t count, std::string& text);
  // Ok when the status is `wanted`, or any 2xx when `wanted` is 0.
  static MailResult ReadStatus(const CHTTPSession& session, int wanted = 0);

  // Binds the prefixes replies are read with, "h" to `serviceNamespace`
  // when it is set.
  static void BindReplyPrefixes(CXmlDocument& doc, const std::string& serviceNamespace);
  // A URL from a reply as an absolute one: WebDAV lets an href be a path,
  // which is taken relative to the URL the reply answered; an absolute URL,
  // or one whose base is not absolute, stays as it came.
  static std::string AbsoluteUrl(const std::string& href, const std::string& base);
  static int SelectInt(CXmlDocument& doc, CXmlDocument::Node context, const char* path);
  // An id the destination folder cannot hold yet.
  static std::string FreshId(const std::string& id);

 private:
  // While it lives, requests are submitted to `queue`.
  class InQueue {
   public:
    InQueue(CHotmailHTTP& client, CHTTPSession::Queue queue) : client_(client), before_(client.queue_) {
      client.queue_ = queue;
    }
    ~InQueue() { client_.queue_ = before_; }
    InQueue(const InQueue&) = delete;
    InQueue& operator=(const InQueue&) = delete;

   private:
    CHotmailHTTP& client_;
    const CHTTPSession::Queue before_;
  };

  // Forwards every operation with its requests in the parallel queue.
  class ParallelView : public CMailService {
   public:
    explicit ParallelView(CHotmailHTTP& client) : client_(client) {}
    bool Discovered(const CCredentials& c) const override { return client_.Discovered(c); }
    void Discover(const CCredentials& c, Done done) override { In([&] { client_.Discover(c, done); }); }
    void ListFolders(const CCredentials& c, FoldersDone done) override {
      In([&] { client_.ListFolders(c, done); });
    }
    void ListMails(const CCredentials& c, const CFolder& f, MailsDone done) override {
      In([&] { client_.ListMails(c, f, done); });
    }
    void Fetch(const CCredentials& c, const CMail& m, size_t start, TextDone done) override {
      In([&] { client_.Fetch(c, m, start, done); });
    }
    void FetchRange(const CCredentials& c, const CMail& m, size_t first, size_t count, TextDone done) override {
      In([&] { client_.FetchRange(c, m, first, count, done); });
    }
    void SetRead(const CCredentials& c, const CMail& m, bool read, Done done) override {
      In([&] { client_.SetRead(c, m, read, done); });
    }
    void MoveAway(const CCredentials& c, const CMail& m, const CFolder& f, Done done) override {
      In([&] { client_.MoveAway(c, m, f, done); });
    }
    void TransferTo(Transfer kind, const CCredentials& c, const CMail& m, const CFolder& f, bool freshId,
                    IdDone done) override {
      In([&] { client_.TransferTo(kind, c, m, f, freshId, done); });
    }
    void Delete(const CCredentials& c, const CMail& m, Done done) override { In([&] { client_.Delete(c, m, done); }); }
    void Send(const CCredentials& c, std::string body, Done done) override {
      In([&] { client_.Send(c, std::move(body), done); });
    }

   private:
    template <typename F>
    void In(F f) {
      InQueue parallel(client_, CHTTPSession::Queue::Parallel);
      f();
    }
    CHotmailHTTP& client_;
  };

  // What one successful discovery found.
  struct Discovery {
    std::string folderRootUrl;
    std::string sendUrl;
  };

  // Submits `request` (null: it could not be built); `read` gets it back
  // on the window thread, or null at once when it could not be started.
  void Run(std::unique_ptr<CHotmailRequest> request, std::function<void(CHotmailRequest*)> read);
  void Carry(Transfer kind, const CCredentials& credentials, const CMail& mail, const CFolder& folder,
             const std::string& newId, bool retried, IdDone done);
  std::unique_ptr<CHotmailRequest> NewRequest(const CCredentials& credentials, int kind, const char* method,
                                             const std::string& url);
  std::string EntryUrl() const;
  // Whether a request with these credentials may go to `url`: only to an
  // origin their discovery named (see CredentialScope.h).
  bool MaySend(const CCredentials& credentials, const std::string& url) const;
  const Discovery* Found(const CCredentials& credentials) const;
  MailResult ReadMultiStatus(CHTTPSession& session, const std::function<void(CXmlDocument&)>& walk);

  CSettings& settings_;
  // Keyed by the credentials whose discovery found the URLs: a request of
  // one account never goes to another's folders.
  std::map<CCredentials, Discovery> discoveries_;
  // The queue of the requests being submitted now.
  CHTTPSession::Queue queue_ = CHTTPSession::Queue::Main;
  ParallelView parallel_{*this};
  bool comInitialized_ = false;
};

#endif
