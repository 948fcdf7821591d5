#include "MultiLineReply.h"

#include <string.h>

namespace {

const char kTerminator[] = ".\r\n";

// Calls `line` with the offset of every line start (after the first) whose
// first byte is a dot; found with memchr, so the text is scanned at memory
// speed rather than byte by byte.
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
  size_t dots = 0;
  ForEachDotLine(text, [&](size_t) { ++dots; });
  const bool closeLine = !EndsWithCrLf(text);
  std::string reply;
  reply.reserve(status.size() + text.size() + dots + (closeLine ? 2 : 0) + sizeof kTerminator - 1);
  reply.append(status);
  size_t from = 0;
  ForEachDotLine(text, [&](size_t at) {
    reply.append(text.substr(from, at - from));
    reply.push_back('.');
    from = at;
  });
  reply.append(text.substr(from));
  if (closeLine) reply.append("\r\n");
  reply.append(kTerminator);
  return reply;
}
