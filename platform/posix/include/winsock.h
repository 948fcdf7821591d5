// Windows Sockets 1.1 for Linux: the types, constants and functions of the
// SDK's winsock.h that Kestrelon uses, with the SDK's names, signatures and
// struct layouts (those of 64-bit Windows where they differ by width).
// Implemented in libkwin32 (platform/posix/src/Winsock*.cpp).
//
// Several of these functions share their names with the C library's BSD
// socket functions (socket, bind, send, ...). Their object symbols are
// therefore renamed with an assembler label, so code written against this
// header keeps the Win32 spelling and still never reaches the C library's
// function of the same name. A translation unit includes either this header
// or the system's socket headers, never both.
#ifndef KWIN32_WINSOCK_H
#define KWIN32_WINSOCK_H

#include <windows.h>

#define WSAAPI WINAPI
#define WINSOCK_API_LINKAGE WINBASEAPI
// The object symbol of a Winsock function whose name the C library uses.
#define KWIN32_WINSOCK_SYMBOL(name) __asm__("kwin32_" #name)

// Winsock's u_long is 32 bits wide, as on Windows. The C library's
// <sys/types.h> defines a 64-bit u_long; it is read first, so that from here
// on the name means Winsock's type.
#include <sys/types.h>
#undef u_long
#define u_long __ms_u_long
typedef unsigned int __ms_u_long;
typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (SOCKET)(~0)
#define SOCKET_ERROR (-1)

typedef struct in_addr {
  union {
    struct {
      u_char s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      u_short s_w1, s_w2;
    } S_un_w;
    u_long S_addr;
  } S_un;
} IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
#define s_addr S_un.S_addr

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  struct in_addr sin_addr;
  char sin_zero[8];
};

typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* PSOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in* PSOCKADDR_IN;
typedef struct sockaddr_in* LPSOCKADDR_IN;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

#define IOCPARM_MASK 0x7f
#define IOC_VOID 0x20000000
#define IOC_OUT 0x40000000
#define IOC_IN 0x80000000
#define _IOR(x, y, t) (IOC_OUT | (((LONG)sizeof(t) & IOCPARM_MASK) << 16) | ((x) << 8) | (y))
#define _IOW(x, y, t) (IOC_IN | (((LONG)sizeof(t) & IOCPARM_MASK) << 16) | ((x) << 8) | (y))
#define FIONREAD _IOR('f', 127, u_long)
#define FIONBIO _IOW('f', 126, u_long)

#define IPPROTO_IP 0
#define IPPROTO_ICMP 1
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define INADDR_ANY (u_long)0x00000000
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_BROADCAST (u_long)0xffffffff
#define INADDR_NONE 0xffffffff

#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3

#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDLOWAT 0x1003
#define SO_RCVLOWAT 0x1004
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001

#define AF_UNSPEC 0
#define AF_UNIX 1
#define AF_INET 2
#define PF_UNSPEC AF_UNSPEC
#define PF_INET AF_INET

#define SOL_SOCKET 0xffff
#define SOMAXCONN 5

#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_DONTROUTE 0x4

#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

#define WSABASEERR 10000
#define WSAEINTR (WSABASEERR + 4)
#define WSAEBADF (WSABASEERR + 9)
#define WSAEACCES (WSABASEERR + 13)
#define WSAEFAULT (WSABASEERR + 14)
#define WSAEINVAL (WSABASEERR + 22)
#define WSAEMFILE (WSABASEERR + 24)
#define WSAEWOULDBLOCK (WSABASEERR + 35)
#define WSAEINPROGRESS (WSABASEERR + 36)
#define WSAEALREADY (WSABASEERR + 37)
#define WSAENOTSOCK (WSABASEERR + 38)
#define WSAEDESTADDRREQ (WSABASEERR + 39)
#define WSAEMSGSIZE (WSABASEERR + 40)
#define WSAEPROTOTYPE (WSABASEERR + 41)
#define WSAENOPROTOOPT (WSABASEERR + 42)
#define WSAEPROTONOSUPPORT (WSABASEERR + 43)
#define WSAESOCKTNOSUPPORT (WSABASEERR + 44)
#define WSAEOPNOTSUPP (WSABASEERR + 45)
#define WSAEPFNOSUPPORT (WSABASEERR + 46)
#define WSAEAFNOSUPPORT (WSABASEERR + 47)
#define WSAEADDRINUSE (WSABASEERR + 48)
#define WSAEADDRNOTAVAIL (WSABASEERR + 49)
#define WSAENETDOWN (WSABASEERR + 50)
#define WSAENETUNREACH (WSABASEERR + 51)
#define WSAENETRESET (WSABASEERR + 52)
#define WSAECONNABORTED (WSABASEERR + 53)
#define WSAECONNRESET (WSABASEERR + 54)
#define WSAENOBUFS (WSABASEERR + 55)
#define WSAEISCONN (WSABASEERR + 56)
#define WSAENOTCONN (WSABASEERR + 57)
#define WSAESHUTDOWN (WSABASEERR + 58)
#define WSAETOOMANYREFS (WSABASEERR + 59)
#define WSAETIMEDOUT (WSABASEERR + 60)
#define WSAECONNREFUSED (WSABASEERR + 61)
#define WSAELOOP (WSABASEERR + 62)
#define WSAENAMETOOLONG (WSABASEERR + 63)
#define WSAEHOSTDOWN (WSABASEERR + 64)
#define WSAEHOSTUNREACH (WSABASEERR + 65)
#define WSASYSNOTREADY (WSABASEERR + 91)
#define WSAVERNOTSUPPORTED (WSABASEERR + 92)
#define WSANOTINITIALISED (WSABASEERR + 93)
#define WSAEDISCON (WSABASEERR + 101)
#define WSASYSCALLFAILURE (WSABASEERR + 107)

#define WSAMAKESELECTREPLY(event, error) MAKELONG(event, error)
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)

WINSOCK_API_LINKAGE SOCKET WSAAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen) KWIN32_WINSOCK_SYMBOL(accept);
WINSOCK_API_LINKAGE int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen) KWIN32_WINSOCK_SYMBOL(bind);
WINSOCK_API_LINKAGE int WSAAPI closesocket(SOCKET s);
WINSOCK_API_LINKAGE int WSAAPI connect(SOCKET s, const struct sockaddr* name, int namelen)
    KWIN32_WINSOCK_SYMBOL(connect);
WINSOCK_API_LINKAGE int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp);
WINSOCK_API_LINKAGE int WSAAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen)
    KWIN32_WINSOCK_SYMBOL(getpeername);
WINSOCK_API_LINKAGE int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen)
    KWIN32_WINSOCK_SYMBOL(getsockname);
WINSOCK_API_LINKAGE int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
    KWIN32_WINSOCK_SYMBOL(getsockopt);
WINSOCK_API_LINKAGE u_long WSAAPI htonl(u_long hostlong) KWIN32_WINSOCK_SYMBOL(htonl);
WINSOCK_API_LINKAGE u_short WSAAPI htons(u_short hostshort) KWIN32_WINSOCK_SYMBOL(htons);
WINSOCK_API_LINKAGE u_long WSAAPI inet_addr(const char* cp) KWIN32_WINSOCK_SYMBOL(inet_addr);
WINSOCK_API_LINKAGE char* WSAAPI inet_ntoa(struct in_addr in) KWIN32_WINSOCK_SYMBOL(inet_ntoa);
WINSOCK_API_LINKAGE int WSAAPI listen(SOCKET s, int backlog) KWIN32_WINSOCK_SYMBOL(listen);
WINSOCK_API_LINKAGE u_long WSAAPI ntohl(u_long netlong) KWIN32_WINSOCK_SYMBOL(ntohl);
WINSOCK_API_LINKAGE u_short WSAAPI ntohs(u_short netshort) KWIN32_WINSOCK_SYMBOL(ntohs);
WINSOCK_API_LINKAGE int WSAAPI recv(SOCKET s, char* buf, int len, int flags) KWIN32_WINSOCK_SYMBOL(recv);
WINSOCK_API_LINKAGE int WSAAPI send(SOCKET s, const char* buf, int len, int flags) KWIN32_WINSOCK_SYMBOL(send);
WINSOCK_API_LINKAGE int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
    KWIN32_WINSOCK_SYMBOL(setsockopt);
WINSOCK_API_LINKAGE int WSAAPI shutdown(SOCKET s, int how) KWIN32_WINSOCK_SYMBOL(shutdown);
WINSOCK_API_LINKAGE SOCKET WSAAPI socket(int af, int type, int protocol) KWIN32_WINSOCK_SYMBOL(socket);
WINSOCK_API_LINKAGE int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
WINSOCK_API_LINKAGE int WSAAPI WSACleanup(void);
WINSOCK_API_LINKAGE void WSAAPI WSASetLastError(int iError);
WINSOCK_API_LINKAGE int WSAAPI WSAGetLastError(void);
WINSOCK_API_LINKAGE int WSAAPI WSAAsyncSelect(SOCKET s, HWND hWnd, u_int wMsg, long lEvent);

#endif
