#include "MultiLineReply.h"

#include <stdint.h>
#include <string.h>

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
    count += static_cast<size_t>(__builtin_popcountll(ZeroBytes(here ^ lineFeeds) & ZeroBytes(next ^ dots)));
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

std::string MultiLineReply(std::string_view status, std::string_view text) {
  const size_t dots = CountDotLines(text);
  const bool closeLine = !EndsWithCrLf(text);
  std::string reply;
  reply.reserve(status.size() + text.size() + dots + (closeLine ? 2 : 0) + sizeof kTerminator - 1);
  reply.append(status);
  size_t from = 0;
  if (dots > 0) {
    ForEachDotLine(text, [&](size_t at) {
      reply.append(text.substr(from, at - from));
      reply.push_back('.');
      from = at;
    });
  }
  reply.append(text.substr(from));
  if (closeLine) reply.append("\r\n");
  reply.append(kTerminator);
  return reply;
}
