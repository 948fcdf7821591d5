// COutputQueue: the output a non-blocking socket has not taken yet. Bytes
// leave in the order they were written: while anything waits, new output
// goes behind it, and the queue is sent again when the socket reports that
// it can take more (FD_WRITE).
#ifndef KESTRELON_OUTPUT_QUEUE_H
#define KESTRELON_OUTPUT_QUEUE_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include <string>
#include <string_view>

class COutputQueue {
 public:
  COutputQueue();
  virtual ~COutputQueue();

  // Sends what the socket takes now and queues the rest. Returns 0, or the
  // Windows Sockets error that ended the send (the unsent rest is dropped).
  int Write(SOCKET s, const char* data, size_t length);
  // Sends queued output; the result as for Write.
  int Flush(SOCKET s);
  std::string_view Queued() const { return std::string_view(bytes_).substr(head_); }
  bool Empty() const { return head_ == bytes_.size(); }
  void Clear();

 private:
  // Sends from `data` until done, blocked or failed; returns the count sent
  // and sets *error (0 when done or blocked).
  static size_t SendSome(SOCKET s, const char* data, size_t length, int* error);
  void Consume(size_t count);

  std::string bytes_;
  size_t head_ = 0;  // bytes_[0, head_) have been sent
};

#endif
