// CLineConnection: what one client of a line server owns: its socket, the
// bytes received and not yet taken as commands, the replies it has not read
// yet, and its idle timer.
#ifndef KESTRELON_LINE_CONNECTION_H
#define KESTRELON_LINE_CONNECTION_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include "lineserver/LineBuffer.h"
#include "lineserver/OutputQueue.h"

struct CLineConnection {
  CLineConnection(SOCKET s, unsigned id, size_t maxLine, UINT_PTR timer)
      : socket(s), serial(id), input(maxLine), idleTimer(timer) {}

  SOCKET socket;
  unsigned serial;  // never reused: tells a connection from a later one
  CLineBuffer input;
  COutputQueue output;
  UINT_PTR idleTimer;  // the id of its timer on the server's window
  bool broken = false;  // a send failed: the peer has gone, the connection ends
  bool closing = false;  // the server ends it once its last replies have gone
};

// A job that a command started and its connection waits for. It lives on
// after its connection has gone, until its completion arrives: POP3 and
// SMTP run one job at a time.
struct CLineJob {
  unsigned serial;  // of the connection that started it
};

#endif
