// CHotmailRequest: an HTTP session of the HTTPMail client, carrying the
// step that reads its reply on the window thread.
#ifndef KESTRELON_HOTMAIL_REQUEST_H
#define KESTRELON_HOTMAIL_REQUEST_H

#include <stddef.h>

#include <functional>

#include "http/HTTPSession.h"

class CHotmailRequest : public CHTTPSession {
 public:
  CHotmailRequest() : startBytes(0) {}
  ~CHotmailRequest() override {}

  size_t startBytes;  // a GET of only the message's start asks for these bytes
  // Reads the finished exchange and completes the operation that sent it.
  std::function<void(CHotmailRequest&)> done;
};

#endif
