// Test helpers for servers on 127.0.0.1: a window that records or routes
// messages, a bounded message pump, and a non-blocking client socket that
// reads while the pump runs. Everything goes through Windows Sockets.
#ifndef KESTRELON_TEST_LOOPBACK_H
#define KESTRELON_TEST_LOOPBACK_H

#include <windows.h>
#include <winsock.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace loopback {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultWaitMs = 3000;

// Dispatches every waiting message (socket readiness included) once.
inline void PumpOnce() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

// Pumps until `done` holds or `ms` have passed; returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done, int ms = kDefaultWaitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    PumpOnce();
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// A window of its own class whose procedure is `proc`.
inline HWND CreateTestWindow(const char* className, WNDPROC proc) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = className;
  RegisterClassA(&wc);  // fails harmlessly when registered by an earlier test
  return CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr("127.0.0.1");
  a.sin_port = htons(static_cast<u_short>(port));
  return a;
}

// A port of 127.0.0.1 that nothing listens on just now.
inline int FreePort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = LoopbackAddress(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  closesocket(s);
  return ntohs(a.sin_port);
}

// A client connection, non-blocking once connected, with what it received.
class Client {
 public:
  explicit Client(int port) {
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = LoopbackAddress(port);
    connected_ = connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    u_long on = 1;
    ioctlsocket(s_, FIONBIO, &on);
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  SOCKET handle() const { return s_; }
  void Close() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }

  bool Send(const std::string& data) {
    size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDefaultWaitMs);
    while (sent < data.size() && Clock::now() < deadline) {
      int n = send(s_, data.data() + sent, static_cast<int>(data.size() - sent), 0);
      if (n > 0) sent += static_cast<size_t>(n);
      else PumpOnce();  // let the server read
    }
    return sent == data.size();
  }

  // Sends in one piece, or byte by byte with the server let read each.
  bool Feed(const std::string& data, bool byteByByte) {
    if (!byteByByte) return Send(data);
    for (char ch : data) {
      if (!Send(std::string(1, ch))) return false;
      PumpOnce();
    }
    return true;
  }

  // Takes what has arrived; notes the end of the stream.
  void Drain() {
    char buffer[65536];
    for (;;) {
      int n = recv(s_, buffer, sizeof buffer, 0);
      if (n > 0) {
        received_.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) closed_ = true;
      return;
    }
  }

  // Pumps the server until the received text ends with `suffix`, and hands
  // over everything received so far.
  std::string ReadUntil(const std::string& suffix, int ms = kDefaultWaitMs) {
    PumpUntil([&] {
      Drain();
      return EndsWith(suffix) || closed_;
    }, ms);
    return Take();
  }
  std::string ReadLine(int ms = kDefaultWaitMs) { return ReadUntil("\r\n", ms); }
  std::string ReadMultiLine(int ms = kDefaultWaitMs) { return ReadUntil("\r\n.\r\n", ms); }

  // Pumps for `ms` and hands over whatever arrived meanwhile.
  std::string ReadFor(int ms) {
    PumpUntil([&] {
      Drain();
      return closed_;
    }, ms);
    return Take();
  }
  // Pumps until the server has closed the connection.
  bool WaitClosed(int ms = kDefaultWaitMs) {
    return PumpUntil([&] {
      Drain();
      return closed_;
    }, ms);
  }
  bool closed() const { return closed_; }
  std::string Take() {
    std::string out;
    out.swap(received_);
    return out;
  }

 private:
  bool EndsWith(const std::string& suffix) const {
    return received_.size() >= suffix.size() &&
           received_.compare(received_.size() - suffix.size(), suffix.size(), suffix) == 0;
  }

  SOCKET s_ = INVALID_SOCKET;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
};

}  // namespace loopback

#endif
