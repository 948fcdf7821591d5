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

TEST(LineBufferTest, CutsAtCrLfOnly) {
  CLineBuffer buffer(100);
  Feed(buffer, "USER a\r\n\r\nNOOP\nX\r\nPART");
  EXPECT_EQ((std::vector<std::string>{"USER a", "", "NOOP\nX"}), Lines(buffer));
  EXPECT_EQ(4u, buffer.Pending());
  Feed(buffer, "IAL\r");
  EXPECT_TRUE(Lines(buffer).empty());
  Feed(buffer, "\n");  // the CR of the earlier segment pairs with this LF
  EXPECT_EQ((std::vector<std::string>{"PARTIAL"}), Lines(buffer));
  EXPECT_EQ(0u, buffer.Pending());
  Feed(buffer, "\n\r\n");  // a lone LF, then CR LF: one line that holds the LF
  EXPECT_EQ((std::vector<std::string>{"\n"}), Lines(buffer));
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

TEST(LineBufferTest, RefusesLinesPastTheLimit) {
  CLineBuffer buffer(10);
  Feed(buffer, "0123456789\r\n");
  EXPECT_EQ((std::vector<std::string>{"0123456789"}), Lines(buffer));
  Feed(buffer, "0123456789\r");  // the limit and its CR may wait for the LF
  std::string line;
  EXPECT_EQ(CLineBuffer::Next::None, buffer.NextLine(line));
  Feed(buffer, "x");
  EXPECT_EQ(CLineBuffer::Next::TooLong, buffer.NextLine(line));
  buffer.Clear();
  Feed(buffer, "0123456789A\r\n");
  EXPECT_EQ(CLineBuffer::Next::TooLong, buffer.NextLine(line));
  buffer.Clear();
  Feed(buffer, "ok\r\n");
  EXPECT_EQ((std::vector<std::string>{"ok"}), Lines(buffer));
}

TEST(LineBufferTest, LinesBeforeAnOverlongOneAreStillTaken) {
  CLineBuffer buffer(8);
  Feed(buffer, "USER a\r\nNOOP\r\n" + std::string(50, 'z'));
  std::string line;
  ASSERT_EQ(CLineBuffer::Next::Line, buffer.NextLine(line));
  EXPECT_EQ("USER a", line);
  ASSERT_EQ(CLineBuffer::Next::Line, buffer.NextLine(line));
  EXPECT_EQ("NOOP", line);
  EXPECT_EQ(CLineBuffer::Next::TooLong, buffer.NextLine(line));
}

}  // namespace
