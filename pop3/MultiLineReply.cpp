#include "MultiLineReply.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace {

const char kTerminator[] = ".\r\n";

// Sixteen bytes as one value; the compiler uses vector registers where the
// target has them and plain bytes where it has not.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// The most blocks whose per-byte counts fit in one byte each.
constexpr size_t kBlocksPerSum = 255;

// The number of lines that start with a dot, sixteen bytes at a time: most
// texts have none, and then the copy is one block.
size_t CountDotLines(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  if (n == 0) return 0;
  Bytes16 lineFeeds, dots;
  memset(&lineFeeds, '\n', sizeof lineFeeds);
  memset(&dots, '.', sizeof dots);
  size_t count = p[0] == '.' ? 1 : 0;
  size_t i = 0;
  // Each block compares bytes [i, i + 16) with LF and [i + 1, i + 17) with
  // a dot, so it needs one byte past its end.
  while (i + sizeof(Bytes16) + 1 <= n) {
    const size_t blocks = std::min((n - 1 - i) / sizeof(Bytes16), kBlocksPerSum);
    Bytes16 sums = {};
    for (size_t b = 0; b < blocks; ++b, i += sizeof(Bytes16)) {
      Bytes16 here, next;
      memcpy(&here, p + i, sizeof here);
      memcpy(&next, p + i + 1, sizeof next);
      // A true comparison is all ones, so subtracting it adds one.
      sums -= (Bytes16)((here == lineFeeds) & (next == dots));
    }
    for (size_t k = 0; k < sizeof(Bytes16); ++k) count += sums[k];
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
