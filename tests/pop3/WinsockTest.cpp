// Windows Sockets for Linux: start-up, error numbers, handles, and window
// notification by WSAAsyncSelect with Winsock's re-enabling rules.
#include <gtest/gtest.h>

#include <time.h>

#include <thread>
#include <vector>

#include "pop3/Loopback.h"

namespace {

using loopback::Client;
using loopback::PumpFor;
using loopback::PumpUntil;

constexpr UINT WM_TEST_SOCKET = WM_USER + 77;
constexpr UINT WM_TEST_WAKE = WM_USER + 78;

struct Event {
  SOCKET socket;
  int event;
  int error;
};
std::vector<Event> events;

LRESULT CALLBACK RecordingProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TEST_SOCKET)
    events.push_back({static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam)});
  return 0;
}

int Count(SOCKET s, int event) {
  int n = 0;
  for (const Event& e : events)
    if (e.socket == s && e.event == event) ++n;
  return n;
}

// The process's processor time, to tell a waiting loop from a spinning one.
double CpuSeconds() { return static_cast<double>(clock()) / CLOCKS_PER_SEC; }

class WinsockTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, WSAStartup(0x0101, &data_));
    events.clear();
    window_ = loopback::CreateTestWindow("WinsockTestWindow", RecordingProc);
    ASSERT_NE(nullptr, window_);
  }
  void TearDown() override {
    for (SOCKET s : open_) closesocket(s);
    DestroyWindow(window_);
    WSACleanup();
  }

  SOCKET Track(SOCKET s) {
    open_.push_back(s);
    return s;
  }

  // A listening socket on a free port of 127.0.0.1; *port receives it.
  SOCKET Listener(int* port, long notify = FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE) {
    SOCKET s = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = loopback::LoopbackAddress(0);
    EXPECT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
    int length = sizeof a;
    EXPECT_EQ(0, getsockname(s, reinterpret_cast<sockaddr*>(&a), &length));
    *port = ntohs(a.sin_port);
    if (notify != 0) {
      EXPECT_EQ(0, WSAAsyncSelect(s, window_, WM_TEST_SOCKET, notify));
    }
    EXPECT_EQ(0, listen(s, 5));
    return s;
  }

  // Accepts one connection after its FD_ACCEPT.
  SOCKET AcceptOne(SOCKET listener) {
    EXPECT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) > 0; }));
    SOCKET s = accept(listener, nullptr, nullptr);
    EXPECT_NE(INVALID_SOCKET, s);
    return Track(s);
  }

  WSADATA data_;
  HWND window_ = nullptr;
  std::vector<SOCKET> open_;
};

TEST(WinsockStartupTest, VersionsAndCallsBeforeStartup) {
  EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, WSACleanup());
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());

  WSADATA data;
  ASSERT_EQ(0, WSAStartup(0x0101, &data));
  EXPECT_EQ(0x0101, data.wVersion);
  EXPECT_EQ(0x0202, data.wHighVersion);
  ASSERT_EQ(0, WSAStartup(0x0303, &data));  // more than is known: the highest
  EXPECT_EQ(0x0202, data.wVersion);
  EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(0x0100, &data));  // version 0.1
  EXPECT_EQ(WSAEFAULT, WSAStartup(0x0101, nullptr));
  // Two successful start-ups need two clean-ups.
  EXPECT_EQ(0, WSACleanup());
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(INVALID_SOCKET, s);
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(SOCKET_ERROR, closesocket(s));
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST_F(WinsockTest, HandlesAreNeverZeroNorReused) {
  SOCKET a = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(INVALID_SOCKET, a);
  EXPECT_NE(0u, a);
  ASSERT_EQ(0, closesocket(a));
  SOCKET b = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_NE(0u, b);
  EXPECT_NE(a, b);  // the descriptor is reused by the system; the handle is not
  EXPECT_EQ(SOCKET_ERROR, closesocket(a));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, send(0, "x", 1, 0));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(WinsockTest, ErrorsCarryWindowsSocketsNumbers) {
  EXPECT_EQ(INVALID_SOCKET, socket(99, SOCK_STREAM, 0));
  EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());

  int port;
  Listener(&port, 0);
  SOCKET second = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in a = loopback::LoopbackAddress(port);
  EXPECT_EQ(SOCKET_ERROR, bind(second, reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, bind(second, reinterpret_cast<sockaddr*>(&a), 8));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());

  SOCKET unbound = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(SOCKET_ERROR, listen(unbound, 5));
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());

  SOCKET refused = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in nobody = loopback::LoopbackAddress(loopback::FreePort());
  EXPECT_EQ(SOCKET_ERROR, connect(refused, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody));
  EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());

  Client client(port);
  ASSERT_TRUE(client.connected());
  char byte;
  EXPECT_EQ(SOCKET_ERROR, recv(client.handle(), &byte, 1, 0));
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(client.handle(), 0x1234, reinterpret_cast<u_long*>(&byte)));
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());
}

TEST_F(WinsockTest, AddressesAndByteOrder) {
  EXPECT_EQ(htonl(0x7f000001), inet_addr("127.0.0.1"));
  EXPECT_EQ(INADDR_NONE, inet_addr("not an address"));
  EXPECT_EQ(INADDR_NONE, inet_addr("1.2.3.256"));
  EXPECT_EQ(INADDR_NONE, inet_addr(nullptr));
  EXPECT_EQ(0x3412, htons(0x1234));
  EXPECT_EQ(0x1234, ntohs(htons(0x1234)));
  EXPECT_EQ(4u, sizeof(u_long));
  EXPECT_EQ(16u, sizeof(sockaddr_in));
  in_addr in;
  in.s_addr = inet_addr("10.1.2.3");
  EXPECT_STREQ("10.1.2.3", inet_ntoa(in));
}

TEST_F(WinsockTest, AcceptIsNotifiedOnceUntilAccepted) {
  int port;
  SOCKET listener = Listener(&port);
  Client first(port), second(port);
  ASSERT_TRUE(first.connected() && second.connected());
  PumpFor(100);
  EXPECT_EQ(1, Count(listener, FD_ACCEPT));  // two waiting, one notice

  SOCKET a = accept(listener, nullptr, nullptr);
  ASSERT_NE(INVALID_SOCKET, Track(a));
  EXPECT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 2; }));
  sockaddr_in peer;
  int length = sizeof peer;
  SOCKET b = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  ASSERT_NE(INVALID_SOCKET, Track(b));
  EXPECT_EQ(16, length);
  EXPECT_EQ(inet_addr("127.0.0.1"), peer.sin_addr.s_addr);
  PumpFor(100);
  EXPECT_EQ(2, Count(listener, FD_ACCEPT));
  // Nothing more waits: accept on the non-blocking listener would block.
  EXPECT_EQ(INVALID_SOCKET, accept(listener, nullptr, nullptr));
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
  // Accepted sockets carry the listener's registration: one FD_WRITE each.
  EXPECT_EQ(1, Count(a, FD_WRITE));
  EXPECT_EQ(1, Count(b, FD_WRITE));
}

TEST_F(WinsockTest, ReadIsNotifiedAgainOnlyAfterRecv) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  ASSERT_TRUE(client.Send("abc"));
  ASSERT_TRUE(PumpUntil([&] { return Count(server, FD_READ) == 1; }));
  PumpFor(100);
  EXPECT_EQ(1, Count(server, FD_READ));  // the data stays, the notice is not repeated

  char buffer[8];
  ASSERT_EQ(1, recv(server, buffer, 1, 0));
  EXPECT_TRUE(PumpUntil([&] { return Count(server, FD_READ) == 2; }));  // "bc" still there
  ASSERT_EQ(2, recv(server, buffer, sizeof buffer, 0));
  EXPECT_EQ(SOCKET_ERROR, recv(server, buffer, sizeof buffer, 0));
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
  PumpFor(100);
  EXPECT_EQ(2, Count(server, FD_READ));
  EXPECT_EQ(0, Count(server, FD_CLOSE));

  client.Close();
  EXPECT_TRUE(PumpUntil([&] { return Count(server, FD_CLOSE) == 1; }));
  PumpFor(100);
  EXPECT_EQ(1, Count(server, FD_CLOSE));
  EXPECT_EQ(2, Count(server, FD_READ));
  EXPECT_EQ(0, recv(server, buffer, sizeof buffer, 0));
  PumpFor(100);
  EXPECT_EQ(1, Count(server, FD_CLOSE));  // the end stays readable, notified once
}

TEST_F(WinsockTest, CloseWaitsUntilTheDataBeforeItIsRead) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  ASSERT_TRUE(client.Send("last words"));
  client.Close();
  ASSERT_TRUE(PumpUntil([&] { return Count(server, FD_READ) == 1; }));
  PumpFor(100);
  EXPECT_EQ(0, Count(server, FD_CLOSE));
  char buffer[64];
  EXPECT_EQ(10, recv(server, buffer, sizeof buffer, 0));
  EXPECT_TRUE(PumpUntil([&] { return Count(server, FD_CLOSE) == 1; }));
  EXPECT_EQ(0, events.back().error);
}

TEST_F(WinsockTest, WriteIsNotifiedAfterWouldBlockOnce) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  ASSERT_TRUE(PumpUntil([&] { return Count(server, FD_WRITE) == 1; }));

  int small = 4096;
  ASSERT_EQ(0, setsockopt(server, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small));
  // Fill both ends' buffers: send until it would block, and again after
  // each FD_WRITE the system gives while it moves data to the peer, until
  // a blocked send stays unanswered.
  const std::string block(65536, 'x');
  size_t queued = 0;
  int writes = 1;
  bool settled = false;
  for (int round = 0; round < 50 && !settled; ++round) {
    int n;
    while ((n = send(server, block.data(), static_cast<int>(block.size()), 0)) > 0) queued += static_cast<size_t>(n);
    ASSERT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    PumpFor(100);
    settled = Count(server, FD_WRITE) == writes;
    writes = Count(server, FD_WRITE);
    EXPECT_LE(writes, round + 2);  // at most one notice per blocked send
  }
  ASSERT_TRUE(settled);

  std::string received;
  ASSERT_TRUE(PumpUntil([&] {
    client.Drain();
    received += client.Take();
    return received.size() == queued;
  }));
  EXPECT_TRUE(PumpUntil([&] { return Count(server, FD_WRITE) == writes + 1; }));
  PumpFor(100);
  EXPECT_EQ(writes + 1, Count(server, FD_WRITE));
}

TEST_F(WinsockTest, SendToAGoneConnectionFailsWithoutSignal) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  ASSERT_EQ(5, send(server, "hello", 5, 0));
  PumpFor(50);
  client.Close();  // unread data: the system answers with a reset
  int result = 0;
  int error = 0;
  PumpUntil([&] {
    result = send(server, "again", 5, 0);
    error = WSAGetLastError();
    return result == SOCKET_ERROR;
  });
  EXPECT_EQ(SOCKET_ERROR, result);
  EXPECT_TRUE(error == WSAECONNRESET || error == WSAECONNABORTED) << error;
}

TEST_F(WinsockTest, ReadySocketsWithNoticesOutstandingLetTheLoopSleep) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  Client waiting(port);  // its FD_ACCEPT is posted, and it is never accepted
  ASSERT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 1; }));
  SOCKET server = accept(listener, nullptr, nullptr);
  ASSERT_NE(INVALID_SOCKET, Track(server));
  ASSERT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 2; }));
  ASSERT_TRUE(client.Send("unread"));  // FD_READ posted, never received
  ASSERT_TRUE(PumpUntil([&] { return Count(server, FD_READ) == 1; }));
  PumpFor(50);

  // Every socket stays ready; a loop that polled them would burn the wait.
  std::thread waker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    PostMessageA(window_, WM_TEST_WAKE, 0, 0);
  });
  const double before = CpuSeconds();
  MSG m;
  bool woken = false;
  while (!woken && GetMessageA(&m, nullptr, 0, 0) > 0) {
    woken = m.message == WM_TEST_WAKE;
    DispatchMessageA(&m);
  }
  const double used = CpuSeconds() - before;
  waker.join();
  EXPECT_LT(used, 0.1);
  EXPECT_EQ(1, Count(server, FD_READ));
  EXPECT_EQ(2, Count(listener, FD_ACCEPT));
}

TEST_F(WinsockTest, CancelledNotificationAndBlockingMode) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  u_long off = 0;
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(server, FIONBIO, &off));  // notified sockets stay non-blocking
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());
  ASSERT_EQ(0, WSAAsyncSelect(server, window_, 0, 0));
  PumpFor(50);
  events.clear();
  ASSERT_TRUE(client.Send("data"));
  PumpFor(100);
  EXPECT_TRUE(events.empty());
  u_long available = 0;
  EXPECT_EQ(0, ioctlsocket(server, FIONREAD, &available));
  EXPECT_EQ(4u, available);
  EXPECT_EQ(0, ioctlsocket(server, FIONBIO, &off));
  // A new registration reports what holds already.
  ASSERT_EQ(0, WSAAsyncSelect(server, window_, WM_TEST_SOCKET, FD_READ));
  EXPECT_TRUE(PumpUntil([&] { return Count(server, FD_READ) == 1; }));
  EXPECT_EQ(SOCKET_ERROR, WSAAsyncSelect(server, reinterpret_cast<HWND>(0x4321), WM_TEST_SOCKET, FD_READ));
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());
}

TEST_F(WinsockTest, LastCleanupClosesEverySocket) {
  int port;
  SOCKET listener = Listener(&port);
  Client client(port);
  SOCKET server = AcceptOne(listener);
  open_.clear();
  WSADATA data;
  ASSERT_EQ(0, WSAStartup(0x0101, &data));
  ASSERT_EQ(0, WSACleanup());  // not the last: sockets stay
  EXPECT_EQ(1, send(server, "x", 1, 0));
  ASSERT_EQ(0, WSACleanup());
  ASSERT_EQ(0, WSAStartup(0x0101, &data));  // for TearDown's clean-up
  EXPECT_EQ(SOCKET_ERROR, closesocket(server));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, closesocket(listener));
  EXPECT_EQ(SOCKET_ERROR, closesocket(client.handle()));
}

}  // namespace
