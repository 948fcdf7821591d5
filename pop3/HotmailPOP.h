// CHotmailPOP: the local POP3 server on 127.0.0.1. One listening socket and
// at most one client, whose session (credentials, folders, numbered message
// list, retrieved flags and deletion marks) it keeps. Socket events arrive
// as WM_POP_SOCKET; commands that need the service (PASS, RETR, TOP, QUIT)
// start a job and are answered from the completion of the mail service's
// operation.
#ifndef KESTRELON_HOTMAIL_POP_H
#define KESTRELON_HOTMAIL_POP_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include <string>

#include <vector>

#include "httpmail/Credentials.h"
#include "httpmail/Folder.h"
#include "httpmail/Mail.h"
#include "httpmail/MailService.h"
#include "plugin/PrivateMessages.h"
#include "lineserver/CommandEntry.h"
#include "lineserver/LineServer.h"

class CSettings;
class CHotmailPOP;

template <>
struct LineServerTraits<CHotmailPOP> {
  static constexpr UINT kSocketMessage = WM_POP_SOCKET;
  static constexpr char kGreeting[] = "+OK POP3 to HTTP proxy server ready\r\n";
  static constexpr char kBusy[] = "-ERR Socket is already used.\r\n";
  static constexpr char kLineTooLong[] = "-ERR command line too long\r\n";
  static constexpr char kIdleClose[] = "-ERR autologout: idle for too long\r\n";
  static constexpr char kDoubleStart[] = "POP サーバの２重起動です。";
  static constexpr char kListening[] = "[POP の待機を開始しました]\n";
  // RFC 1939 keeps commands far shorter; a client that goes past this is
  // not speaking POP3.
  static constexpr size_t kMaxCommandLine = 4096;
  // The service's one session and the deletion marks serve one client.
  static constexpr size_t kMaxConnections = 1;
  static constexpr bool kRawInput = false;
};

class CHotmailPOP : public CLineServer<CHotmailPOP> {
 public:
  enum class SessionState { Authorization = 0, Transaction = 1, Update = 2 };

  // The settings are the plug-in's, read as they are needed; folders seen
  // for the first time are added to their folder table.
  explicit CHotmailPOP(CSettings& settings);
  virtual ~CHotmailPOP();

  void SetService(CMailService* service) { service_ = service; }
  // WM_POP_SOCKET; always 0.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Runs one received command line (without its CR LF, NUL bytes included).
  void DispatchLine(const std::string& line);

  SessionState State() const { return state_; }
  // What this connection gave with USER and PASS.
  const CCredentials& Credentials() const { return credentials_; }
  // The session's numbered message list.
  const std::vector<CMail>& Mails() const { return mails_; }

 private:
  int ListenPort() const override;
  // A new connection starts with no credentials of its own.
  void OnConnected() override;
  void ReceiveLine(const std::string& line) override { DispatchLine(line); }
  void SetState(SessionState state) { state_ = state; }

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

  // What a download is for: RETR sends the whole text, TOP the header and
  // some lines.
  enum class Download { Retr, Top };
  struct PendingDownload {
    Download kind;
    int number;
    int lines;
    size_t startBytes;  // 0: the whole message was asked for
  };
  void StartDownload(int number, Download kind, int lines, size_t startBytes);

  // The log-in, in steps: discovery (unless these credentials made it
  // before), the folder list, the message list of every folder chosen for
  // download.
  struct Listing;
  void Discover(unsigned serial);
  // `discoveredBefore`: discovery was skipped, and is made when the list is refused.
  void ListFolders(unsigned serial, bool discoveredBefore);
  void ListMails(unsigned serial);
  void EndLogIn(unsigned serial, const MailResult& result);
  // What QUIT carries out: read marks, then the deletion marks (DeleteMode).
  struct Commit;
  void Commit();
  int FindDeleteTarget() const;

  // Job completions.
  void OnRetrieved(const MailResult& result, std::string& text, CMail::Held held);
  void OnCommitted(const MailResult& result, bool notRemoved);

  bool InTransaction();
  bool InAuthorization();
  bool JobFree();
  bool CheckMessageNumber(int number);
  bool CheckReachable(const MailResult& result);
  std::string WholeArgument(const char* argument) const;
  void SendStatusError(const MailResult& result);
  bool Listed(const CMail& mail) const;
  void SendTop(const CMail& mail, int lines);
  CMail* MailAt(int number);

  static const CommandEntry<CHotmailPOP> kCommands[12];

  CSettings& settings_;
  CMailService* service_ = nullptr;
  SessionState state_ = SessionState::Authorization;
  PendingDownload download_ = {Download::Retr, 0, 0, 0};
  CCredentials credentials_;
  std::vector<CFolder> folders_;
  std::vector<CMail> mails_;
  // The end of the line being run: an argument runs to here, past any NUL.
  const char* lineEnd_ = nullptr;
};

#endif
