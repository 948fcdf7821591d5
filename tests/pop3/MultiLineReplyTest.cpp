// Multi-line replies: dot-stuffing checked against its plain definition at
// every alignment of the line starts.
#include <gtest/gtest.h>

#include <string>

#include "pop3/MultiLineReply.h"

namespace {

// The definition, one byte at a time.
std::string Expected(const std::string& status, const std::string& text) {
  std::string out = status;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) out += "\r\n";
  return out + ".\r\n";
}

TEST(MultiLineReply, StuffsEveryLineThatStartsWithADot) {
  const std::string rows[] = {"", ".", "..", "\r\n", ".\r\n", "a\r\n.\r\nb", "a\n.b\n..c", "no line end",
                              "x\r\n.", ".\n.\n.\n", "\n\n.\r\n.\r\n"};
  for (const std::string& text : rows) {
    EXPECT_EQ(Expected("+OK\r\n", text), MultiLineReply("+OK\r\n", std::string(text))) << text;
  }
  // Dots at every offset around the eight-byte steps of the scan.
  for (size_t pad = 0; pad < 20; ++pad) {
    for (const char* tail : {"\n.", "\n.x", "\r\n.\r\n", "\n..\n."}) {
      const std::string text = std::string(pad, 'a') + tail + std::string(pad % 9, 'b');
      std::string roomy = text;
      roomy.reserve(text.size() + 64);  // built in place, without a new buffer
      EXPECT_EQ(Expected("+OK\r\n", text), MultiLineReply("+OK\r\n", std::move(roomy))) << pad << " " << tail;
    }
  }
}

}  // namespace
