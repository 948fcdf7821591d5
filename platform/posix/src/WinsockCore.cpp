// Windows Sockets over the system's BSD sockets: the handle table, errno
// translation, and WSAAsyncSelect as a poll source of the message loop.
//
// Notification follows Winsock's re-enabling rules: once a network event has
// been posted, it is not posted again until the call that re-enables it
// (recv for FD_READ, accept for FD_ACCEPT, a send that failed with
// WSAEWOULDBLOCK for FD_WRITE); FD_CLOSE is posted once. A socket whose
// events are all waiting for their re-enabling call is not polled at all, so
// a socket that stays readable never makes the loop spin.
#include <windows.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "MessageLoop.h"
#include "WinsockCore.h"

namespace kwin32 {
namespace winsock {
namespace {

// Winsock's numbers, which this file cannot take from winsock.h.
constexpr long kRead = 0x01, kWrite = 0x02, kAccept = 0x08, kConnect = 0x10, kClose = 0x20;
constexpr long kAllEvents = 0x3F;
constexpr DWORD kWsaBase = 10000;
constexpr DWORD WSAEFAULT = kWsaBase + 14, WSAEINVAL = kWsaBase + 22, WSAEWOULDBLOCK = kWsaBase + 35,
                WSAENOTSOCK = kWsaBase + 38, WSAENOPROTOOPT = kWsaBase + 42, WSAESOCKTNOSUPPORT = kWsaBase + 44,
                WSAEOPNOTSUPP = kWsaBase + 45, WSAEAFNOSUPPORT = kWsaBase + 47, WSAECONNRESET = kWsaBase + 54,
                WSAENOTCONN = kWsaBase + 57, WSAESHUTDOWN = kWsaBase + 58, WSASYSCALLFAILURE = kWsaBase + 107;
constexpr int kAddressLength = sizeof(sockaddr_in);

static_assert(sizeof(sockaddr_in) == 16, "Winsock's sockaddr_in is 16 bytes");
static_assert(MSG_OOB == 1 && MSG_PEEK == 2 && MSG_DONTROUTE == 4, "flags shared with Winsock");
static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2, "shutdown modes shared with Winsock");

enum class State { Fresh, Listening, Connecting, Connected };

struct Socket {
  int fd;
  State state = State::Fresh;
  bool bound = false;
  bool nonBlocking = false;
  bool sendShut = false;
  // The WSAAsyncSelect registration and its notification state.
  HWND window = nullptr;
  UINT message = 0;
  long events = 0;
  long armed = 0;          // events that may be posted (again)
  bool endSeen = false;    // the peer's end of stream or a reset was seen
  bool hangUp = false;     // nothing more can be written
  bool closePosted = false;
};

struct Note {
  HWND window;
  UINT message;
  WPARAM socket;
  LPARAM event;
};

std::mutex lock;  // guards the tables below
std::map<Handle, Socket> sockets;
std::map<int, Handle> handleOfFd;
Handle nextHandle = 0x100;  // Windows' socket handles are multiples of 4

DWORD WsaFromErrno(int err) {
  switch (err) {
    case EINTR: return kWsaBase + 4;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return kWsaBase + 13;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return kWsaBase + 24;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect on Windows
    case EALREADY: return kWsaBase + 37;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return kWsaBase + 39;
    case EMSGSIZE: return kWsaBase + 40;
    case EPROTOTYPE: return kWsaBase + 41;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return kWsaBase + 43;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return kWsaBase + 46;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return kWsaBase + 48;
    case EADDRNOTAVAIL: return kWsaBase + 49;
    case ENETDOWN: return kWsaBase + 50;
    case ENETUNREACH: return kWsaBase + 51;
    case ENETRESET: return kWsaBase + 52;
    case ECONNABORTED: return kWsaBase + 53;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return kWsaBase + 55;
    case EISCONN: return kWsaBase + 56;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return kWsaBase + 60;
    case ECONNREFUSED: return kWsaBase + 61;
    case EHOSTDOWN: return kWsaBase + 64;
    case EHOSTUNREACH: return kWsaBase + 65;
    default: return WSASYSCALLFAILURE;
  }
}

int Fail(DWORD code) {
  SetLastError(code);
  return -1;
}

int FailWithErrno(int err) { return Fail(WsaFromErrno(err)); }

Handle FailHandle(DWORD code) {
  SetLastError(code);
  return 0;
}

// The socket of a handle; the caller holds the lock.
Socket* Find(Handle h) {
  auto it = sockets.find(h);
  return it == sockets.end() ? nullptr : &it->second;
}

// The descriptor of a handle, or -1 with WSAENOTSOCK set.
int FdOf(Handle h) {
  std::lock_guard<std::mutex> guard(lock);
  Socket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  return s->fd;
}

Handle Register(int fd, const Socket& model) {
  std::lock_guard<std::mutex> guard(lock);
  Handle h = nextHandle;
  nextHandle += 4;
  Socket s = model;
  s.fd = fd;
  sockets[h] = s;
  handleOfFd[fd] = h;
  return h;
}

// Applies `change` to the socket of `h` if it still exists, under the lock.
template <typename Change>
void Update(Handle h, Change change) {
  bool watched;
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr) return;
    change(*s);
    watched = s->events != 0;
  }
  // The set of descriptors to watch may have changed under a waiting loop.
  if (watched) WakeMessageLoopIfWaiting();
}

bool ValidAddress(const void* address, int length) { return address != nullptr && length >= kAddressLength; }

void CopyAddressOut(const sockaddr_in& from, void* address, int* length) {
  memcpy(address, &from, kAddressLength);
  *length = kAddressLength;
}

int SocketError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// Whether a connected socket is looked at only for a reset: FD_CLOSE is
// registered and not yet posted, and nothing else is watched. poll reports
// errors and hang-ups of a descriptor whatever it asks for, so a peer that
// resets while its data waits unread is still noticed.
bool WatchesResetOnly(const Socket& s) {
  return s.state == State::Connected && (s.events & kClose) && !s.closePosted && !s.hangUp;
}

short Watch(const Socket& s) {
  if (s.events == 0) return 0;
  switch (s.state) {
    case State::Listening: return (s.events & s.armed & kAccept) ? POLLIN : 0;
    case State::Connecting: return (s.events & (kConnect | kWrite)) ? POLLOUT : 0;
    case State::Connected: {
      short watch = 0;
      if ((s.armed & kRead) && (s.events & (kRead | kClose)) && !s.endSeen) watch |= POLLIN;
      if ((s.events & s.armed & kWrite) && !s.hangUp) watch |= POLLOUT;
      return watch;
    }
    case State::Fresh: break;
  }
  return 0;
}

class Notifier {
 public:
  Notifier(Handle h, Socket& s, std::vector<Note>& notes) : h_(h), s_(s), notes_(notes) {}

  void Examine(short requested, short revents) {
    if (revents & POLLNVAL) return;
    switch (s_.state) {
      case State::Listening:
        if (revents) Post(kAccept, 0);
        break;
      case State::Connecting: ConnectDone(); break;
      case State::Connected:
        if (revents & POLLERR) {
          Reset();
          break;
        }
        if ((requested & POLLIN) && (revents & (POLLIN | POLLHUP)))
          ReadSide(revents);
        else if (revents & (POLLHUP | POLLERR))
          HungUp();
        if ((requested & POLLOUT) && (revents & POLLOUT) && !s_.hangUp) Post(kWrite, 0);
        break;
      case State::Fresh: break;
    }
  }

 private:
  // Posts `event` if it is registered and enabled, and disables it until its
  // re-enabling call.
  void Post(long event, DWORD error) {
    if (!(s_.armed & event)) return;
    s_.armed &= ~event;
    if (!(s_.events & event)) return;
    const DWORD reply = static_cast<DWORD>(event & 0xFFFF) | (error << 16);
    notes_.push_back(Note{s_.window, s_.message, h_, static_cast<LPARAM>(reply)});
  }

  void PostClose(DWORD error) {
    s_.endSeen = true;
    if (s_.closePosted || !(s_.events & kClose)) return;
    s_.closePosted = true;
    const DWORD reply = static_cast<DWORD>(kClose) | (error << 16);
    notes_.push_back(Note{s_.window, s_.message, h_, static_cast<LPARAM>(reply)});
  }

  // A reset (or another failure of the connection): the peer is gone, and
  // as on Windows FD_CLOSE comes at once with the error, whatever data is
  // still unread or unsent. Waiting for the data to be read first would hold
  // the connection for ever when the application has stopped reading.
  void Reset() {
    s_.hangUp = true;
    int error = SocketError(s_.fd);
    PostClose(WsaFromErrno(error == 0 ? ECONNRESET : error));
  }

  // Data, the end of the stream, or a reset: only a peek tells them apart,
  // and FD_CLOSE waits until the data before the end has been read.
  void ReadSide(short revents) {
    if (revents & (POLLHUP | POLLERR)) s_.hangUp = true;
    char byte;
    ssize_t n = ::recv(s_.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      Post(kRead, 0);  // and no further look until the next recv
      return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) s_.hangUp = true;
    PostClose(n == 0 ? 0 : WsaFromErrno(errno));
  }

  // The connection broke while only writing was watched.
  void HungUp() {
    s_.hangUp = true;
    char byte;
    ssize_t n = ::recv(s_.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return;  // unread data first; its recv re-enables the read side
    int error = n < 0 && errno != EAGAIN ? errno : SocketError(s_.fd);
    PostClose(error == 0 ? 0 : WsaFromErrno(error));
  }

  void ConnectDone() {
    int error = SocketError(s_.fd);
    s_.state = error == 0 ? State::Connected : State::Fresh;
    Post(kConnect, error == 0 ? 0 : WsaFromErrno(error));
    if (error == 0) Post(kWrite, 0);
  }

  Handle h_;
  Socket& s_;
  std::vector<Note>& notes_;
};

class AsyncSelectSource : public PollSource {
 public:
  void Prepare(std::vector<pollfd>& fds) override {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& entry : sockets) {
      short watch = Watch(entry.second);
      if (watch != 0 || WatchesResetOnly(entry.second)) fds.push_back(pollfd{entry.second.fd, watch, 0});
    }
  }

  void Dispatch(const std::vector<pollfd>& fds, size_t first, size_t count) override {
    std::vector<Note> notes;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (size_t i = first; i < first + count; ++i) {
        if (fds[i].revents == 0) continue;
        auto it = handleOfFd.find(fds[i].fd);
        if (it == handleOfFd.end()) continue;  // closed meanwhile
        Socket* s = Find(it->second);
        if (s == nullptr || Watch(*s) != fds[i].events) continue;  // changed meanwhile
        Notifier(it->second, *s, notes).Examine(fds[i].events, fds[i].revents);
      }
    }
    // Ends first: a client that was reset before another connected is gone
    // by the time its server sees the newcomer, as Windows posts them in the
    // order they happened. One socket posts at most one end per round, so
    // its own notices keep their order.
    std::stable_partition(notes.begin(), notes.end(),
                          [](const Note& note) { return (note.event & 0xFFFF) == kClose; });
    // Posted outside the lock: PostMessageA takes the queue's own lock.
    for (const Note& note : notes) PostMessageA(note.window, note.message, note.socket, note.event);
  }
};

void InstallSource() {
  static AsyncSelectSource source;
  static std::once_flag once;
  std::call_once(once, [] { SetPollSource(&source); });
}

int SetBlockingMode(int fd, bool nonBlocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags);
}

bool SystemOption(Option option, int* level, int* name) {
  *level = SOL_SOCKET;
  switch (option) {
    case Option::ReuseAddress: *name = SO_REUSEADDR; return true;
    case Option::KeepAlive: *name = SO_KEEPALIVE; return true;
    case Option::Broadcast: *name = SO_BROADCAST; return true;
    case Option::DontRoute: *name = SO_DONTROUTE; return true;
    case Option::OobInline: *name = SO_OOBINLINE; return true;
    case Option::SendBuffer: *name = SO_SNDBUF; return true;
    case Option::ReceiveBuffer: *name = SO_RCVBUF; return true;
    case Option::Error: *name = SO_ERROR; return true;
    case Option::Type: *name = SO_TYPE; return true;
    case Option::AcceptConnections: *name = SO_ACCEPTCONN; return true;
    case Option::NoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
  }
  return false;
}

}  // namespace

Handle Create(int family, int type, int protocol) {
  if (family != AF_INET) return FailHandle(WSAEAFNOSUPPORT);
  if (type != SOCK_STREAM && type != SOCK_DGRAM && type != SOCK_RAW) return FailHandle(WSAESOCKTNOSUPPORT);
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailHandle(WsaFromErrno(errno));
  if (type == SOCK_STREAM) {
    // Windows lets a server bind its port again while connections of an
    // earlier run linger in TIME_WAIT; Linux does only with SO_REUSEADDR. It
    // still refuses a port that another socket listens on.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  return Register(fd, Socket{fd});
}

int Bind(Handle h, const void* address, int length) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (!ValidAddress(address, length)) return Fail(WSAEFAULT);
  sockaddr_in in;
  memcpy(&in, address, kAddressLength);
  if (in.sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) return FailWithErrno(errno);
  Update(h, [](Socket& s) { s.bound = true; });
  return 0;
}

int Listen(Handle h, int backlog) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    // Winsock does not bind a socket implicitly for listen.
    if (s == nullptr || !s->bound || s->state == State::Connected) return Fail(WSAEINVAL);
  }
  if (::listen(fd, backlog) != 0) return FailWithErrno(errno);
  Update(h, [](Socket& s) { s.state = State::Listening; });
  return 0;
}

Handle Accept(Handle h, void* address, int* length) {
  Socket listener{-1};
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr) return FailHandle(WSAENOTSOCK);
    if (s->state != State::Listening) return FailHandle(WSAEINVAL);
    listener = *s;
  }
  if (address != nullptr && (length == nullptr || *length < kAddressLength)) return FailHandle(WSAEFAULT);
  // Any accept, even one that fails, enables FD_ACCEPT again.
  Update(h, [](Socket& s) { s.armed |= kAccept; });
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                     SOCK_CLOEXEC | (listener.nonBlocking ? SOCK_NONBLOCK : 0));
  if (fd < 0) return FailHandle(WsaFromErrno(errno));
  // The accepted socket has the listening socket's properties, its
  // WSAAsyncSelect registration included; FD_WRITE is due once it exists.
  Socket model{fd};
  model.state = State::Connected;
  model.bound = true;
  model.nonBlocking = listener.nonBlocking;
  model.window = listener.window;
  model.message = listener.message;
  model.events = listener.events;
  model.armed = kAllEvents;
  Handle accepted = Register(fd, model);
  if (model.events != 0) WakeMessageLoop();
  if (address != nullptr) CopyAddressOut(peer, address, length);
  return accepted;
}

int Connect(Handle h, const void* address, int length) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (!ValidAddress(address, length)) return Fail(WSAEFAULT);
  sockaddr_in in;
  memcpy(&in, address, kAddressLength);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
  int err = errno;
  if (result == 0) {
    Update(h, [](Socket& s) { s.state = State::Connected; s.bound = true; s.armed = kAllEvents; });
    return 0;
  }
  if (err == EINPROGRESS) Update(h, [](Socket& s) { s.state = State::Connecting; s.bound = true; });
  return FailWithErrno(err);
}

int LocalName(Handle h, void* address, int* length) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (address == nullptr || length == nullptr || *length < kAddressLength) return Fail(WSAEFAULT);
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr || !s->bound) return Fail(WSAEINVAL);
  }
  sockaddr_in in{};
  socklen_t inLength = sizeof in;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &inLength) != 0) return FailWithErrno(errno);
  CopyAddressOut(in, address, length);
  return 0;
}

int PeerName(Handle h, void* address, int* length) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (address == nullptr || length == nullptr || *length < kAddressLength) return Fail(WSAEFAULT);
  sockaddr_in in{};
  socklen_t inLength = sizeof in;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&in), &inLength) != 0) return FailWithErrno(errno);
  CopyAddressOut(in, address, length);
  return 0;
}

int Receive(Handle h, void* buffer, int length, int flags) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
  if (flags & ~(MSG_OOB | MSG_PEEK | MSG_DONTROUTE)) return Fail(WSAEOPNOTSUPP);
  ssize_t n = ::recv(fd, buffer, static_cast<size_t>(length), flags);
  int err = errno;
  // Any recv, even one that fails, enables FD_READ again.
  Update(h, [](Socket& s) { s.armed |= kRead; });
  if (n < 0) return FailWithErrno(err);
  return static_cast<int>(n);
}

int Transmit(Handle h, const void* buffer, int length, int flags) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
  if (flags & ~(MSG_OOB | MSG_DONTROUTE)) return Fail(WSAEOPNOTSUPP);
  // MSG_NOSIGNAL: a peer that has gone must give an error, not SIGPIPE.
  ssize_t n = ::send(fd, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN) {
    // FD_WRITE is due again once the socket can take more.
    Update(h, [](Socket& s) { s.armed |= kWrite; });
    return Fail(WSAEWOULDBLOCK);
  }
  if (err == EPIPE) {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s != nullptr && s->sendShut) return Fail(WSAESHUTDOWN);
  }
  return FailWithErrno(err);
}

int Shutdown(Handle h, int how) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (how < SHUT_RD || how > SHUT_RDWR) return Fail(WSAEINVAL);
  if (::shutdown(fd, how) != 0) return FailWithErrno(errno);
  if (how != SHUT_RD) Update(h, [](Socket& s) { s.sendShut = true; });
  return 0;
}

int Close(Handle h) {
  int fd;
  bool watched;
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr) return Fail(WSAENOTSOCK);
    fd = s->fd;
    watched = s->events != 0;
    sockets.erase(h);
    handleOfFd.erase(fd);
  }
  ::close(fd);
  if (watched) WakeMessageLoop();
  return 0;
}

int SetOption(Handle h, Option option, int value) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  int level, name;
  if (!SystemOption(option, &level, &name) || option == Option::Error || option == Option::Type ||
      option == Option::AcceptConnections)
    return Fail(WSAENOPROTOOPT);
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return FailWithErrno(errno);
  return 0;
}

int GetOption(Handle h, Option option, int* value) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  int level, name;
  if (!SystemOption(option, &level, &name)) return Fail(WSAENOPROTOOPT);
  socklen_t length = sizeof *value;
  if (::getsockopt(fd, level, name, value, &length) != 0) return FailWithErrno(errno);
  if (option == Option::Error && *value != 0) *value = static_cast<int>(WsaFromErrno(*value));
  return 0;
}

int SetNonBlocking(Handle h, bool on) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr) return Fail(WSAENOTSOCK);
    // A socket with window notification stays non-blocking.
    if (!on && s->events != 0) return Fail(WSAEINVAL);
    fd = s->fd;
  }
  if (SetBlockingMode(fd, on) != 0) return FailWithErrno(errno);
  Update(h, [on](Socket& s) { s.nonBlocking = on; });
  return 0;
}

int BytesReadable(Handle h, unsigned* count) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return FailWithErrno(errno);
  *count = static_cast<unsigned>(n);
  return 0;
}

int AsyncSelect(Handle h, HWND window, UINT message, long events) {
  int fd = FdOf(h);
  if (fd < 0) return -1;
  if (events != 0 && !IsWindow(window)) return Fail(WSAEINVAL);
  // WSAAsyncSelect makes the socket non-blocking, even when it cancels.
  if (SetBlockingMode(fd, true) != 0) return FailWithErrno(errno);
  InstallSource();
  {
    std::lock_guard<std::mutex> guard(lock);
    Socket* s = Find(h);
    if (s == nullptr) return Fail(WSAENOTSOCK);
    s->nonBlocking = true;
    s->window = events != 0 ? window : nullptr;
    s->message = events != 0 ? message : 0;
    s->events = events & kAllEvents;
    // A new registration looks at the socket afresh: what holds now is
    // posted, FD_CLOSE included if the connection has already ended.
    s->armed = kAllEvents;
    s->endSeen = s->hangUp = s->closePosted = false;
  }
  WakeMessageLoop();
  return 0;
}

void CloseEverything() {
  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& entry : sockets) fds.push_back(entry.second.fd);
    sockets.clear();
    handleOfFd.clear();
  }
  for (int fd : fds) ::close(fd);
  WakeMessageLoop();
}

bool ParseAddress(const char* text, uint32_t* address) {
  in_addr in;
  if (text == nullptr || inet_aton(text, &in) == 0) return false;
  *address = in.s_addr;
  return true;
}

}  // namespace winsock
}  // namespace kwin32
