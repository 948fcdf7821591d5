// CHotmailPOP: the local POP3 server on 127.0.0.1. One listening socket and
// at most one client; socket events and the HTTPMail client's job
// completions arrive as window messages on the host's main window. Commands
// that need the service (PASS, RETR, QUIT) start a job and are answered when
// its WM_POP_JOB_DONE arrives.
#ifndef KESTRELON_HOTMAIL_POP_H
#define KESTRELON_HOTMAIL_POP_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include "pop3/CommandEntry.h"
#include "pop3/LineBuffer.h"
#include "pop3/OutputQueue.h"

class CHotmailHTTP;
class CMail;

class CHotmailPOP {
 public:
  enum class SessionState { Authorization = 0, Transaction = 1, Update = 2 };

  // The longest command line accepted, without its CR LF. RFC 1939 keeps
  // commands far shorter; a client that goes past this is not speaking POP3.
  static constexpr size_t kMaxCommandLine = 4096;
  // Replies waiting for a client that does not read them; past this, no
  // further command is read until they have gone.
  static constexpr size_t kMaxQueuedOutput = 1024 * 1024;

  CHotmailPOP();
  CHotmailPOP(const CHotmailPOP&) = delete;
  CHotmailPOP& operator=(const CHotmailPOP&) = delete;
  virtual ~CHotmailPOP();

  void SetHTTP(CHotmailHTTP* http) { http_ = http; }
  bool InitWinsock();
  void SetWindow(HWND hwnd) { window_ = hwnd; }
  bool Listen();
  // WM_POP_SOCKET and WM_POP_JOB_DONE; always 0.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void CloseAll();

  void Send(SOCKET s, const char* data, size_t length);
  void SendString(SOCKET s, const char* text);
  void CloseSocket(SOCKET s);
  // Runs one received command line.
  void DispatchLine(const char* line);

  SOCKET ListeningSocket() const { return listener_; }
  SOCKET ClientSocket() const { return client_; }
  SessionState State() const { return state_; }
  size_t QueuedOutput() const { return output_.Queued().size(); }

 private:
  // Connection.
  void OnAccept();
  bool ClientHasGone();
  void RefuseConnection();
  void OnReceive(SOCKET s);
  bool DispatchLines();
  bool OutputBacklogged() const;
  void FlushPending();
  void CloseClient();

  // Commands, in table order.
  void User(const char* argument);
  void Pass(const char* argument);
  void Apop(const char* argument);
  void Quit(const char* argument);
  void Noop(const char* argument);
  void Stat(const char* argument);
  void List(const char* argument);
  void Retr(const char* argument);
  void Top(const char* argument);
  void Dele(const char* argument);
  void Rset(const char* argument);
  void Uidl(const char* argument);

  // Job completions.
  void OnJobDone(WPARAM kind, LPARAM result);
  void OnLoginDone(LPARAM result);
  void OnRetrieveDone(LPARAM result);
  void OnCommitDone(LPARAM result);

  bool InTransaction();
  bool InAuthorization();
  bool JobFree();
  void StartJob(WPARAM kind);
  bool CheckMessageNumber(int number);
  bool CheckReachable(LPARAM result);
  void SendStatusError(LPARAM result);
  bool Listed(const CMail& mail) const;
  CMail* MailAt(int number) const;

  static const CommandEntry<CHotmailPOP> kCommands[12];

  CLineBuffer input_;
  HWND window_ = nullptr;
  WSADATA wsaData_;
  SOCKET listener_ = 0;  // 0: none
  SOCKET client_ = 0;    // 0: no client connected
  CHotmailHTTP* http_ = nullptr;
  COutputQueue output_;
  SessionState state_ = SessionState::Authorization;
  bool winsockStarted_ = false;
  // The job a command waits for (0: none), and the connection that started
  // it: a completion that arrives after that connection ended is dropped,
  // never answered to a later client.
  WPARAM waitingJob_ = 0;
  unsigned connection_ = 0;
  unsigned jobConnection_ = 0;
};

#endif
