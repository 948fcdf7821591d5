// CLineServer: the connection side of the local POP3, SMTP and IMAP
// servers. One listening socket on 127.0.0.1 and up to
// Traits::kMaxConnections clients, all non-blocking and notified by a window
// message (WSAAsyncSelect). Received bytes are cut into CR LF lines for the
// server's command interpreter (or, with Traits::kRawInput, handed over as
// they come, for a protocol that frames its own input), one connection's
// input strictly in order: while a job that one of its commands started
// runs, the rest waits unread. Replies leave through Reply in the order
// given, waiting while the socket is full.
//
// A server derives from CLineServer<Server>, supplies
// LineServerTraits<Server> (kSocketMessage, kGreeting, kBusy,
// kLineTooLong, kIdleClose, kDoubleStart, kListening, kMaxCommandLine,
// kMaxConnections, kRawInput) and overrides the hooks below.
#ifndef KESTRELON_LINE_SERVER_H
#define KESTRELON_LINE_SERVER_H

#include <windows.h>
#include <winsock.h>

#include <limits.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/Log.h"
#include "lineserver/LineConnection.h"

template <typename Server>
struct LineServerTraits;

// Ids of the idle timers on the servers' shared window, never reused.
inline UINT_PTR NextIdleTimerId() {
  static UINT_PTR next = 0x4C00;
  return ++next;
}

template <typename Server>
class CLineServer {
 public:
  using Traits = LineServerTraits<Server>;

  // The longest command line accepted, without its CR LF.
  static constexpr size_t kMaxCommandLine = Traits::kMaxCommandLine;
  // Replies waiting for a client that does not read them; past this, no
  // further line is read until they have gone.
  static constexpr size_t kMaxQueuedOutput = 1024 * 1024;

  CLineServer(const CLineServer&) = delete;
  CLineServer& operator=(const CLineServer&) = delete;
  virtual ~CLineServer();

  bool InitWinsock();
  void SetWindow(HWND hwnd) { window_ = hwnd; }
  // Seconds a client may send nothing before it is closed; 0: no limit.
  void SetIdleTimeOut(unsigned seconds) { idleMs_ = seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000; }
  bool Listen();
  void CloseAll();

  // Output to the connection being served (or to a socket being refused).
  void Send(SOCKET s, const char* data, size_t length);
  void SendString(SOCKET s, const char* text) { Send(s, text, strlen(text)); }
  void CloseSocket(SOCKET s);

  SOCKET ListeningSocket() const { return listener_; }
  // The connection being served, else the first one; 0 for none.
  SOCKET ClientSocket() const;
  size_t ClientCount() const { return connections_.size(); }
  size_t QueuedOutput() const;

 protected:
  CLineServer() : wsaData_{} {}

  // --- Hooks, which every server overrides --------------------------------
  virtual int ListenPort() const = 0;
  // A new connection has been greeted; it is the one being served.
  virtual void OnConnected() = 0;
  // One received line of the connection being served, without its CR LF.
  virtual void ReceiveLine(const std::string& line) { (void)line; }
  // With Traits::kRawInput: the bytes received from the connection being
  // served, as they came.
  virtual void ReceiveBytes(const char* data, size_t size) {
    (void)data;
    (void)size;
  }
  // Before each accept, for each client (being served): a server may close
  // one that is done.
  virtual void BeforeAccept() {}
  // The longest line the connection being served may send next.
  virtual size_t MaxLine() const { return kMaxCommandLine; }
  // The connection being served is closing, for whatever reason; no reply
  // can reach it any more.
  virtual void OnClosed() {}
  // The client of the connection being served has read its replies down
  // below the backlog bound: a long reply that paused may go on.
  virtual void OnOutputDrained() {}
  // The milliseconds the connection with this serial may stay silent
  // before it is closed, counted from now; 0: no limit.
  virtual int IdleTimeOutMs(unsigned serial) const {
    (void)serial;
    return idleMs_;
  }
  // Whether the connection being served has more replies unread than the
  // bound, so that a long reply should pause.
  bool ServedBacklogged() const { return current_ != nullptr && Backlogged(*current_); }

  // Serves the connection with this serial outside its own events (a
  // server's timer, a completion): `work` may reply to it and start jobs
  // for it. False when it has gone.
  template <typename Work>
  bool ServeConnection(unsigned serial, Work work);

  // The socket message: wParam the socket, low half of lParam the event.
  void OnSocketEvent(WPARAM wParam, LPARAM lParam);
  // Ends the job of the connection with this serial (ServedConnection when
  // it started): `answer` runs with that connection served, then its
  // waiting input goes on; when it has gone, only the job ends. A job that
  // ends inside the command that started it is answered there.
  template <typename Answer>
  void EndJob(unsigned serial, Answer answer);
  // Whether the connection with this serial is still there.
  bool Connected(unsigned serial) const { return FindSerial(serial) != nullptr; }
  // The serial number of the connection being served, 0 for none.
  unsigned ServedConnection() const { return current_ != nullptr ? current_->serial : 0; }

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

  // A reply to the connection being served. A text handed over by move is
  // not copied on its way to the socket.
  void Reply(const char* text) { SendString(ClientSocket(), text); }
  void Reply(const std::string& text) { Send(ClientSocket(), text.data(), text.size()); }
  void Reply(std::string&& text);
  // One reply in pieces, after the replies before it; logged as one text.
  // A held piece is sent from its own text, never copied.
  void ReplyPieces(std::vector<COutputPiece>&& pieces);
  // The body of a multi-line reply after its status line: the text, with
  // every line that starts with a dot sent with that dot twice, a closing
  // CR LF when it lacks one, and the terminating ".\r\n".
  void ReplyMultiLine(std::string&& text);
  // Ends the connection being served: at once when its replies have all
  // gone, else once the client has read them (a message sent before a
  // QUIT must arrive whole); its later lines are not run.
  void CloseClient();

  // Jobs: the connection being served waits for a job; its later input is
  // held until EndJob.
  void StartJob();
  // Whether a job of this server runs, of any connection, gone ones too.
  bool JobRunning() const { return !jobs_.empty(); }

 private:
  static constexpr long kListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 0x2B
  static constexpr long kClientEvents = FD_READ | FD_WRITE | FD_CLOSE;              // 0x23
  // A reply at least this long is never copied to join a batch; a batch
  // leaves before it would grow past this.
  static constexpr size_t kMaxJoinedReply = 64 * 1024;
  static constexpr int kShutdownBoth = 2;  // SD_BOTH, which only winsock2.h names

  CLineConnection* Find(SOCKET s) const;
  CLineConnection* FindSerial(unsigned serial) const;
  bool Waiting(const CLineConnection& c) const;
  void OnAccept();
  bool HasGone(const CLineConnection& c);
  void RefuseConnection();
  void OnReceive(CLineConnection& c);
  bool DispatchLines(CLineConnection& c);
  bool HandOver(CLineConnection& c, const char* data, size_t size);
  template <typename Work>
  void Serve(CLineConnection& c, Work& work);
  bool Backlogged(const CLineConnection& c) const { return c.output.Queued() > kMaxQueuedOutput; }
  void OnWritable(CLineConnection& c);
  void SendNow(SOCKET s, std::string&& text, bool dotStuffed = false);
  // Queues output that has been logged; false when it cannot go out.
  bool Queue(SOCKET s, COutputPiece&& piece, bool dotStuffed);
  void SendBatch();
  void Close(CLineConnection& c);
  // The idle timer: started anew by every sign of life, stopped while the
  // connection waits for a job.
  void RestartIdleTimer(const CLineConnection& c);
  void StopIdleTimer(const CLineConnection& c);
  static void CALLBACK OnIdleTimer(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
  void OnIdle(UINT_PTR id);

  HWND window_ = nullptr;
  WSADATA wsaData_;
  bool winsockStarted_ = false;
  SOCKET listener_ = 0;  // 0: none
  std::vector<std::unique_ptr<CLineConnection>> connections_;
  CLineConnection* current_ = nullptr;  // the connection being served
  unsigned serials_ = 0;                // counts accepted connections
  std::vector<CLineJob> jobs_;
  int idleMs_ = 0;      // 0: no idle time-out
  int batchDepth_ = 0;  // open ReplyBatch scopes
  std::string batch_;   // replies held by them, for current_
  static inline std::map<UINT_PTR, CLineServer*> timerOwners_;
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
    address.sin_port = htons(static_cast<u_short>(ListenPort()));
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
void CLineServer<Server>::CloseAll() {
  while (!connections_.empty()) Close(*connections_.back());
  CloseSocket(listener_);
  listener_ = 0;
}

template <typename Server>
SOCKET CLineServer<Server>::ClientSocket() const {
  if (current_ != nullptr) return current_->socket;
  return connections_.empty() ? 0 : connections_.front()->socket;
}

template <typename Server>
size_t CLineServer<Server>::QueuedOutput() const {
  size_t queued = 0;
  for (const auto& c : connections_) queued += c->output.Queued();
  return queued;
}

template <typename Server>
CLineConnection* CLineServer<Server>::Find(SOCKET s) const {
  for (const auto& c : connections_)
    if (c->socket == s) return c.get();
  return nullptr;
}

template <typename Server>
CLineConnection* CLineServer<Server>::FindSerial(unsigned serial) const {
  for (const auto& c : connections_)
    if (c->serial == serial) return c.get();
  return nullptr;
}

template <typename Server>
bool CLineServer<Server>::Waiting(const CLineConnection& c) const {
  for (const CLineJob& job : jobs_)
    if (job.serial == c.serial) return true;
  return false;
}

template <typename Server>
void CLineServer<Server>::OnSocketEvent(WPARAM wParam, LPARAM lParam) {
  const SOCKET s = static_cast<SOCKET>(wParam);
  if (s == 0) return;
  if (WSAGETSELECTEVENT(lParam) == FD_ACCEPT) {
    if (s == listener_) OnAccept();
    return;
  }
  // Only clients are handled here: any other socket of this server was
  // closed when it was done with, and its handle may since name a new one.
  CLineConnection* c = Find(s);
  if (c == nullptr) return;
  current_ = c;
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ: OnReceive(*c); break;
    case FD_WRITE: OnWritable(*c); break;
    // The peer has gone, by reset or by the end of its stream: the
    // connection ends now, whatever is still unread or unsent, so a client
    // that left never holds the server. A command it sent but that was not
    // taken yet (a QUIT among them) is not carried out.
    case FD_CLOSE: Close(*c); break;
    default: break;
  }
  current_ = nullptr;
}

template <typename Server>
void CLineServer<Server>::OnAccept() {
  if (listener_ == 0) return;
  // Each client may be done with; the hook sees them one by one.
  for (size_t i = connections_.size(); i-- > 0;) {
    current_ = connections_[i].get();
    BeforeAccept();
  }
  current_ = nullptr;
  // A client that hung up just before this one connected may not have had
  // its FD_CLOSE handled yet (clients that reconnect at once do this); it is
  // gone, and the newcomer does not count it.
  for (size_t i = connections_.size(); i-- > 0;)
    if (HasGone(*connections_[i])) Close(*connections_[i]);
  if (connections_.size() >= Traits::kMaxConnections) {
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
  // A reply written in pieces goes out at once: with Nagle's algorithm its
  // tail would wait for the client's delayed acknowledgement (40 ms or
  // more). Batches are already as large as what is ready.
  const BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  connections_.push_back(std::make_unique<CLineConnection>(s, ++serials_, kMaxCommandLine, NextIdleTimerId()));
  CLineConnection& c = *connections_.back();
  current_ = &c;
  SendString(s, Traits::kGreeting);
  OnConnected();
  if (c.broken)
    Close(c);
  else
    RestartIdleTimer(c);
  current_ = nullptr;
}

template <typename Server>
bool CLineServer<Server>::HasGone(const CLineConnection& c) {
  char byte;
  int n = recv(c.socket, &byte, 1, MSG_PEEK);
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
void CLineServer<Server>::OnReceive(CLineConnection& c) {
  const unsigned serial = c.serial;
  // Lines are taken as they arrive, so a client that never ends its line
  // is stopped at the line limit instead of filling memory. Nothing is read
  // while the connection waits for a job or for its replies to be read: its
  // lines wait unread until then (CompleteJob, OnWritable).
  while (!Waiting(c) && !Backlogged(c) && !c.closing) {
    size_t room;
    char* space = c.input.Space(&room);
    int n = recv(c.socket, space, static_cast<int>(room < INT_MAX ? room : INT_MAX), 0);
    if (n <= 0) return;  // drained, or the end, which FD_CLOSE reports
    RestartIdleTimer(c);
    if (Traits::kRawInput) {
      if (!HandOver(c, space, static_cast<size_t>(n))) return;
    } else {
      c.input.Commit(static_cast<size_t>(n));
      if (!DispatchLines(c) || FindSerial(serial) != &c) return;
    }
    if (static_cast<size_t>(n) < room) return;  // drained; FD_READ tells of more
  }
}

// Raw input: the bytes go to the server as they came; false once the
// connection has ended.
template <typename Server>
bool CLineServer<Server>::HandOver(CLineConnection& c, const char* data, size_t size) {
  const unsigned serial = c.serial;
  current_ = &c;
  {
    ReplyBatch batch(*this);
    ReceiveBytes(data, size);
  }
  if (FindSerial(serial) != &c) return false;
  if (c.broken) {
    Close(c);
    return false;
  }
  return true;
}

// Runs the complete lines received, while the connection neither waits for
// a job nor has too many replies unread; false once the connection has
// ended.
template <typename Server>
bool CLineServer<Server>::DispatchLines(CLineConnection& c) {
  if (Traits::kRawInput) return true;  // nothing is kept back as lines
  const unsigned serial = c.serial;
  std::string line;
  while (!Waiting(c) && !Backlogged(c) && !c.closing) {
    c.input.SetMaxLine(MaxLine());
    switch (c.input.NextLine(line)) {
      case CLineBuffer::Next::None: return true;
      case CLineBuffer::Next::TooLong:
        SendString(c.socket, Traits::kLineTooLong);
        Close(c);
        return false;
      case CLineBuffer::Next::Line: {
        current_ = &c;
        {
          ReplyBatch batch(*this);
          ReceiveLine(line);
        }
        if (FindSerial(serial) != &c) return false;
        if (c.broken) {
          Close(c);
          return false;
        }
        break;
      }
    }
  }
  return true;
}

template <typename Server>
void CLineServer<Server>::StartJob() {
  if (current_ == nullptr) return;
  jobs_.push_back(CLineJob{current_->serial});
  // Waiting for the service is not the client's idleness.
  StopIdleTimer(*current_);
}

template <typename Server>
template <typename Answer>
void CLineServer<Server>::EndJob(unsigned serial, Answer answer) {
  auto job = std::find_if(jobs_.begin(), jobs_.end(), [=](const CLineJob& j) { return j.serial == serial; });
  if (job == jobs_.end()) return;  // no command waits for it
  jobs_.erase(job);
  // When its connection has gone, it is never answered to another.
  if (CLineConnection* c = FindSerial(serial)) Serve(*c, answer);
}

// Inside the connection's own command (a job that ended where it began),
// `work` runs there, and the dispatch that runs the command goes on by
// itself. Otherwise the connection is served for `work` and its input that
// waited goes on after it. A completion may come while another connection
// is served (an error box's message loop): that one's batch waits aside.
template <typename Server>
template <typename Work>
void CLineServer<Server>::Serve(CLineConnection& c, Work& work) {
  if (&c == current_) {
    work();
    return;
  }
  const unsigned serial = c.serial;
  const unsigned served = ServedConnection();
  std::string aside;
  aside.swap(batch_);
  const int depth = batchDepth_;
  batchDepth_ = 0;
  current_ = &c;
  {
    ReplyBatch batch(*this);
    work();
  }
  if (FindSerial(serial) == &c && c.broken) Close(c);
  if (FindSerial(serial) == &c && !Waiting(c)) {
    RestartIdleTimer(c);
    // The input that waited goes on, then whatever is still unread.
    if (DispatchLines(c) && FindSerial(serial) == &c) OnReceive(c);
  }
  current_ = served != 0 ? FindSerial(served) : nullptr;
  batch_.swap(aside);
  batchDepth_ = depth;
}

template <typename Server>
void CLineServer<Server>::Send(SOCKET s, const char* data, size_t length) {
  if (s != 0 && current_ != nullptr && s == current_->socket && batchDepth_ > 0) {
    if (batch_.size() + length >= kMaxJoinedReply) SendBatch();
    if (length < kMaxJoinedReply) {
      batch_.append(data, length);
      return;
    }
  }
  SendNow(s, std::string(data, length));
}

template <typename Server>
void CLineServer<Server>::Reply(std::string&& text) {
  const SOCKET s = ClientSocket();
  if (s != 0 && current_ != nullptr && batchDepth_ > 0) {
    // Only short replies are joined: a long one is not copied behind the
    // ones before it, nor grown (and so copied) by the ones after it. The
    // batch leaves first, and a long reply follows from its own storage.
    if (batch_.size() + text.size() >= kMaxJoinedReply) SendBatch();
    if (text.size() < kMaxJoinedReply) {
      if (batch_.empty())
        batch_ = std::move(text);
      else
        batch_ += text;
      return;
    }
  }
  SendNow(s, std::move(text));
}

template <typename Server>
void CLineServer<Server>::ReplyMultiLine(std::string&& text) {
  const bool endsLine = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
  const char* terminator = endsLine ? ".\r\n" : "\r\n.\r\n";
  if (text.size() < kMaxJoinedReply) {
    // A short text joins the status line in one send, stuffed in a copy.
    std::string reply = DotStuffed(text);
    Reply(std::move(reply.append(terminator)));
    return;
  }
  SendBatch();  // the status line leaves first
  SendNow(ClientSocket(), std::move(text), true);
  Reply(terminator);
}

template <typename Server>
void CLineServer<Server>::SendBatch() {
  if (batch_.empty()) return;
  std::string text;
  text.swap(batch_);
  if (current_ != nullptr) SendNow(current_->socket, std::move(text));
}

template <typename Server>
void CLineServer<Server>::SendNow(SOCKET s, std::string&& text, bool dotStuffed) {
  if (s == 0) return;
  theLog.Write("[以下の文字列を Becky に送信しました]\n");
  if (dotStuffed && theLog.Enabled())
    theLog.Write(DotStuffed(text));
  else
    theLog.Write(std::string_view(text));
  Queue(s, COutputPiece(std::move(text)), dotStuffed);
}

template <typename Server>
void CLineServer<Server>::ReplyPieces(std::vector<COutputPiece>&& pieces) {
  const SOCKET s = ClientSocket();
  if (s == 0) return;
  SendBatch();
  size_t last = 0;  // the last piece that has bytes ends the logged text
  for (size_t i = 0; i < pieces.size(); ++i)
    if (!pieces[i].Bytes().empty()) last = i;
  theLog.Write("[以下の文字列を Becky に送信しました]\n");
  for (size_t i = 0; i < last; ++i) theLog.WritePart(pieces[i].Bytes());
  theLog.Write(pieces.empty() ? std::string_view() : pieces[last].Bytes());
  for (COutputPiece& piece : pieces)
    if (!Queue(s, std::move(piece), false)) return;
}

template <typename Server>
bool CLineServer<Server>::Queue(SOCKET s, COutputPiece&& piece, bool dotStuffed) {
  CLineConnection* c = Find(s);
  if (c == nullptr) {
    // Not a client (a refused connection): nothing waits for it, and one
    // that has gone already is no error.
    COutputQueue once;
    dotStuffed ? once.WriteDotStuffed(s, std::move(piece)) : once.Write(s, std::move(piece));
    return true;
  }
  if (c->broken) return false;
  const int error = dotStuffed ? c->output.WriteDotStuffed(s, std::move(piece)) : c->output.Write(s, std::move(piece));
  if (error == 0) return true;
  // The peer has gone (a reset, most often): the connection ends, with
  // the rest of its lines, once the command being handled returns.
  if (error != WSAECONNRESET && error != WSAECONNABORTED) REPORT_SYSTEM_ERROR(error);
  c->broken = true;
  if (c != current_) Close(*c);
  return false;
}

// The queued text was logged when it was given to Send; logging it again at
// each FD_WRITE would repeat a large reply to a slow client many times over.
template <typename Server>
void CLineServer<Server>::OnWritable(CLineConnection& c) {
  if (c.output.Empty()) return;
  const size_t before = c.output.Queued();
  int error = c.output.Flush(c.socket);
  if (error != 0) {
    // The peer can take nothing more: it has gone.
    if (error != WSAECONNRESET && error != WSAECONNABORTED) REPORT_SYSTEM_ERROR(error);
    Close(c);
    return;
  }
  if (c.output.Queued() < before && !Waiting(c)) RestartIdleTimer(c);  // the client reads
  if (c.closing) {
    if (c.output.Empty()) Close(c);
    return;
  }
  // Lines held back behind a backlog of replies go on now.
  const unsigned serial = c.serial;
  if (Backlogged(c)) return;
  {
    ReplyBatch batch(*this);
    OnOutputDrained();
  }
  if (FindSerial(serial) != &c) return;
  if (c.broken) {
    Close(c);
    return;
  }
  if (!Backlogged(c) && DispatchLines(c) && FindSerial(serial) == &c) OnReceive(c);
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
  CLineConnection* c = current_ != nullptr ? current_ : connections_.empty() ? nullptr : connections_.front().get();
  if (c == nullptr) return;
  if (c == current_) SendBatch();  // a last reply, such as QUIT's, goes behind the others
  if (c->output.Empty() || c->broken) {
    Close(*c);
    return;
  }
  c->closing = true;  // OnWritable ends it once the client has read the rest
}

template <typename Server>
template <typename Work>
bool CLineServer<Server>::ServeConnection(unsigned serial, Work work) {
  CLineConnection* c = FindSerial(serial);
  if (c == nullptr) return false;
  Serve(*c, work);
  return true;
}

template <typename Server>
void CLineServer<Server>::Close(CLineConnection& c) {
  {
    CLineConnection* served = current_;
    current_ = &c;
    OnClosed();
    current_ = served;
  }
  if (&c == current_) {
    SendBatch();  // a last reply, such as QUIT's, goes out before the close
    current_ = nullptr;
  }
  StopIdleTimer(c);
  CloseSocket(c.socket);
  connections_.erase(std::find_if(connections_.begin(), connections_.end(),
                                  [&c](const std::unique_ptr<CLineConnection>& p) { return p.get() == &c; }));
}

template <typename Server>
void CLineServer<Server>::RestartIdleTimer(const CLineConnection& c) {
  const int ms = IdleTimeOutMs(c.serial);
  if (ms <= 0 || window_ == nullptr) return;
  timerOwners_[c.idleTimer] = this;
  SetTimer(window_, c.idleTimer, static_cast<UINT>(ms), &CLineServer::OnIdleTimer);
}

template <typename Server>
void CLineServer<Server>::StopIdleTimer(const CLineConnection& c) {
  if (timerOwners_.erase(c.idleTimer) != 0) KillTimer(window_, c.idleTimer);
}

// A timer message may still come after its timer was stopped: only an id
// that is still registered counts.
template <typename Server>
void CALLBACK CLineServer<Server>::OnIdleTimer(HWND, UINT, UINT_PTR id, DWORD) {
  auto owner = timerOwners_.find(id);
  if (owner != timerOwners_.end()) owner->second->OnIdle(id);
}

template <typename Server>
void CLineServer<Server>::OnIdle(UINT_PTR id) {
  for (const auto& p : connections_) {
    CLineConnection& c = *p;
    if (c.idleTimer != id) continue;
    if (Waiting(c)) {
      StopIdleTimer(c);
      return;
    }
    theLog.Write("[無通信のため切断します]\n");
    current_ = &c;
    SendString(c.socket, Traits::kIdleClose);
    Close(c);
    current_ = nullptr;
    return;
  }
  // No connection has the timer any more.
  timerOwners_.erase(id);
  KillTimer(window_, id);
}

#endif
