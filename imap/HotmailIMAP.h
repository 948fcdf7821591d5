// CHotmailIMAP: the local IMAP server on 127.0.0.1. Up to ten clients at
// once, each with its own session (credentials, selected folder, the
// command that runs) over the one mail service. Socket events come as
// WM_IMAP_SOCKET; the bytes a client sends go to its session as they come,
// which frames them itself.
#ifndef KESTRELON_HOTMAIL_IMAP_H
#define KESTRELON_HOTMAIL_IMAP_H

#include <windows.h>
#include <winsock.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "httpmail/MailService.h"
#include "imap/ImapSession.h"
#include "imap/MessageCache.h"
#include "imap/SharedFlags.h"
#include "imap/UidStore.h"
#include "lineserver/LineServer.h"
#include "plugin/PrivateMessages.h"

class CHotmailIMAP;

template <>
struct LineServerTraits<CHotmailIMAP> {
  static constexpr UINT kSocketMessage = WM_IMAP_SOCKET;
  static constexpr char kGreeting[] = "* OK [CAPABILITY " KESTRELON_IMAP_CAPABILITIES "] IMAP4rev1 server ready\r\n";
  static constexpr char kBusy[] = "* BYE Too many connections\r\n";
  static constexpr char kLineTooLong[] = "* BYE Command line too long\r\n";
  static constexpr char kIdleClose[] = "* BYE Autologout; idle for too long\r\n";
  static constexpr char kDoubleStart[] = "IMAP サーバの２重起動です。";
  static constexpr char kListening[] = "[IMAP の待機を開始しました]\n";
  // Unused: the sessions frame their input, with their own limits.
  static constexpr size_t kMaxCommandLine = 72 * 1024;
  static constexpr bool kRawInput = true;
  // Mail clients open several connections (Thunderbird up to five).
  static constexpr size_t kMaxConnections = 10;
};

class CHotmailIMAP : public CLineServer<CHotmailIMAP> {
 public:
  CHotmailIMAP();
  ~CHotmailIMAP() override;

  // What the plug-in gives it before it listens.
  void SetService(CMailService* service) { service_ = service; }
  void SetPort(int port) { port_ = port; }
  void SetDeleteMode(int mode) { deleteMode_ = mode; }
  // Opens the UID record (beside the INI file).
  void SetUidStorePath(const std::string& path);
  // Opens the message cache: a folder (beside the INI file) and its bound
  // in bytes, 0 for none.
  void SetCache(const std::string& folder, uint64_t bound);
  // The client's idle time-out: IMAP's own minimum is 30 minutes once
  // logged in; before that, a client has a minute (or the time-out, when
  // shorter) from its connection to log in.
  void SetClientTimeOut(int seconds);
  // Seconds between re-listings of the folder of an idling client.
  void SetIdleRelist(unsigned seconds) { relistMs_ = seconds * 1000; }
  // Listens (unless the port is 0) and starts the re-listing timer.
  bool Start(HWND window);

  // WM_IMAP_SOCKET; always 0.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  struct Client {
    std::unique_ptr<CImapSession> session;
    SOCKET socket = 0;
    DWORD lastInput = 0;   // GetTickCount of the client's last line
    DWORD connectedAt = 0;  // GetTickCount of its connection
  };

  int ListenPort() const override { return port_; }
  int IdleTimeOutMs(unsigned serial) const override;
  void OnConnected() override;
  void ReceiveBytes(const char* data, size_t size) override;
  void OnClosed() override;
  void OnOutputDrained() override;
  static void CALLBACK OnRelistTimer(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
  void Relist();

  CMailService* service_ = nullptr;
  HWND window_ = nullptr;
  int port_ = 0;
  int deleteMode_ = 1;
  unsigned relistMs_ = 30000;
  // The client time-out, kept here too: re-listing an idling client's
  // folder is no sign of the client's life. 0: none.
  DWORD timeOutMs_ = 0;
  // Connections that do not log in must not hold the few slots for long.
  DWORD logInMs_ = 60 * 1000;
  UINT_PTR relistTimer_ = 0;
  std::unique_ptr<CUidStore> uids_;
  // Before the clients: their sessions hold its folders.
  std::unique_ptr<CMessageCache> cache_;
  std::map<unsigned, std::unique_ptr<Client>> clients_;  // by connection serial
  // Per account and folder, the largest UID a session has seen: a message
  // above it is \Recent to the next session that lists it.
  std::map<std::string, uint32_t> recentSeen_;
  // Per account and folder, the flags STORE set (but \Seen) for every session.
  CSharedFlags sharedFlags_;
  // Clients whose connection closed inside their own call: freed later.
  std::vector<std::unique_ptr<Client>> retired_;
  static CHotmailIMAP* timerOwner_;
};

#endif
