// Line assembly: CR LF ends a line, nothing else does, and the length limit
// holds whether or not the line end has arrived.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "lineserver/LineBuffer.h"

namespace {

void Feed(CLineBuffer& buffer, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    size_t room;
    char* space = buffer.Space(&room);
    ASSERT_GE(room, 1u);
    size_t n = std::min(room, bytes.size() - done);
    memcpy(space, bytes.data() + done, n);
    buffer.Commit(n);
    done += n;
  }
}

std::vector<std::string> Lines(CLineBuffer& buffer) {
  std::vector<std::string> lines;
  std::string line;
  while (buffer.NextLine(line) == CLineBuffer::Next::Line) lines.push_back(line);
  return lines;
}

// Each input fed whole and byte by byte, taking lines after every piece as
// the server does: the same lines, then the same end.
TEST(LineBufferTest, CutsAtCrLfOnlyAndHoldsTheLimit) {
  using Next = CLineBuffer::Next;
  struct Case {
    size_t limit;
    std::string input;
    std::vector<std::string> lines;
    Next end;
    size_t pending;  // bytes still waiting for their line end
  };
  const Case cases[] = {
      {100, "USER a\r\n\r\nNOOP\nX\r\nPART", {"USER a", "", "NOOP\nX"}, Next::None, 4},
      {100, "PARTIAL\r\n", {"PARTIAL"}, Next::None, 0},
      {100, "\n\r\n", {"\n"}, Next::None, 0},  // a lone LF, then CR LF: one line that holds the LF
      {10, "0123456789\r\n", {"0123456789"}, Next::None, 0},
      {10, "0123456789\r", {}, Next::None, 11},  // the limit and its CR may wait for the LF
      {10, "0123456789\rx", {}, Next::TooLong, 0},
      {10, "0123456789A\r\n", {}, Next::TooLong, 0},
      {8, "USER a\r\nNOOP\r\n" + std::string(50, 'z'), {"USER a", "NOOP"}, Next::TooLong, 0},  // lines before it stay
  };
  for (bool byteByByte : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(k.input + (byteByByte ? " (byte by byte)" : ""));
      CLineBuffer buffer(k.limit);
      std::vector<std::string> lines;
      Next end = Next::None;
      const size_t piece = byteByByte ? 1 : k.input.size();
      for (size_t at = 0; at < k.input.size() && end != Next::TooLong; at += piece) {
        Feed(buffer, k.input.substr(at, piece));
        std::string line;
        while ((end = buffer.NextLine(line)) == Next::Line) lines.push_back(line);
      }
      EXPECT_EQ(k.lines, lines);
      EXPECT_EQ(k.end, end);
      if (end == Next::None) {
        EXPECT_EQ(k.pending, buffer.Pending());
      }
    }
  }
}

TEST(LineBufferTest, ClearedAfterAnOverlongLineItTakesTheNext) {
  CLineBuffer buffer(10);
  Feed(buffer, "0123456789A\r\n");
  std::string line;
  EXPECT_EQ(CLineBuffer::Next::TooLong, buffer.NextLine(line));
  buffer.Clear();
  Feed(buffer, "ok\r\n");
  EXPECT_EQ((std::vector<std::string>{"ok"}), Lines(buffer));
  EXPECT_EQ(0u, buffer.Pending());
}

TEST(LineBufferTest, KeepsBytesAcrossGrowthAndCompaction) {
  CLineBuffer buffer(1 << 20);
  std::string stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(i % 97, '.');
    expected.push_back(line);
    stream += line + "\r\n";
  }
  std::vector<std::string> got;
  // Odd segment sizes, taking lines between segments as the server does.
  for (size_t at = 0; at < stream.size(); at += 777) {
    Feed(buffer, stream.substr(at, 777));
    for (const std::string& line : Lines(buffer)) got.push_back(line);
  }
  EXPECT_EQ(expected, got);
}

}  // namespace
