// COutputQueue: the output a non-blocking socket has not taken yet. Bytes
// leave in the order they were written: while anything waits, new output
// goes behind it, and the queue is sent again when the socket reports that
// it can take more (FD_WRITE). A text handed over by move is sent from where
// it lies: a large reply is never copied into the queue.
#ifndef KESTRELON_OUTPUT_QUEUE_H
#define KESTRELON_OUTPUT_QUEUE_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include <deque>
#include <string>

class COutputQueue {
 public:
  COutputQueue();
  virtual ~COutputQueue();

  // Sends what the socket takes now and queues the rest. Returns 0, or the
  // Windows Sockets error that ended the send (the unsent rest is dropped).
  int Write(SOCKET s, std::string&& text);
  int Write(SOCKET s, const char* data, size_t length) { return Write(s, std::string(data, length)); }
  // Sends queued output; the result as for Write.
  int Flush(SOCKET s);
  size_t Queued() const { return queued_; }
  bool Empty() const { return queued_ == 0; }
  void Clear();

 private:
  std::deque<std::string> texts_;
  size_t head_ = 0;    // bytes of texts_.front() already sent
  size_t queued_ = 0;  // bytes waiting, over all texts
};

#endif
