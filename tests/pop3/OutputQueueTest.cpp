// The output queue: dot-stuffed texts as they must leave, at every alignment
// of the line starts, and across sends the socket cuts short at any point.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lineserver/OutputQueue.h"
#include "pop3/Loopback.h"

namespace {

// What the other end of a connection on 127.0.0.1 receives for the texts,
// each stuffed or not. The sending end takes little at a time, so a large
// text goes out in many sends cut short wherever the socket is full.
std::string Through(const std::vector<std::pair<std::string, bool>>& texts) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = loopback::LoopbackAddress(0);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  int length = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  loopback::Client client(ntohs(a.sin_port));
  SOCKET server = accept(listener, nullptr, nullptr);
  closesocket(listener);
  EXPECT_TRUE(client.connected());
  EXPECT_NE(INVALID_SOCKET, server);
  u_long on = 1;
  ioctlsocket(server, FIONBIO, &on);
  int small = 4096;
  setsockopt(server, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);

  COutputQueue queue;
  for (const auto& [text, stuffed] : texts) {
    std::string copy = text;
    EXPECT_EQ(0, stuffed ? queue.WriteDotStuffed(server, std::move(copy)) : queue.Write(server, std::move(copy)));
  }
  std::string received;
  EXPECT_TRUE(loopback::PumpUntil([&] {
    EXPECT_EQ(0, queue.Flush(server));
    received += client.ReadFor(0);
    return queue.Empty();
  }, 20000));
  closesocket(server);  // the end of the stream tells the client all has come
  received += client.ReadUntil("\n\n\n-never-");
  return received;
}

class OutputQueueTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, WSAStartup(0x0101, &data_)); }
  void TearDown() override { WSACleanup(); }
  WSADATA data_;
};

TEST_F(OutputQueueTest, StuffsEveryLineThatStartsWithADot) {
  std::string many, manyStuffed;
  for (int i = 0; i < 4096; ++i) many += "\n.", manyStuffed += "\n..";
  const std::pair<std::string, std::string> rows[] = {
      {"", ""}, {".", ".."}, {"..", "..."}, {"\r\n", "\r\n"}, {".\r\n", "..\r\n"},
      {"a\r\n.\r\nb", "a\r\n..\r\nb"}, {"a\n.b\n..c", "a\n..b\n...c"}, {"no line end", "no line end"},
      {"x\r\n.", "x\r\n.."}, {".\n.\n.\n", "..\n..\n..\n"}, {"\n\n.\r\n.\r\n", "\n\n..\r\n..\r\n"},
      {"a.b\r.c", "a.b\r.c"}, {many, manyStuffed}};
  for (const auto& [text, sent] : rows) EXPECT_EQ(sent, Through({{text, true}})) << text;
  // Dots at every offset around the sixteen-byte steps of the search.
  const std::pair<const char*, const char*> tails[] = {
      {"\n.", "\n.."}, {"\n.x", "\n..x"}, {"\r\n.\r\n", "\r\n..\r\n"}, {"\n..\n.", "\n...\n.."}};
  for (size_t pad = 0; pad < 36; ++pad) {
    for (const auto& [tail, sent] : tails) {
      const std::string a(pad, 'a'), b(pad % 9, 'b');
      EXPECT_EQ(a + sent + b, Through({{a + tail + b, true}})) << pad << " " << tail;
    }
  }
}

// Megabytes with dot lines all over, beside plain texts in the same queue:
// every send the socket cuts short resumes where it stopped, the doubled
// dot included, and the texts keep their order.
TEST_F(OutputQueueTest, LargeStuffedTextsSurviveShortSends) {
  std::string text, sent;
  for (int i = 0; text.size() < 1024 * 1024; ++i) {
    const std::string n = std::to_string(i);
    text += i % 7 == 0 ? ".dot line " + n + "\r\n" : (i % 5 == 0 ? "\n..\n" : "plain line\r\n");
    sent += i % 7 == 0 ? "..dot line " + n + "\r\n" : (i % 5 == 0 ? "\n...\n" : "plain line\r\n");
  }
  const std::string received = Through({{"+OK\r\n", false}, {text, true}, {".\r\n", false}, {text, false}});
  EXPECT_TRUE(received == "+OK\r\n" + sent + ".\r\n" + text) << received.size();
}

}  // namespace
