// CHotmailRequest: an HTTP session of the HTTPMail client, carrying what its
// reply needs to find its way back: the job record it counts against, the
// job it was started for, and for a download the message it fetches.
#ifndef KESTRELON_HOTMAIL_REQUEST_H
#define KESTRELON_HOTMAIL_REQUEST_H

#include <stddef.h>

#include <string>

#include "http/HTTPSession.h"

class CHotmailRequest : public CHTTPSession {
 public:
  CHotmailRequest() : job(0), serial(0), number(0), startBytes(0) {}
  ~CHotmailRequest() override {}

  int job;             // job record handle (one per front end)
  unsigned serial;     // which job of that record started it
  int number;          // message number of a GET, else 0
  std::string mailId;  // id of that message, checked when the body arrives
  size_t startBytes;   // a GET of only the message's start asks for these bytes
};

#endif
