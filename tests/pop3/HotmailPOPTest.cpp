// The POP3 server over real loopback connections and a pumped message loop.
// The test plays the mail service's part: it completes the operations that
// PASS, RETR and QUIT start.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/Log.h"
#include "plugin/PrivateMessages.h"
#include "pop3/HotmailPOP.h"
#include "pop3/Loopback.h"
#include "pop3/ServerTest.h"
#include "support/TempDir.h"

namespace {

using loopback::Client;
using loopback::PumpFor;
using loopback::PumpUntil;

const char kGreeting[] = "+OK POP3 to HTTP proxy server ready\r\n";
const char kAuthFirst[] = "-ERR authorization first\r\n";
const char kNotAuthState[] = "-ERR not authorization state\r\n";
const char kUnknown[] = "-ERR Unknown command\r\n";
const char kInProgress[] = "-ERR a Hotmail request is still in progress\r\n";

class PopTest : public ServerTest<CHotmailPOP, WM_POP_SOCKET, &CSettings::popPortNumber> {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    settings_.onlyNotRead = false;
  }

  // Sends PASS and waits until the server has started the log-in job.
  void SendPass(Client& c, const std::string& password) {
    ASSERT_TRUE(c.Send("PASS " + password + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return pop_.Credentials().password == password; }));
  }

  // One folder listing one message, deleted for good at QUIT.
  void OneMessage() {
    CFolder inbox;
    inbox.id = "inbox";
    inbox.special = "inbox";
    service_.folders = {inbox};
    service_.mails.resize(1);
    service_.mails[0].id = "m1";
    settings_.deleteMode = 2;
  }

  // A client in the transaction state.
  void LogIn(Client& c) {
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_EQ("+OK\r\n", Ask(c, "USER alice@hotmail.com"));
    SendPass(c, "secret");
    EXPECT_EQ("", c.ReadFor(30));  // nothing until the job ends
    Complete(207);
    ASSERT_EQ("+OK\r\n", c.ReadLine());
    ASSERT_EQ(CHotmailPOP::SessionState::Transaction, pop_.State());
  }

  CHotmailPOP& pop_ = server_;
};

// Line assembly and command matching before log-in: each input, fed whole
// and byte by byte, gets the same replies, and none of them sets a password.
TEST_F(PopTest, LinesAndCommandNamesFedWholeAndByteByByte) {
  using namespace std::string_literals;  // inputs that hold a NUL
  const std::string unknown = kUnknown, authFirst = kAuthFirst;
  const auto times = [](int n, const std::string& reply) {
    std::string replies;
    while (n-- > 0) replies += reply;
    return replies;
  };
  const std::string badUser = "-ERR user name must not contain CR, LF or NUL\r\n";
  const std::string badPassword = "-ERR password must not contain CR, LF or NUL\r\n";
  struct Case {
    std::string input;
    std::string replies;
    std::string userName;
  };
  const Case cases[] = {
      {"user alice\r\n", "+OK\r\n", "alice"},
      {"USERX bob\r\nSTATS\r\n\r\nCAPA\r\nSTLS\r\nUS\r\n", times(6, unknown), ""},
      {"stat anything at all\r\n", authFirst, ""},
      // Exactly one space is skipped: the rest is the argument, spaces and all.
      {"USER  two\r\n", "+OK\r\n", " two"},
      {"USER bob\r\nNOOP\r\nAPOP bob digest\r\n", "+OK\r\n" + authFirst + "-ERR Can't use APOP to Hotmail server\r\n",
       "bob"},
      // Only CR LF ends a line: the lone LF stays inside it.
      {"NOOP\nUSER x\r\n", unknown, ""},
      // A NUL ends the command word's text.
      {"NOOP\0ignored\r\n"s, authFirst, ""},
      // Credentials go into an HTTP header: a line break or NUL in them is
      // refused where it arrives and changes nothing.
      {"USER alice\r\nUSER a\nX-Injected: 1\r\nUSER a\rb\r\nUSER a\0b\r\n"s,
       "+OK\r\n" + times(3, badUser), "alice"},
      {"USER alice\r\nPASS p\nw\r\nPASS p\rw\r\nPASS p\0w\r\n"s,
       "+OK\r\n" + times(3, badPassword), "alice"},
      {"PASS secret\r\nUSER\r\n", "-ERR USER first\r\n-ERR missing user name argument\r\n", ""},
      {"NOOP\r\nSTAT\r\nLIST\r\nLIST 1\r\nUIDL\r\nRETR 1\r\nTOP 1 0\r\nDELE 1\r\nRSET\r\n",
       times(9, authFirst), ""},
  };
  for (bool byteByByte : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(k.input + (byteByByte ? " (byte by byte)" : ""));
      Client c(Port());
      ASSERT_EQ(kGreeting, c.ReadLine());
      ASSERT_TRUE(c.Feed(k.input, byteByByte));
      EXPECT_EQ(k.replies, c.ReadUntil(k.replies));
      EXPECT_EQ(k.userName, pop_.Credentials().userName);
      EXPECT_EQ("", pop_.Credentials().password);
      c.Close();
      ASSERT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0; }));
    }
  }
}

TEST_F(PopTest, LoginCompletionAnswersThePass) {
  struct Case {
    LPARAM result;
    const char* reply;
  };
  const Case cases[] = {
      {401, "-ERR authentication failure\r\n"},
      {-1, "-ERR Can't connect to Hotmail server\r\n"},
      {500, "-ERR Hotmail server returned 500 status\r\n"},
      {12, "-ERR Hotmail server returned 012 status\r\n"},
  };
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
  // A refused PASS starts no log-in that would hold the next one off.
  EXPECT_EQ("-ERR password must not contain CR, LF or NUL\r\n", Ask(c, "PASS p\nw"));
  for (const Case& k : cases) {
    ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
    SendPass(c, "pw" + std::to_string(k.result));
    Complete(k.result);
    EXPECT_EQ(k.reply, c.ReadLine());
    // A failed log-in forgets the user name: PASS needs a new USER.
    EXPECT_EQ("-ERR USER first\r\n", Ask(c, "PASS again"));
    EXPECT_EQ(CHotmailPOP::SessionState::Authorization, pop_.State());
  }
  // Known credentials go straight to the folder list; one it refuses sends
  // the log-in to discovery again.
  service_.discovered = true;
  service_.calls.clear();
  ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
  SendPass(c, "right");
  Complete(404);
  EXPECT_EQ("-ERR Hotmail server returned 404 status\r\n", c.ReadLine());
  EXPECT_EQ((std::vector<std::string>{"ListFolders", "Discover alice"}), service_.calls);
  ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
  SendPass(c, "right");
  Complete(207);
  EXPECT_EQ("+OK\r\n", c.ReadLine());
  EXPECT_EQ("alice", pop_.Credentials().userName);
}

TEST_F(PopTest, TransactionStateOnAnEmptyMailbox) {
  Client c(Port());
  LogIn(c);
  EXPECT_EQ("+OK 0 0\r\n", Ask(c, "STAT"));
  ASSERT_TRUE(c.Send("LIST\r\n"));
  EXPECT_EQ("+OK\r\n.\r\n", c.ReadMultiLine());
  ASSERT_TRUE(c.Send("UIDL\r\n"));
  EXPECT_EQ("+OK\r\n.\r\n", c.ReadMultiLine());
  EXPECT_EQ("-ERR message 0 does not exist\r\n", Ask(c, "LIST 0"));
  EXPECT_EQ("-ERR message 0 does not exist\r\n", Ask(c, "LIST abc"));
  EXPECT_EQ("-ERR message 1 does not exist\r\n", Ask(c, "LIST 1"));
  EXPECT_EQ("-ERR message -1 does not exist\r\n", Ask(c, "LIST -1"));
  EXPECT_EQ("-ERR message 2147483647 does not exist\r\n", Ask(c, "UIDL 99999999999"));
  EXPECT_EQ("-ERR message 7 does not exist\r\n", Ask(c, "RETR  7"));
  EXPECT_EQ("-ERR message 1 does not exist\r\n", Ask(c, "TOP 1 10"));
  EXPECT_EQ("-ERR message 1 does not exist\r\n", Ask(c, "DELE 1"));
  for (const char* command : {"RETR", "TOP", "DELE"})
    EXPECT_EQ("-ERR missing required message number parameter\r\n", Ask(c, command)) << command;
  EXPECT_EQ("+OK\r\n", Ask(c, "RSET"));
  EXPECT_EQ("+OK\r\n", Ask(c, "NOOP"));
  for (const char* command : {"USER bob", "PASS x", "APOP a b"}) EXPECT_EQ(kNotAuthState, Ask(c, command));
}

TEST_F(PopTest, QuitIsAnsweredByTheCommitThenCloses) {
  struct Case {
    LPARAM result;
    const char* reply;
  };
  const Case cases[] = {
      {207, "+OK\r\n"},
      {204, "+OK\r\n"},
      {500, "-ERR Hotmail server returned 500 status\r\n"},
      {-1, "-ERR Can't connect to Hotmail server\r\n"},
  };
  OneMessage();
  for (const Case& k : cases) {
    Client c(Port());
    LogIn(c);
    ASSERT_EQ("+OK\r\n", Ask(c, "DELE 1"));
    ASSERT_TRUE(c.Send("QUIT\r\n"));
    EXPECT_EQ("", c.ReadFor(30));
    EXPECT_EQ(CHotmailPOP::SessionState::Update, pop_.State());
    Complete(k.result);
    EXPECT_EQ(k.reply, c.ReadLine());
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_EQ(0u, pop_.ClientSocket());
  }
  // Nowhere to move a deleted message: it stays, and QUIT says so.
  settings_.deleteMode = 1;
  Client c(Port());
  LogIn(c);
  ASSERT_EQ("+OK\r\n", Ask(c, "DELE 1"));
  EXPECT_EQ("-ERR some deleted messages not removed\r\n", Ask(c, "QUIT"));
  EXPECT_EQ(std::vector<std::string>({"Discover alice@hotmail.com", "ListFolders", "ListMails inbox"}),
            std::vector<std::string>(service_.calls.end() - 3, service_.calls.end()));
}

TEST_F(PopTest, CommandsAfterQuitWaitForTheCommitAndEndWithIt) {
  OneMessage();
  Client c(Port());
  LogIn(c);
  ASSERT_EQ("+OK\r\n", Ask(c, "DELE 1"));
  ASSERT_TRUE(c.Send("QUIT\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return pop_.State() == CHotmailPOP::SessionState::Update; }));
  ASSERT_TRUE(c.Send("STAT\r\nUSER bob\r\nQUIT\r\n"));
  EXPECT_EQ("", c.ReadFor(30));
  Complete(207);
  EXPECT_EQ("+OK\r\n", c.ReadUntil("never"));
  EXPECT_TRUE(c.closed());
  // The next connection starts without the last one's credentials.
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ("", next.ReadFor(50));
  EXPECT_EQ("-ERR USER first\r\n", Ask(next, "PASS secret"));
  EXPECT_EQ(CCredentials(), pop_.Credentials());
}

// Commands that arrive while a job of their connection runs wait for it and
// are answered after it, in order; fed in one packet and byte by byte.
TEST_F(PopTest, PipelinedCommandsAreAnsweredInOrderBehindTheJob) {
  struct Step {
    long result;
  };
  struct Case {
    const char* input;
    std::vector<Step> completions;
    const char* replies;
    bool closes;
  };
  const Case cases[] = {
      {"USER a\r\nPASS x\r\nSTAT\r\nNOOP\r\n", {{207}}, "+OK\r\n+OK\r\n+OK 0 0\r\n+OK\r\n", false},
      {"USER a\r\nPASS x\r\nPASS y\r\nUSER b\r\n", {{401}},
       "+OK\r\n-ERR authentication failure\r\n-ERR USER first\r\n+OK\r\n", false},
      {"USER a\r\nPASS x\r\nQUIT\r\nNOOP\r\n", {{207}}, "+OK\r\n+OK\r\n+OK\r\n",
       true},
  };
  for (bool byteByByte : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(k.input) + (byteByByte ? " (byte by byte)" : ""));
      Client c(Port());
      ASSERT_EQ(kGreeting, c.ReadLine());
      ASSERT_TRUE(c.Feed(k.input, byteByByte));
      // A completion that no job waits for yet is dropped, so each is
      // offered until the replies are all there.
      std::string replies;
      PumpUntil([&] {
        for (const Step& step : k.completions) Complete(step.result);
        c.Drain();
        replies += c.Take();
        return replies.size() >= strlen(k.replies);
      });
      EXPECT_EQ(k.replies, replies);
      if (k.closes) {
        EXPECT_TRUE(c.WaitClosed());
      }
      c.Close();
      ASSERT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0; }));
    }
  }
}

TEST_F(PopTest, CompletionAfterItsConnectionEndedNeverReachesTheNext) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
    SendPass(c, "secret");
  }  // the client drops while its log-in runs
  ASSERT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0; }));
  Client next(Port());
  ASSERT_EQ(kGreeting, next.ReadLine());
  // While the old job runs, nothing may start another on the same record.
  EXPECT_EQ(kInProgress, Ask(next, "USER bob"));
  Complete(207);  // belongs to the connection that has gone
  EXPECT_EQ("", next.ReadFor(50));
  EXPECT_EQ(CHotmailPOP::SessionState::Authorization, pop_.State());
  EXPECT_EQ(kAuthFirst, Ask(next, "STAT"));
  // Now the next client logs in normally.
  EXPECT_EQ("+OK\r\n", Ask(next, "USER bob"));
  SendPass(next, "bobs");
  Complete(401);
  EXPECT_EQ("-ERR authentication failure\r\n", next.ReadLine());
}

TEST_F(PopTest, OverlongLineIsRefusedAndTheConnectionClosed) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    // The longest line accepted still reaches the command table.
    EXPECT_EQ(kUnknown, Ask(c, std::string(CHotmailPOP::kMaxCommandLine, 'A')));
    EXPECT_EQ("+OK\r\n", Ask(c, "USER " + std::string(CHotmailPOP::kMaxCommandLine - 5, 'u')));
    ASSERT_TRUE(c.Send(std::string(CHotmailPOP::kMaxCommandLine + 1, 'A') + "\r\n"));
    EXPECT_EQ("-ERR command line too long\r\n", c.ReadLine());
    EXPECT_TRUE(c.WaitClosed());
  }
  {
    // No line end at all: refused once the limit is passed, not held.
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(c.Send(std::string(20000, 'B')));
    EXPECT_EQ("-ERR command line too long\r\n", c.ReadLine());
    EXPECT_TRUE(c.WaitClosed());
  }
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
}

TEST_F(PopTest, ReplySentBehindQueuedOutputKeepsTheWireOrder) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  std::string big(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  // The client reads nothing yet, so most of this waits in the queue.
  pop_.Send(pop_.ClientSocket(), big.data(), big.size());
  pop_.SendString(pop_.ClientSocket(), "+OK tail\r\n");
  const std::string received = c.ReadUntil("+OK tail\r\n", 20000);
  ASSERT_EQ(big.size() + 10, received.size());
  EXPECT_TRUE(received.compare(0, big.size(), big) == 0);
  EXPECT_EQ("+OK tail\r\n", received.substr(big.size()));
  EXPECT_EQ(kAuthFirst, Ask(c, "NOOP"));
}

// A QUIT taken while replies still wait for the client (fewer than hold
// its lines back) ends the connection only once the client has read them:
// a message fetched before a QUIT arrives whole.
TEST_F(PopTest, QuitEndsTheConnectionOnlyOnceItsRepliesAreRead) {
  Client c(Port());
  const int small = 16384;  // small socket buffers: the rest waits in the queue
  setsockopt(c.handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
  ASSERT_EQ(kGreeting, c.ReadLine());
  setsockopt(pop_.ClientSocket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
  std::string big(256 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  pop_.Send(pop_.ClientSocket(), big.data(), big.size());
  const size_t queued = pop_.QueuedOutput();
  ASSERT_GT(queued, 0u);
  ASSERT_TRUE(c.Send("QUIT\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0 || pop_.QueuedOutput() > queued; }));
  const std::string all = c.ReadUntil(kAuthFirst, 20000);
  ASSERT_EQ(big.size() + strlen(kAuthFirst), all.size());
  EXPECT_TRUE(all.compare(0, big.size(), big) == 0);
  EXPECT_TRUE(c.WaitClosed());
}

// The tail of a reply written in pieces is not held back until the client
// acknowledges its start (Nagle's algorithm: 40 ms per reply or more).
TEST_F(PopTest, ServedConnectionsSendWithoutDelay) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  BOOL noDelay = FALSE;
  int length = sizeof noDelay;
  ASSERT_EQ(0, getsockopt(pop_.ClientSocket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length));
  EXPECT_TRUE(noDelay);
}

TEST_F(PopTest, ClientThatDoesNotReadIsHeldBackAndLosesNoReply) {
  settings_.log = false;  // a hundred thousand commands
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  const std::string command = "NOOP\r\n";
  std::string batch;
  for (int i = 0; i < 2000; ++i) batch += command;
  // Commands go in, replies are not read: the server stops reading once
  // its queue of replies is full, instead of growing it without end.
  size_t sent = 0, mostQueued = 0;
  // Until the queue is full: on a slow machine that takes a while.
  const auto until = loopback::Clock::now() + std::chrono::seconds(60);
  while (mostQueued + 64 < CHotmailPOP::kMaxQueuedOutput && loopback::Clock::now() < until) {
    // A send may take part of a command; the next one goes on from there.
    const size_t skip = sent % command.size();
    int n = send(c.handle(), batch.data() + skip, static_cast<int>(batch.size() - skip), 0);
    if (n > 0) sent += static_cast<size_t>(n);
    loopback::PumpOnce();
    mostQueued = std::max(mostQueued, pop_.QueuedOutput());
  }
  EXPECT_GT(mostQueued, CHotmailPOP::kMaxQueuedOutput / 2);
  EXPECT_LE(mostQueued, CHotmailPOP::kMaxQueuedOutput + 64);
  // Completes the last command, then reads everything.
  std::string rest = command.substr(sent % command.size() == 0 ? command.size() : sent % command.size());
  const size_t commands = (sent + rest.size()) / command.size();
  std::string replies;
  ASSERT_TRUE(PumpUntil([&] {
    if (!rest.empty()) {
      int n = send(c.handle(), rest.data(), static_cast<int>(rest.size()), 0);
      if (n > 0) rest.erase(0, static_cast<size_t>(n));
    }
    c.Drain();
    replies += c.Take();
    return rest.empty() && replies.size() >= commands * strlen(kAuthFirst);
  }, 20000)) << replies.size() << " of " << commands * strlen(kAuthFirst) << ", rest " << rest.size()
                << ", queued " << pop_.QueuedOutput() << ", input " << sent;
  ASSERT_EQ(commands * strlen(kAuthFirst), replies.size());
  for (size_t at = 0; at < replies.size(); at += strlen(kAuthFirst))
    ASSERT_EQ(0, replies.compare(at, strlen(kAuthFirst), kAuthFirst)) << at;
  EXPECT_EQ(0u, pop_.QueuedOutput());
  EXPECT_EQ("+OK\r\n", Ask(c, "USER still here"));
}

TEST_F(PopTest, ClientThatDropsFreesTheServer) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(c.Send("USER gone\r\nNOOP"));
    ASSERT_EQ("+OK\r\n", c.ReadLine());
  }
  EXPECT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0; }));
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
  // The half line of the earlier client is gone with it.
  EXPECT_EQ(kAuthFirst, Ask(next, "NOOP"));
}

// A client that floods commands without reading until the server stops
// reading, then leaves (a reset, with its replies unread), frees the server
// at once: the next client is greeted, not turned away.
TEST_F(PopTest, ClientThatFloodsThenDropsFreesTheServer) {
  settings_.log = false;
  std::string batch;
  for (int i = 0; i < 2000; ++i) batch += "NOOP\r\n";
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(PumpUntil([&] {
      send(c.handle(), batch.data(), static_cast<int>(batch.size()), 0);
      loopback::PumpOnce();
      return pop_.QueuedOutput() > CHotmailPOP::kMaxQueuedOutput;
    }, 20000));
    // More commands, until nothing more goes in: they wait unread.
    ASSERT_TRUE(PumpUntil([&] { return send(c.handle(), batch.data(), static_cast<int>(batch.size()), 0) < 0; }));
  }
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ(kAuthFirst, Ask(next, "NOOP"));
}

// A client that sends nothing for the idle time is closed, and the next is
// served; one that keeps talking is not.
TEST_F(PopTest, SilentClientIsClosedAfterTheIdleTime) {
  pop_.SetIdleTimeOut(1);
  Client c(Port());
  LogIn(c);
  EXPECT_EQ("-ERR autologout: idle for too long\r\n", c.ReadLine(5000));
  EXPECT_TRUE(c.WaitClosed());
  Client next(Port());
  ASSERT_EQ(kGreeting, next.ReadLine());
  const auto until = loopback::Clock::now() + std::chrono::milliseconds(1500);
  while (loopback::Clock::now() < until) ASSERT_EQ(kAuthFirst, Ask(next, "NOOP"));
  EXPECT_FALSE(next.closed());
}

TEST_F(PopTest, ClientThatReconnectsAtOnceIsNoSecondClient) {
  Client first(Port());
  ASSERT_EQ(kGreeting, first.ReadLine());
  first.Close();
  // Connects before the server has seen the first one's end.
  Client again(Port());
  EXPECT_EQ(kGreeting, again.ReadLine());
  EXPECT_EQ(kAuthFirst, Ask(again, "NOOP"));
  // A second client while one is served is turned away.
  Client third(Port());
  EXPECT_EQ("-ERR Socket is already used.\r\n", third.ReadLine());
  EXPECT_TRUE(third.WaitClosed());
  EXPECT_EQ(kAuthFirst, Ask(again, "NOOP"));
}

// A second start, and a start on a port in use, fail and leave no listener.
TEST_F(PopTest, SecondListenReportsAndLeavesNoListener) {
  EXPECT_FALSE(pop_.Listen());
  EXPECT_EQ(0u, pop_.ListeningSocket());
  Client refused(Port());
  EXPECT_FALSE(refused.connected());
  EXPECT_TRUE(pop_.Listen());  // the next start works again
  Client c(Port());
  EXPECT_EQ(kGreeting, c.ReadLine());
  CHotmailPOP other(settings_);
  ASSERT_TRUE(other.InitWinsock());
  other.SetWindow(window_);
  EXPECT_FALSE(other.Listen());
  EXPECT_EQ(0u, other.ListeningSocket());
  EXPECT_NE(std::string::npos, Log().find("0x00002740")) << Log();  // WSAEADDRINUSE, 10048
}

TEST_F(PopTest, LogRecordsBothDirectionsAndTheClose) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    EXPECT_EQ(kAuthFirst, Ask(c, "NOOP"));
    EXPECT_EQ(kAuthFirst, Ask(c, "QUIT"));
    EXPECT_TRUE(c.WaitClosed());
  }
  const std::string log = ReadFile(dir_.File("Kestrelon.log"));
  const std::string expected = std::string("[POP の待機を開始しました]\n") +
                               "[以下の文字列を Becky に送信しました]\n" + kGreeting +
                               "[以下のコマンドを Becky から受信しました]\nNOOP\n" +
                               "[以下の文字列を Becky に送信しました]\n" + kAuthFirst +
                               "[以下のコマンドを Becky から受信しました]\nQUIT\n" +
                               "[以下の文字列を Becky に送信しました]\n" + kAuthFirst + "[ソケットを閉じました]\n";
  EXPECT_EQ(expected, log);
}

// A line that begins with PASS is masked however it goes on, even when it
// is refused; a multi-line reply leaves in one send, so one log text.
TEST_F(PopTest, MultiLineReplyIsOneLogTextAndThePasswordStaysOut) {
  {
    Client c(Port());
    LogIn(c);
    ASSERT_TRUE(c.Send("LIST\r\n"));
    EXPECT_EQ("+OK\r\n.\r\n", c.ReadMultiLine());
  }
  ASSERT_TRUE(PumpUntil([&] { return pop_.ClientSocket() == 0; }));
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  ASSERT_EQ("+OK\r\n", Ask(c, "USER alice"));
  EXPECT_EQ(kUnknown, Ask(c, "PASS\tsecret1"));
  EXPECT_EQ(kUnknown, Ask(c, "pass\tsecret2"));
  EXPECT_EQ("-ERR password must not contain CR, LF or NUL\r\n", Ask(c, "PASS secret3\nmore"));
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("[以下の文字列を Becky に送信しました]\n+OK\r\n.\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find("\nPASS ********\n")) << log;
  EXPECT_NE(std::string::npos, log.find("\npass ********\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("secret")) << log;
}

}  // namespace
