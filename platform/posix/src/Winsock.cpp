// Windows Sockets 1.1 functions: start-up, argument checks and Winsock's own
// numbers (options, ioctl commands, versions), over the socket table of
// WinsockCore.cpp. This file sees Winsock's declarations only.
#include <winsock.h>

#include <stdio.h>
#include <string.h>

#include <mutex>

#include "WinsockCore.h"

namespace core = kwin32::winsock;

namespace {

std::mutex startupLock;
int startupCount = 0;  // WSAStartup calls not yet matched by WSACleanup

bool Started() {
  std::lock_guard<std::mutex> guard(startupLock);
  if (startupCount > 0) return true;
  WSASetLastError(WSANOTINITIALISED);
  return false;
}

int Fail(int code) {
  WSASetLastError(code);
  return SOCKET_ERROR;
}

SOCKET HandleOrInvalid(core::Handle h) { return h == 0 ? INVALID_SOCKET : static_cast<SOCKET>(h); }

struct OptionName {
  int level;
  int name;
  core::Option option;
};

const OptionName kOptions[] = {
    {SOL_SOCKET, SO_REUSEADDR, core::Option::ReuseAddress},
    {SOL_SOCKET, SO_KEEPALIVE, core::Option::KeepAlive},
    {SOL_SOCKET, SO_BROADCAST, core::Option::Broadcast},
    {SOL_SOCKET, SO_DONTROUTE, core::Option::DontRoute},
    {SOL_SOCKET, SO_OOBINLINE, core::Option::OobInline},
    {SOL_SOCKET, SO_SNDBUF, core::Option::SendBuffer},
    {SOL_SOCKET, SO_RCVBUF, core::Option::ReceiveBuffer},
    {SOL_SOCKET, SO_ERROR, core::Option::Error},
    {SOL_SOCKET, SO_TYPE, core::Option::Type},
    {SOL_SOCKET, SO_ACCEPTCONN, core::Option::AcceptConnections},
    {IPPROTO_TCP, TCP_NODELAY, core::Option::NoDelay},
};

const OptionName* FindOption(int level, int name) {
  for (const OptionName& o : kOptions)
    if (o.level == level && o.name == name) return &o;
  return nullptr;
}

// The version WSAStartup grants: the one asked for, capped at 1.1 within
// major version 1 and at 2.2 overall.
WORD GrantedVersion(WORD requested) {
  const int major = requested & 0xFF, minor = requested >> 8;
  if (major > 2 || (major == 2 && minor > 2)) return 0x0202;
  if (major == 1 && minor > 1) return 0x0101;
  return requested;
}

}  // namespace

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  if ((wVersionRequested & 0xFF) == 0) return WSAVERNOTSUPPORTED;
  if (lpWSAData == nullptr) return WSAEFAULT;
  memset(lpWSAData, 0, sizeof *lpWSAData);
  lpWSAData->wVersion = GrantedVersion(wVersionRequested);
  lpWSAData->wHighVersion = 0x0202;
  lpWSAData->iMaxSockets = 32767;
  lpWSAData->iMaxUdpDg = 65467;
  snprintf(lpWSAData->szDescription, sizeof lpWSAData->szDescription, "WinSock 2.0");
  snprintf(lpWSAData->szSystemStatus, sizeof lpWSAData->szSystemStatus, "Running");
  std::lock_guard<std::mutex> guard(startupLock);
  ++startupCount;
  return 0;
}

int WSAAPI WSACleanup(void) {
  {
    std::lock_guard<std::mutex> guard(startupLock);
    if (startupCount == 0) return Fail(WSANOTINITIALISED);
    if (--startupCount > 0) return 0;
  }
  // The last cleanup resets every socket still open, as closesocket would.
  core::CloseEverything();
  return 0;
}

void WSAAPI WSASetLastError(int iError) { SetLastError(static_cast<DWORD>(iError)); }

int WSAAPI WSAGetLastError(void) { return static_cast<int>(GetLastError()); }

SOCKET WSAAPI socket(int af, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET;
  return HandleOrInvalid(core::Create(af, type, protocol));
}

int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen) {
  if (!Started()) return SOCKET_ERROR;
  return core::Bind(s, name, namelen);
}

int WSAAPI listen(SOCKET s, int backlog) {
  if (!Started()) return SOCKET_ERROR;
  return core::Listen(s, backlog);
}

SOCKET WSAAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
  if (!Started()) return INVALID_SOCKET;
  return HandleOrInvalid(core::Accept(s, addr, addrlen));
}

int WSAAPI connect(SOCKET s, const struct sockaddr* name, int namelen) {
  if (!Started()) return SOCKET_ERROR;
  return core::Connect(s, name, namelen);
}

int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
  if (!Started()) return SOCKET_ERROR;
  return core::LocalName(s, name, namelen);
}

int WSAAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
  if (!Started()) return SOCKET_ERROR;
  return core::PeerName(s, name, namelen);
}

int WSAAPI recv(SOCKET s, char* buf, int len, int flags) {
  if (!Started()) return SOCKET_ERROR;
  return core::Receive(s, buf, len, flags);
}

int WSAAPI send(SOCKET s, const char* buf, int len, int flags) {
  if (!Started()) return SOCKET_ERROR;
  return core::Transmit(s, buf, len, flags);
}

int WSAAPI shutdown(SOCKET s, int how) {
  if (!Started()) return SOCKET_ERROR;
  return core::Shutdown(s, how);
}

int WSAAPI closesocket(SOCKET s) {
  if (!Started()) return SOCKET_ERROR;
  return core::Close(s);
}

int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Started()) return SOCKET_ERROR;
  const OptionName* option = FindOption(level, optname);
  if (option == nullptr) return Fail(WSAENOPROTOOPT);
  if (optval == nullptr || optlen < 1) return Fail(WSAEFAULT);
  // Boolean options may come as a single byte.
  int value = 0;
  if (optlen >= static_cast<int>(sizeof value))
    memcpy(&value, optval, sizeof value);
  else
    value = static_cast<unsigned char>(optval[0]);
  return core::SetOption(s, option->option, value);
}

int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  if (!Started()) return SOCKET_ERROR;
  const OptionName* option = FindOption(level, optname);
  if (option == nullptr) return Fail(WSAENOPROTOOPT);
  int value = 0;
  if (optval == nullptr || optlen == nullptr || *optlen < static_cast<int>(sizeof value)) return Fail(WSAEFAULT);
  if (core::GetOption(s, option->option, &value) != 0) return SOCKET_ERROR;
  memcpy(optval, &value, sizeof value);
  *optlen = sizeof value;
  return 0;
}

int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!Started()) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == static_cast<long>(FIONBIO)) return core::SetNonBlocking(s, *argp != 0);
  if (cmd == static_cast<long>(FIONREAD)) {
    unsigned count = 0;
    if (core::BytesReadable(s, &count) != 0) return SOCKET_ERROR;
    *argp = count;
    return 0;
  }
  return Fail(WSAEINVAL);
}

int WSAAPI WSAAsyncSelect(SOCKET s, HWND hWnd, u_int wMsg, long lEvent) {
  if (!Started()) return SOCKET_ERROR;
  return core::AsyncSelect(s, hWnd, wMsg, lEvent);
}

u_long WSAAPI inet_addr(const char* cp) {
  uint32_t address;
  return core::ParseAddress(cp, &address) ? address : INADDR_NONE;
}

char* WSAAPI inet_ntoa(struct in_addr in) {
  // Like Winsock's, the text lives in a per-thread buffer until the next call.
  static thread_local char text[16];
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

// Network order is big-endian; x86 and the other hosts of this layer are
// little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte order");
u_long WSAAPI htonl(u_long hostlong) { return __builtin_bswap32(hostlong); }
u_short WSAAPI htons(u_short hostshort) { return __builtin_bswap16(hostshort); }
u_long WSAAPI ntohl(u_long netlong) { return __builtin_bswap32(netlong); }
u_short WSAAPI ntohs(u_short netshort) { return __builtin_bswap16(netshort); }
