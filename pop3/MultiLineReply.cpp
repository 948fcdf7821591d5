#include "MultiLineReply.h"

#include <stdint.h>
#include <string.h>

#include <utility>

namespace {

const char kTerminator[] = ".\r\n";

// 0x80 in each byte of `x` that is zero, nothing elsewhere.
inline uint64_t ZeroBytes(uint64_t x) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
  return ~(((x & low7) + low7) | x | low7);
}

// The number of lines that start with a dot, eight bytes at a time: most
// texts have none, and then the copy is one block.
size_t CountDotLines(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  if (n == 0) return 0;
  const uint64_t lineFeeds = 0x0A0A0A0A0A0A0A0AULL;
  const uint64_t dots = 0x2E2E2E2E2E2E2E2EULL;
  size_t count = p[0] == '.' ? 1 : 0;
  size_t i = 0;
  for (; i + 9 <= n; i += 8) {
    uint64_t here, next;
    memcpy(&here, p + i, 8);
    memcpy(&next, p + i + 1, 8);
    // One bit (0x80) per dot line start; the multiply adds the bytes up in
    // the top byte, where a popcount would be a library call without
    // the instruction.
    const uint64_t starts = (ZeroBytes(here ^ lineFeeds) & ZeroBytes(next ^ dots)) >> 7;
    count += static_cast<size_t>((starts * 0x0101010101010101ULL) >> 56);
  }
  for (; i + 1 < n; ++i) count += (p[i] == '\n' && p[i + 1] == '.') ? 1 : 0;
  return count;
}

// Calls `onDot` with the offset of every line start whose first byte is a
// dot,.
template <typename OnDot>
void ForEachDotLine(std::string_view text, OnDot onDot) {
  if (!text.empty() && text[0] == '.') onDot(size_t{0});
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* p = begin; p < end;) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr || lf + 1 >= end) break;
    if (lf[1] == '.') onDot(static_cast<size_t>(lf + 1 - begin));
    p = lf + 1;
  }
}

bool EndsWithCrLf(std::string_view text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

}  // namespace

// Built inside the text's own buffer: the text grows to its final size
// (within its capacity when the reader left room) and moves back to front,
// each dot line getting its extra dot on the way.
std::string MultiLineReply(std::string_view status, std::string&& text) {
  const size_t n = text.size();
  const size_t dots = CountDotLines(text);
  const bool closeLine = !EndsWithCrLf(text);
  const size_t tail = (closeLine ? 2 : 0) + sizeof kTerminator - 1;
  std::string reply = std::move(text);
  reply.resize(status.size() + n + dots + tail);
  char* d = &reply[0];
  size_t write = reply.size() - tail;
  memcpy(d + write, closeLine ? "\r\n.\r\n" : kTerminator, tail);
  // [0, end) of the text is still to move, with `left` dot lines in it;
  // always write == status size + end + left.
  size_t end = n;
  for (size_t left = dots; left > 0; --left) {
    size_t start = end;  // the last dot line below `end`
    do {
      --start;
    } while (!(d[start] == '.' && (start == 0 || d[start - 1] == '\n')));
    const size_t length = end - start;
    write -= length;
    memmove(d + write, d + start, length);
    d[--write] = '.';
    end = start;
  }
  memmove(d + status.size(), d, end);
  memcpy(d, status.data(), status.size());
  return reply;
}
