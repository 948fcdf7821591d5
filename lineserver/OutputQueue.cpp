#include "OutputQueue.h"

#include <limits.h>

#include <utility>

namespace {

// Sends from `data` until done, blocked or failed; returns the count sent
// and sets *error (0 when done or blocked).
size_t SendSome(SOCKET s, const char* data, size_t length, int* error) {
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

}  // namespace

COutputQueue::COutputQueue() {}

COutputQueue::~COutputQueue() {}

int COutputQueue::Write(SOCKET s, std::string&& text) {
  if (text.empty()) return 0;
  queued_ += text.size();
  texts_.push_back(std::move(text));
  return texts_.size() == 1 ? Flush(s) : 0;
}

int COutputQueue::Flush(SOCKET s) {
  while (!texts_.empty()) {
    const std::string& front = texts_.front();
    int error;
    const size_t sent = SendSome(s, front.data() + head_, front.size() - head_, &error);
    head_ += sent;
    queued_ -= sent;
    if (error != 0) {
      Clear();
      return error;
    }
    if (head_ < front.size()) return 0;  // blocked
    texts_.pop_front();  // a sent reply gives its memory back at once
    head_ = 0;
  }
  return 0;
}

void COutputQueue::Clear() {
  std::deque<std::string>().swap(texts_);
  head_ = 0;
  queued_ = 0;
}
