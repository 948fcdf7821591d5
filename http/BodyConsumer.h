// CBodyConsumer: takes a response body as it arrives, on the session's
// worker thread, so that a long body is never held whole. The session
// pulls nothing itself: the consumer reads from a CBodySource as fast as
// it can use the bytes.
#ifndef KESTRELON_BODY_CONSUMER_H
#define KESTRELON_BODY_CONSUMER_H

class CHTTPSession;

// The body of one response, piece by piece.
class CBodySource {
 public:
  // Up to `size` bytes of the body into `buffer`: the count read, 0 at the
  // end of the body, -1 when it could not be read. A failure has been
  // reported already, and the session will end not completed.
  virtual int Read(char* buffer, int size) noexcept = 0;

 protected:
  ~CBodySource() = default;
};

class CBodyConsumer {
 public:
  virtual ~CBodyConsumer() = default;
  // Called once, on the worker thread, for a response that has a body;
  // `session` gives its status and the URL it answered, and is not to be
  // changed. The consumer may stop before the end: the session reads the
  // rest and drops it.
  virtual void Consume(CBodySource& body, const CHTTPSession& session) = 0;
};

#endif
