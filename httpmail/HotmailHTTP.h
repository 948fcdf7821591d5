// CHotmailHTTP: the HTTPMail client. Holds the account's remote view
// (folder root URL, send URL, folders, messages), the credentials and the
// outgoing message, and runs the jobs the POP3 and SMTP front ends start.
// Each job ends with one posted message (WM_POP_JOB_DONE, WM_SMTP_JOB_DONE)
// carrying -1, an HTTP status or RETRIEVE_OK_BASE + n.
//
// Each front end has a job record of its own, so jobs of the two sides may
// overlap. A job succeeds only when every request it started succeeded;
// otherwise it reports the first failure seen (-1 for a request that could
// not be started).
#ifndef KESTRELON_HOTMAIL_HTTP_H
#define KESTRELON_HOTMAIL_HTTP_H

#include <windows.h>

#include <memory>
#include <functional>
#include <string>
#include <vector>

#include "http/HTTPSession.h"
#include "httpmail/Folder.h"
#include "httpmail/HotmailRequest.h"
#include "httpmail/Mail.h"
#include "httpmail/XmlDocument.h"

// Session kinds: wParam of WM_HTTP_SESSION_DONE.
constexpr int KIND_ROOT = 1;
constexpr int KIND_FOLDERS = 2;
constexpr int KIND_MAILS = 3;
constexpr int KIND_MESSAGE = 4;
constexpr int KIND_MOVE = 5;
constexpr int KIND_MARK_READ = 6;
constexpr int KIND_POST = 7;
constexpr int KIND_DELETE = 10;

class CHotmailHTTP {
 public:
  // Which front end a job belongs to; each has a job record of its own.
  enum FrontEnd { FRONT_POP = 0, FRONT_SMTP = 1 };

  CHotmailHTTP();
  CHotmailHTTP(const CHotmailHTTP&) = delete;
  CHotmailHTTP& operator=(const CHotmailHTTP&) = delete;
  virtual ~CHotmailHTTP();

  // Jobs started by the front ends; none blocks.
  void Login(int frontEnd);
  void Retrieve(int number);
  void Commit();
  void SendMail();
  void ClearDeletionMarks();
  const std::vector<CMail*>& GetMails() const { return mails_; }
  const std::vector<CFolder*>& GetFolders() const { return folders_; }
  const std::string& FolderRootUrl() const { return folderRootUrl_; }
  const std::string& SendUrl() const { return sendUrl_; }

  // WM_HTTP_STEP and WM_HTTP_SESSION_DONE.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // The session through which host window teardown reaches the transport.
  CHTTPSession& ShutdownSession() { return shutdownSession_; }

  // The steps of the POP3 log-in, run on WM_HTTP_STEP 8 and 9.
  void ContinueAfterLogin(int result);
  void ContinueAfterFolders(int result);

  // Request builders: each returns the filled request, or null when its
  // arguments name no message or folder or would not make a sound request.
  std::unique_ptr<CHotmailRequest> NewRootRequest();
  std::unique_ptr<CHotmailRequest> NewFolderRequest();
  std::unique_ptr<CHotmailRequest> NewMailListRequest(const std::string& url);
  std::unique_ptr<CHotmailRequest> NewMessageRequest(int number);
  std::unique_ptr<CHotmailRequest> NewMoveRequest(int number, int folder);
  std::unique_ptr<CHotmailRequest> NewMarkReadRequest(int number);
  std::unique_ptr<CHotmailRequest> NewPostRequest();
  std::unique_ptr<CHotmailRequest> NewDeleteRequest(int number);

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

  // Lookups in a loaded reply; see CXmlDocument.
  static bool SelectText(CXmlDocument& doc, CXmlDocument::Node context, const char* path, std::string& text);
  static int SelectInt(CXmlDocument& doc, CXmlDocument::Node context, const char* path);

 private:
  // What counts as success for a job's requests.
  enum class Accept { Initial, AnySuccess };

  struct JobRecord {
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

  int BeginJob(int handle, UINT message, WPARAM wParam, LPARAM initial, Accept accept = Accept::Initial);
  void AddRequest(int handle);
  void ReleaseJob(int handle);
  void Settle(int handle, int result);
  // Submits a built request for a job; a request that is null or cannot be
  // started counts as a failure of the job.
  void Start(int handle, std::unique_ptr<CHotmailRequest> request);
  std::unique_ptr<CHotmailRequest> NewRequest(int kind, const char* method, const std::string& url);
  int ReadReply(int kind, CHotmailRequest& request);
  void BindReplyPrefixes(CXmlDocument& doc);
  int ReadMultiStatus(CHTTPSession& session, const std::function<int(CXmlDocument&)>& walk);
  CMail* MailAt(int number) const;

  void ClearFolders();
  void ClearMails();
  void Reset();

  CHTTPSession shutdownSession_;
  std::string folderRootUrl_;
  std::string sendUrl_;

 public:
  // Written and read directly by the front ends.
  std::string password;
  std::string userName;
  std::string messageData;
  std::string recipientLines;
  std::string senderLine;

 private:
  std::vector<CFolder*> folders_;
  std::vector<CMail*> mails_;
  JobRecord jobs_[kJobRecords];
  bool comInitialized_ = false;
};

#endif
