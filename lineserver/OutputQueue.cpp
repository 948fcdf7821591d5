#include "OutputQueue.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <utility>

namespace {

// How far ahead of the send the dots are looked for: what was read for the
// search is still in the cache when the send copies it.
constexpr size_t kStuffingWindow = 256 * 1024;

// Sixteen bytes as one value; the compiler uses vector registers where the
// target has them and plain bytes where it has not.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// The first position in [from, limit) of a dot that starts a line (the
// text's first byte, or one after an LF), or `limit`. Most texts have
// none, so the search goes sixteen bytes at a time.
size_t FindDotLine(std::string_view text, size_t from, size_t limit) {
  const char* p = text.data();
  if (from == 0 && limit > 0 && p[0] == '.') return 0;
  // q is an LF candidate; the dot would be at q + 1.
  size_t q = from == 0 ? 0 : from - 1;
  Bytes16 lineFeeds, dots;
  memset(&lineFeeds, '\n', sizeof lineFeeds);
  memset(&dots, '.', sizeof dots);
  while (q + sizeof(Bytes16) + 1 <= limit) {
    Bytes16 here, next;
    memcpy(&here, p + q, sizeof here);
    memcpy(&next, p + q + 1, sizeof next);
    const Bytes16 hits = (Bytes16)((here == lineFeeds) & (next == dots));
    uint64_t low, high;
    memcpy(&low, &hits, sizeof low);
    memcpy(&high, reinterpret_cast<const char*>(&hits) + sizeof low, sizeof high);
    if ((low | high) != 0) break;  // the byte loop below finds which
    q += sizeof(Bytes16);
  }
  for (; q + 1 < limit; ++q)
    if (p[q] == '\n' && p[q + 1] == '.') return q + 1;
  return limit;
}

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

std::string DotStuffed(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

COutputQueue::COutputQueue() {}

COutputQueue::~COutputQueue() {}

int COutputQueue::Queue(SOCKET s, COutputPiece&& piece, bool stuffed) {
  const size_t size = piece.Bytes().size();
  if (size == 0) return 0;
  queued_ += size;
  texts_.push_back({std::move(piece), stuffed});
  return texts_.size() == 1 ? Flush(s) : 0;
}

void COutputQueue::NextPart(std::string_view text) {
  const size_t limit = std::min(text.size(), scanFrom_ + kStuffingWindow);
  const size_t dot = FindDotLine(text, scanFrom_, limit);
  partEndsAtDot_ = dot < limit;
  partEnd_ = partEndsAtDot_ ? dot + 1 : limit;
  scanFrom_ = partEnd_;
}

int COutputQueue::Flush(SOCKET s) {
  while (!texts_.empty()) {
    const Text& front = texts_.front();
    const std::string_view bytes = front.piece.Bytes();
    const size_t size = bytes.size();
    while (head_ < size) {
      if (!front.stuffed)
        partEnd_ = size;
      else if (head_ == partEnd_)
        NextPart(bytes);
      int error;
      const size_t sent = SendSome(s, bytes.data() + head_, partEnd_ - head_, &error);
      head_ += sent;
      queued_ -= sent;
      if (error != 0) {
        Clear();
        return error;
      }
      if (head_ < partEnd_) return 0;  // blocked
      if (partEndsAtDot_) {
        // The dot just sent goes out once more, at the start of the next part.
        partEndsAtDot_ = false;
        head_ = partEnd_ = partEnd_ - 1;
        ++queued_;
      }
    }
    texts_.pop_front();  // a sent reply gives its memory back at once
    head_ = partEnd_ = scanFrom_ = 0;
  }
  return 0;
}

void COutputQueue::Clear() {
  std::deque<Text>().swap(texts_);
  head_ = partEnd_ = scanFrom_ = 0;
  partEndsAtDot_ = false;
  queued_ = 0;
}
