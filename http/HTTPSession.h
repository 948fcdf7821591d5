// CHTTPSession: one HTTP request/response exchange, run through WinInet on
// a worker thread of its own. At most `ThreadCount` sessions run at once;
// the others wait in a first-in-first-out queue.
#ifndef KESTRELON_HTTP_SESSION_H
#define KESTRELON_HTTP_SESSION_H

#include <windows.h>

#include <deque>
#include <string>

class CHTTPSession {
 public:
  CHTTPSession();
  virtual ~CHTTPSession();

  // Starts the session, or queues it when every slot is taken. False when
  // it could not be started; the session then stays with the caller.
  static bool Submit(CHTTPSession* session);
  // Drops every queued session and closes WinInet (host window teardown).
  static void Shutdown();
  // On the window thread, after the session's completion message: waits for
  // its worker and hands its slot to the next queued session.
  void Finish();

  bool completed;
  bool allowAuth;
  int kind;
  int status;
  std::string agent;
  std::string url;
  std::string method;
  std::string headers;
  std::string body;
  std::string response;
  // The account credentials, copied in when the session is created, so a
  // running worker never reads strings the window thread is changing.
  std::string userName;
  std::string password;

  // The credentials of the last request created (compared by log-in to skip
  // account discovery). Only the window thread touches them.
  static std::string lastUserName;
  static std::string lastPassword;
};

#endif
