// The socket table and the system calls behind Windows Sockets. This header
// uses neither Winsock's nor the system's socket declarations, so that
// Winsock.cpp (Winsock's side) and WinsockCore.cpp (the system's side) each
// include only their own.
//
// Every operation that fails returns -1 (0 for a handle) and leaves the
// Windows Sockets error number as the thread's last error.
#ifndef KWIN32_WINSOCK_CORE_H
#define KWIN32_WINSOCK_CORE_H

#include <windows.h>

#include <stdint.h>

namespace kwin32 {
namespace winsock {

// A socket handle as the application sees it; never 0, never reused.
using Handle = uintptr_t;

// The socket options the layer knows, by meaning rather than by number.
enum class Option { ReuseAddress, KeepAlive, Broadcast, DontRoute, OobInline, SendBuffer, ReceiveBuffer, Error,
                    Type, AcceptConnections, NoDelay };

// `address` points at a 16-byte IPv4 socket address: Winsock's sockaddr_in
// and the system's have the same layout.
Handle Create(int family, int type, int protocol);
int Bind(Handle h, const void* address, int length);
int Listen(Handle h, int backlog);
Handle Accept(Handle h, void* address, int* length);
int Connect(Handle h, const void* address, int length);
int LocalName(Handle h, void* address, int* length);
int PeerName(Handle h, void* address, int* length);
// `flags` holds MSG_OOB, MSG_PEEK, MSG_DONTROUTE, which have the same
// values in Winsock and on Linux.
int Receive(Handle h, void* buffer, int length, int flags);
int Transmit(Handle h, const void* buffer, int length, int flags);
int Shutdown(Handle h, int how);
int Close(Handle h);
int SetOption(Handle h, Option option, int value);
int GetOption(Handle h, Option option, int* value);
int SetNonBlocking(Handle h, bool on);
int BytesReadable(Handle h, unsigned* count);
// Window-message notification: `events` is a mask of Winsock's FD_ bits.
int AsyncSelect(Handle h, HWND window, UINT message, long events);
// Closes every socket (the last WSACleanup).
void CloseEverything();
// Dotted IPv4 text in any of the forms inet_addr accepts; network order.
bool ParseAddress(const char* text, uint32_t* address);

}  // namespace winsock
}  // namespace kwin32

#endif
