#include "OutputQueue.h"

#include <limits.h>

namespace {
// Sent bytes are cut off the front only once they are many, and at least
// half of the store, so that each byte is moved a bounded number of times.
constexpr size_t kCompactAt = 64 * 1024;
}

COutputQueue::COutputQueue() {}

COutputQueue::~COutputQueue() {}

size_t COutputQueue::SendSome(SOCKET s, const char* data, size_t length, int* error) {
  *error = 0;
  size_t sent = 0;
  while (sent < length) {
    const size_t chunk = length - sent < INT_MAX ? length - sent : INT_MAX;
    int n = send(s, data + sent, static_cast<int>(chunk), 0);
    if (n == SOCKET_ERROR) {
      int code = WSAGetLastError();
      if (code != WSAEWOULDBLOCK) *error = code;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  return sent;
}

int COutputQueue::Write(SOCKET s, const char* data, size_t length) {
  if (!Empty()) {
    bytes_.append(data, length);
    return 0;
  }
  int error;
  size_t sent = SendSome(s, data, length, &error);
  if (error == 0 && sent < length) bytes_.append(data + sent, length - sent);
  return error;
}

int COutputQueue::Flush(SOCKET s) {
  int error;
  Consume(SendSome(s, bytes_.data() + head_, bytes_.size() - head_, &error));
  if (error != 0) Clear();
  return error;
}

void COutputQueue::Consume(size_t count) {
  head_ += count;
  if (head_ == bytes_.size()) {
    Clear();
  } else if (head_ >= kCompactAt && head_ * 2 >= bytes_.size()) {
    bytes_.erase(0, head_);
    head_ = 0;
  }
}

void COutputQueue::Clear() {
  // A large message leaves a large store behind; give it back.
  if (bytes_.capacity() > kCompactAt)
    std::string().swap(bytes_);
  else
    bytes_.clear();
  head_ = 0;
}
