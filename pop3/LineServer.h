// CLineServer: the connection side of the local POP3 and SMTP servers. One
// listening socket on 127.0.0.1 and at most one client, both non-blocking
// and notified by a window message (WSAAsyncSelect); received bytes are cut
// into CR LF lines for the server's command interpreter, and replies leave
// through Send/SendString, waiting in order while the socket is full.
//
// A server derives from CLineServer<Server> and supplies
//   - LineServerTraits<Server>: kSocketMessage, kGreeting,
//     kBusy, kLineTooLong, kDoubleStart, kListening, kMaxCommandLine;
//   - members DispatchLine(const char* line) and ListenPort(), and, when it
//     needs them, BeforeAccept(), OnConnected() and ReceiveLine(), which
//     hide the ones here.
#ifndef KESTRELON_LINE_SERVER_H
#define KESTRELON_LINE_SERVER_H

#include <windows.h>
#include <winsock.h>

#include <limits.h>
#include <stddef.h>
#include <string.h>

#include <string>
#include <string_view>

#include "config/Log.h"
#include "pop3/LineBuffer.h"
#include "pop3/OutputQueue.h"

template <typename Server>
struct LineServerTraits;

template <typename Server>
class CLineServer {
 public:
  using Traits = LineServerTraits<Server>;

  // The longest line accepted, without its CR LF.
  static constexpr size_t kMaxCommandLine = Traits::kMaxCommandLine;
  // Replies waiting for a client that does not read them; past this, no
  // further line is read until they have gone.
  static constexpr size_t kMaxQueuedOutput = 1024 * 1024;

  CLineServer(const CLineServer&) = delete;
  CLineServer& operator=(const CLineServer&) = delete;
  virtual ~CLineServer();

  bool InitWinsock();
  void SetWindow(HWND hwnd) { window_ = hwnd; }
  bool Listen();
  void CloseAll();

  void Send(SOCKET s, const char* data, size_t length);
  void SendString(SOCKET s, const char* text) { Send(s, text, strlen(text)); }
  void CloseSocket(SOCKET s);

  SOCKET ListeningSocket() const { return listener_; }
  SOCKET ClientSocket() const { return client_; }
  size_t QueuedOutput() const { return output_.Queued().size(); }

 protected:
  CLineServer() : input_(kMaxCommandLine), wsaData_{} {}

  // The socket message: wParam the socket, low half of lParam the event.
  void OnSocketEvent(WPARAM wParam, LPARAM lParam);
  // Replies given while a batch is open leave together when the outermost
  // batch closes, in one send. A reply written in pieces (a status line,
  // then list lines or a message) would otherwise have each later piece
  // wait for the client's delayed acknowledgement of the one before it
  // (Nagle's algorithm), some 40 ms a command.
  class ReplyBatch {
   public:
    explicit ReplyBatch(CLineServer& server) : server_(server) { ++server_.batchDepth_; }
    ~ReplyBatch() {
      if (--server_.batchDepth_ == 0) server_.SendBatch();
    }
    ReplyBatch(const ReplyBatch&) = delete;
    ReplyBatch& operator=(const ReplyBatch&) = delete;

   private:
    CLineServer& server_;
  };

  // A reply to the connected client.
  void Reply(const char* text) { SendString(client_, text); }
  void Reply(const std::string& text) { Send(client_, text.data(), text.size()); }
  // Closes and forgets the client, with whatever it left unread or unsent.
  void CloseClient();

  // The job a command waits for. Its completion answers only the
  // connection that started it: one that arrives after that connection has
  // ended is dropped, never answered to a later client.
  void StartJob(WPARAM kind) {
    waitingJob_ = kind;
    jobConnection_ = connection_;
  }
  bool JobRunning() const { return waitingJob_ != 0; }
  // Ends the wait for a job of `kind`; true when its completion is to be
  // answered to the client now connected.
  bool TakeJobDone(WPARAM kind) {
    if (waitingJob_ == 0 || kind != waitingJob_) return false;  // no command waits for it
    waitingJob_ = 0;
    return client_ != 0 && jobConnection_ == connection_;
  }

  // Hooks: before each accept, once a client has been greeted, and for
  // each received line (without its CR LF), which by default goes to
  // DispatchLine as a text that a NUL byte ends.
  void BeforeAccept() {}
  void OnConnected() {}
  void ReceiveLine(const std::string& line) { Self().DispatchLine(line.c_str()); }

 private:
  static constexpr long kListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 0x2B
  static constexpr long kClientEvents = FD_READ | FD_WRITE | FD_CLOSE;              // 0x23
  static constexpr int kShutdownBoth = 2;  // SD_BOTH, which only winsock2.h names

  Server& Self() { return static_cast<Server&>(*this); }
  void OnAccept();
  bool ClientHasGone();
  void RefuseConnection();
  void OnReceive(SOCKET s);
  bool DispatchLines();
  bool OutputBacklogged() const { return output_.Queued().size() > kMaxQueuedOutput; }
  void FlushPending();
  void SendNow(SOCKET s, const char* data, size_t length);
  void SendBatch();

  CLineBuffer input_;
  HWND window_ = nullptr;
  WSADATA wsaData_;
  SOCKET listener_ = 0;  // 0: none
  SOCKET client_ = 0;    // 0: no client connected
  COutputQueue output_;
  bool winsockStarted_ = false;
  unsigned connection_ = 0;  // counts accepted connections
  WPARAM waitingJob_ = 0;    // 0: none
  unsigned jobConnection_ = 0;
  int batchDepth_ = 0;  // open ReplyBatch scopes
  std::string batch_;   // replies to the client held by them
};

template <typename Server>
CLineServer<Server>::~CLineServer() {
  CloseAll();
  if (winsockStarted_) {
    WSACleanup();
    winsockStarted_ = false;
  }
}

template <typename Server>
bool CLineServer<Server>::InitWinsock() {
  if (winsockStarted_) return true;
  if (WSAStartup(0x0101, &wsaData_) == 0) {
    winsockStarted_ = true;
    return true;
  }
  REPORT_ERROR("WSAStartup の初期化に失敗しました。", 0);
  return false;
}

template <typename Server>
bool CLineServer<Server>::Listen() {
  if (listener_ != 0) {
    REPORT_ERROR(Traits::kDoubleStart, 0);
    CloseSocket(listener_);
    listener_ = 0;
    return false;
  }
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
    listener_ = 0;
    return false;
  }
  bool ok = false;
  if (WSAAsyncSelect(listener_, window_, Traits::kSocketMessage, kListenEvents) != 0) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
  } else {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(Self().ListenPort()));
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      REPORT_SYSTEM_ERROR(WSAGetLastError());
    else if (listen(listener_, 5) != 0)
      REPORT_SYSTEM_ERROR(WSAGetLastError());
    else
      ok = true;
  }
  if (!ok) {
    CloseSocket(listener_);
    listener_ = 0;
    return false;
  }
  theLog.Write(Traits::kListening);
  return true;
}

template <typename Server>
void CLineServer<Server>::OnSocketEvent(WPARAM wParam, LPARAM lParam) {
  const SOCKET s = static_cast<SOCKET>(wParam);
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: OnAccept(); break;
    case FD_READ: OnReceive(s); break;
    case FD_WRITE: FlushPending(); break;
    case FD_CLOSE:
      // Only the client is closed here: any other socket of this server
      // was closed when it was done with, and its handle may since name a
      // new socket.
      if (s == client_ && client_ != 0) CloseClient();
      break;
    default: break;
  }
}

template <typename Server>
void CLineServer<Server>::CloseAll() {
  CloseClient();
  CloseSocket(listener_);
  listener_ = 0;
}

template <typename Server>
void CLineServer<Server>::OnAccept() {
  if (listener_ == 0) return;
  Self().BeforeAccept();
  // A client that hung up just before this one connected may not have had
  // its FD_CLOSE handled yet (clients that reconnect at once do this); it is
  // gone, and the newcomer is no second client.
  if (client_ != 0 && ClientHasGone()) CloseClient();
  if (client_ != 0) {
    RefuseConnection();
    return;
  }
  sockaddr_in peer;
  int length = sizeof peer;
  SOCKET s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) {
    // No connection waiting any more (the peer gave up) is no failure.
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) REPORT_SYSTEM_ERROR(error);
    return;
  }
  if (WSAAsyncSelect(s, window_, Traits::kSocketMessage, kClientEvents) != 0) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
    CloseSocket(s);
    return;
  }
  client_ = s;
  ++connection_;
  input_.Clear();
  output_.Clear();
  SendString(client_, Traits::kGreeting);
  Self().OnConnected();
}

template <typename Server>
bool CLineServer<Server>::ClientHasGone() {
  char byte;
  int n = recv(client_, &byte, 1, MSG_PEEK);
  return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

template <typename Server>
void CLineServer<Server>::RefuseConnection() {
  sockaddr_in peer;
  int length = sizeof peer;
  SOCKET s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return;
  SendString(s, Traits::kBusy);
  CloseSocket(s);
}

template <typename Server>
void CLineServer<Server>::OnReceive(SOCKET s) {
  if (s != client_ || client_ == 0) return;
  // Lines are taken as they arrive, so a client that never ends its line
  // is stopped at the line limit instead of filling memory.
  while (!OutputBacklogged()) {
    size_t room;
    char* space = input_.Space(&room);
    int n = recv(client_, space, static_cast<int>(room < INT_MAX ? room : INT_MAX), 0);
    if (n <= 0) return;  // drained, or the end, which FD_CLOSE reports
    input_.Commit(static_cast<size_t>(n));
    if (!DispatchLines()) return;
  }
  // A client that sends lines without reading the replies waits, with its
  // lines unread, until the replies have gone (FlushPending).
}

// Runs the complete lines received; false once the connection has ended.
template <typename Server>
bool CLineServer<Server>::DispatchLines() {
  std::string line;
  while (!OutputBacklogged()) {
    switch (input_.NextLine(line)) {
      case CLineBuffer::Next::None: return true;
      case CLineBuffer::Next::TooLong:
        SendString(client_, Traits::kLineTooLong);
        CloseClient();
        return false;
      case CLineBuffer::Next::Line: {
        const unsigned connection = connection_;
        ReplyBatch batch(*this);
        Self().ReceiveLine(line);
        if (client_ == 0 || connection != connection_) return false;
        break;
      }
    }
  }
  return true;
}

template <typename Server>
void CLineServer<Server>::Send(SOCKET s, const char* data, size_t length) {
  if (s != 0 && s == client_ && batchDepth_ > 0) {
    batch_.append(data, length);
    return;
  }
  SendNow(s, data, length);
}

template <typename Server>
void CLineServer<Server>::SendBatch() {
  if (batch_.empty()) return;
  std::string text;
  text.swap(batch_);
  SendNow(client_, text.data(), text.size());
}

template <typename Server>
void CLineServer<Server>::SendNow(SOCKET s, const char* data, size_t length) {
  if (s == 0) return;
  int error;
  if (s == client_) {
    error = output_.Write(s, data, length);
  } else {
    // Not the client (a refused connection): nothing waits for it.
    COutputQueue once;
    error = once.Write(s, data, length);
  }
  if (error != 0) REPORT_SYSTEM_ERROR(error);
  theLog.Write("[以下の文字列を Becky に送信しました]\n");
  theLog.Write(std::string_view(data, length));
}

// The queued text was logged when it was given to Send; logging it again at
// each FD_WRITE would repeat a large reply to a slow client many times over.
template <typename Server>
void CLineServer<Server>::FlushPending() {
  if (client_ == 0 || output_.Empty()) return;
  int error = output_.Flush(client_);
  if (error != 0) REPORT_SYSTEM_ERROR(error);
  // Lines held back behind a backlog of replies go on now.
  if (!OutputBacklogged() && DispatchLines()) OnReceive(client_);
}

template <typename Server>
void CLineServer<Server>::CloseSocket(SOCKET s) {
  if (s == 0) return;
  WSAAsyncSelect(s, window_, 0, 0);
  shutdown(s, kShutdownBoth);
  closesocket(s);
  theLog.Write("[ソケットを閉じました]\n");
}

template <typename Server>
void CLineServer<Server>::CloseClient() {
  SendBatch();  // a last reply, such as QUIT's, goes out before the close
  CloseSocket(client_);
  client_ = 0;
  input_.Clear();
  output_.Clear();
}

#endif
