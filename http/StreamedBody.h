// CStreamedBody: a response body read through WinInet piece by piece as a
// consumer asks for it, never held whole. Logged as it passes; a body over
// the session's cap is refused as soon as that is known.
#ifndef KESTRELON_STREAMED_BODY_H
#define KESTRELON_STREAMED_BODY_H

#include <windows.h>
#include <wininet.h>

#include <stddef.h>

#include "http/BodyConsumer.h"

class CStreamedBody : public CBodySource {
 public:
  // `cap`: the most bytes taken; 0 for no limit.
  CStreamedBody(HINTERNET request, size_t cap);
  CStreamedBody(const CStreamedBody&) = delete;
  CStreamedBody& operator=(const CStreamedBody&) = delete;

  // Hands the body to `consumer`, then reads and drops what it left
  // unread. True when the whole body was read; a failure has been reported.
  bool DeliverTo(CBodyConsumer& consumer, const CHTTPSession& session);

  int Read(char* buffer, int size) noexcept override;

 private:
  int ReadPiece(char* buffer, int size);

  HINTERNET request_;
  size_t cap_;
  size_t taken_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  bool lineOpen_ = false;  // the log's last piece did not end its line
};

#endif
