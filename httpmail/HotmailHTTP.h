// CHotmailHTTP: the HTTPMail client. Holds what account discovery found for
// each account (folder root URL, send URL) and the POP3 side's folders and
// messages, and runs the jobs the POP3 and SMTP front ends start. Every job
// is given the credentials of the connection that starts it and each of its
// requests carries a copy; the client keeps none of its own. Each job ends
// with one posted message (WM_POP_JOB_DONE, WM_SMTP_JOB_DONE) carrying a
// JobResult.
//
// Each front end has a job record of its own, so jobs of the two sides may
// overlap. A job succeeds only when every request it started succeeded;
// otherwise it reports the first failure seen (-1 for a request that could
// not be started).
#ifndef KESTRELON_HOTMAIL_HTTP_H
#define KESTRELON_HOTMAIL_HTTP_H

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/HTTPSession.h"
#include "httpmail/Credentials.h"
#include "httpmail/Folder.h"
#include "httpmail/HotmailRequest.h"
#include "httpmail/Mail.h"
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

class CHotmailHTTP {
 public:
  // Which front end a job belongs to; each has a job record of its own.
  enum FrontEnd { FRONT_POP = 0, FRONT_SMTP = 1 };

  // The settings are the plug-in's: read as each request is built, and
  // given the folders seen for the first time.
  explicit CHotmailHTTP(CSettings& settings);
  CHotmailHTTP(const CHotmailHTTP&) = delete;
  CHotmailHTTP& operator=(const CHotmailHTTP&) = delete;
  virtual ~CHotmailHTTP();
  // The window told of each finished job.
  void SetWindow(HWND window) { window_ = window; }

  // The steps of the POP3 log-in, in order. The SMTP log-in is discovery
  // alone.
  enum class LoginStep { Discovery, Folders, MailLists };

  // Jobs started by the front ends, each with the credentials of the
  // connection that starts it; none blocks. The POP3 log-in skips discovery
  // when these credentials already discovered their account; the SMTP
  // log-in always asks the service, since it is the only check of them.
  void Login(int frontEnd, const CCredentials& credentials);
  // Downloads message n; with startBytes, asks for only that many bytes
  // of its start (a service may still send all).
  void Retrieve(const CCredentials& credentials, int number, size_t startBytes = 0);
  void Commit(const CCredentials& credentials);
  // Posts `body` (envelope, empty line, message) to the send URL that
  // these credentials discovered.
  void SendMail(const CCredentials& credentials, std::string body);
  void ClearDeletionMarks();
  const std::vector<CMail*>& GetMails() const { return mails_; }
  const std::vector<CFolder*>& GetFolders() const { return folders_; }
  // What the last successful discovery with these credentials found; empty
  // when none did, or when their last discovery failed.
  std::string FolderRootUrl(const CCredentials& credentials) const;
  std::string SendUrl(const CCredentials& credentials) const;

  // WM_HTTP_STEP and WM_HTTP_SESSION_DONE.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // The session through which host window teardown reaches the transport.
  CHTTPSession& ShutdownSession() { return shutdownSession_; }

  // Runs the POP3 log-in on from the end of `finished` (WM_HTTP_STEP):
  // a failed step ends the job with its result, a successful one starts
  // the next step, and the last ends the job with success.
  void AdvanceLogin(LoginStep finished, int result);

  // Request builders: each returns the filled request, carrying a copy of
  // the credentials, or null when its arguments name no message, folder or
  // discovered URL or would not make a sound request.
  std::unique_ptr<CHotmailRequest> NewRootRequest(const CCredentials& credentials);
  std::unique_ptr<CHotmailRequest> NewFolderRequest(const CCredentials& credentials);
  std::unique_ptr<CHotmailRequest> NewMailListRequest(const CCredentials& credentials, const std::string& url);
  std::unique_ptr<CHotmailRequest> NewMessageRequest(const CCredentials& credentials, int number,
                                                     size_t startBytes = 0);
  std::unique_ptr<CHotmailRequest> NewMoveRequest(const CCredentials& credentials, int number, int folder);
  std::unique_ptr<CHotmailRequest> NewMarkReadRequest(const CCredentials& credentials, int number);
  std::unique_ptr<CHotmailRequest> NewPostRequest(const CCredentials& credentials, std::string body);
  std::unique_ptr<CHotmailRequest> NewDeleteRequest(const CCredentials& credentials, int number);

  // Response readers: the result of a finished session (-1, an HTTP status
  // or RETRIEVE_OK_BASE + n). They leave the session to the caller.
  int ParseRootReply(CHTTPSession& session);
  int ParseFolderReply(CHTTPSession& session);
  int ParseMailReply(CHTTPSession& session);
  int OnMessageReply(CHotmailRequest& session);
  int OnSimpleReply(CHTTPSession& session);

  // 1-based position of the first folder of the delete target kind, or the
  // folder count + 1 (reported) when there is none.
  int FindDeleteTarget();

  // IMAP connections build their requests here, submit them marked with
  // their connection's serial, and get each reply back whole to read
  // themselves: the POP3 side's folder and message lists stay untouched.
  // The largest message body taken from the service, as large as the
  // largest message sent.
  static constexpr size_t kMaxMessageSize = 64 * 1024 * 1024;
  static constexpr int kImapJob = -2;  // CHotmailRequest::job of an IMAP request
  void SetImapReplies(std::function<void(std::unique_ptr<CHotmailRequest>)> sink) { imapReplies_ = std::move(sink); }
  std::unique_ptr<CHotmailRequest> NewImapRequest(const CCredentials& credentials, int kind, const char* method,
                                                  const std::string& url) {
    return NewRequest(credentials, kind, method, url);
  }
  // False when it could not be started; the request is then still the caller's.
  static bool SubmitImap(std::unique_ptr<CHotmailRequest>& request, unsigned connection);
  // The PROPFIND reply frame, for readers of IMAP replies (`walk` loads the
  // body into the document it is given, whose prefixes are bound).
  int ReadImapMultiStatus(CHTTPSession& session, const std::function<int(CXmlDocument&)>& walk) {
    return ReadMultiStatus(session, walk);
  }

  // Binds the prefixes replies are read with, "h" to `serviceNamespace`
  // when it is set.
  static void BindReplyPrefixes(CXmlDocument& doc, const std::string& serviceNamespace);
  // A URL from a reply as an absolute one: WebDAV lets an href be a path,
  // which is taken relative to the URL the reply answered; an absolute URL,
  // or one whose base is not absolute, stays as it came.
  static std::string AbsoluteUrl(const std::string& href, const std::string& base);
  // Lookups in a loaded reply; see CXmlDocument.
  static bool SelectText(CXmlDocument& doc, CXmlDocument::Node context, const char* path, std::string& text);
  static int SelectInt(CXmlDocument& doc, CXmlDocument::Node context, const char* path);

 private:
  // What counts as success for a job's requests.
  enum class Accept { Initial, AnySuccess };

  struct JobRecord {
    CCredentials credentials;  // of the connection that started the job
    int pending = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LPARAM initial = 0;
    Accept accept = Accept::Initial;
    bool failed = false;
    unsigned serial = 0;
  };
  static constexpr int kJobRecords = 2;

  // What one successful discovery found.
  struct Discovery {
    std::string folderRootUrl;
    std::string sendUrl;
  };

  int BeginJob(int handle, UINT message, WPARAM wParam, LPARAM initial, Accept accept = Accept::Initial);
  void BeginJob(int handle, const CCredentials& credentials, UINT message, WPARAM wParam, LPARAM initial,
                Accept accept = Accept::Initial);
  void AddRequest(int handle);
  void ReleaseJob(int handle);
  void Settle(int handle, int result);
  // Submits a built request for a job; a request that is null or cannot be
  // started counts as a failure of the job.
  void Start(int handle, std::unique_ptr<CHotmailRequest> request);
  std::unique_ptr<CHotmailRequest> NewRequest(const CCredentials& credentials, int kind, const char* method,
                                             const std::string& url);
  std::string EntryUrl() const;
  // Whether a request with these credentials may go to `url`: only to an
  // origin their discovery named (see CredentialScope.h).
  bool MaySend(const CCredentials& credentials, const std::string& url) const;
  const Discovery* Discovered(const CCredentials& credentials) const;
  int ReadReply(int kind, CHotmailRequest& request);
  int ReadMultiStatus(CHTTPSession& session, const std::function<int(CXmlDocument&)>& walk);
  CMail* MailAt(int number) const;

  void ClearFolders();
  void ClearMails();
  void Reset();

  CSettings& settings_;
  HWND window_ = nullptr;
  CHTTPSession shutdownSession_;
  // Keyed by the credentials whose discovery found the URLs: a request of
  // one account never goes to another's folders.
  std::map<CCredentials, Discovery> discoveries_;
  std::vector<CFolder*> folders_;
  std::vector<CMail*> mails_;
  JobRecord jobs_[kJobRecords];
  std::function<void(std::unique_ptr<CHotmailRequest>)> imapReplies_;
  bool comInitialized_ = false;
};

#endif
