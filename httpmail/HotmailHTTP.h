// CHotmailHTTP: the HTTPMail client. Holds the account's remote view
// (folder root URL, send URL, folders, messages), the credentials and the
// outgoing message, and runs the jobs the POP3 and SMTP front ends start.
// Each job ends with one posted message (WM_POP_JOB_DONE, WM_SMTP_JOB_DONE).
#ifndef KESTRELON_HOTMAIL_HTTP_H
#define KESTRELON_HOTMAIL_HTTP_H

#include <windows.h>

#include <string>
#include <vector>

#include "http/HTTPSession.h"
#include "httpmail/Folder.h"
#include "httpmail/Mail.h"

class CHotmailHTTP {
 public:
  // Which front end a job belongs to; each has a job record of its own.
  enum FrontEnd { FRONT_POP = 0, FRONT_SMTP = 1 };

  CHotmailHTTP();
  virtual ~CHotmailHTTP();

  // Jobs started by the front ends; none blocks.
  void Login(int frontEnd);
  void Retrieve(int number);
  void Commit();
  void SendMail();
  void ClearDeletionMarks();
  const std::vector<CMail*>& GetMails() const { return mails_; }

  // WM_HTTP_STEP and WM_HTTP_SESSION_DONE.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // The session through which host window teardown reaches the transport.
  CHTTPSession& ShutdownSession() { return shutdownSession_; }

  // Written and read directly by the front ends.
  std::string password;
  std::string userName;
  std::string messageData;
  std::string recipientLines;
  std::string senderLine;

 private:
  CHTTPSession shutdownSession_;
  std::vector<CMail*> mails_;
};

#endif
