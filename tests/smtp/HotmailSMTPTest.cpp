// The SMTP server over real loopback connections and a pumped message loop.
// The test plays the HTTPMail client's part: it completes the jobs that
// DATA and the end of the text start by handing WM_SMTP_JOB_DONE to the
// server, drops the completions of the real client (whose service address
// leads nowhere), and reads the request the send job would post.
#include <gtest/gtest.h>

#include <string>

#include "config/Log.h"
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"
#include "pop3/Loopback.h"
#include "pop3/ServerTest.h"
#include "smtp/HotmailSMTP.h"
#include "support/TempDir.h"

namespace {

using loopback::Client;
using loopback::PumpFor;
using loopback::PumpUntil;
using State = CHotmailSMTP::SessionState;

const char kGreeting[] = "220 localhost ESMTP to HTTP proxy server ready\r\n";
const char kOk[] = "250 ok\r\n";
const char kAuthOk[] = "235 Authentication successful\r\n";
const char kUnimplemented[] = "502 unimplemented\r\n";
const char kStartInput[] = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
const char kAuthFailed[] = "535 Authentications failed\r\n";
const char kNoMechanism[] = "504 Unrecognized authentications type\r\n";
const char kInProgress[] = "451 Requested action aborted: a Hotmail request is still in progress\r\n";
const char kSent[] = "[以下の文字列を Becky に送信しました]\n";
const char kReceived[] = "[以下のコマンドを Becky から受信しました]\n";
// AUTH PLAIN responses: "\0alice/extra\0secret" and "\0bob\0pw".
const char kAliceExtra[] = "AGFsaWNlL2V4dHJhAHNlY3JldA==";
const char kBob[] = "AGJvYgBwdw==";

class SmtpTest : public ServerTest<CHotmailSMTP, WM_SMTP_SOCKET, WM_SMTP_JOB_DONE, &CSettings::smtpPortNumber> {
 protected:
  // The body the send job posts.
  static std::string PostBody() {
    std::unique_ptr<CHotmailRequest> request = thePlugin.http.NewPostRequest();
    return request ? request->body : std::string("(no request)");
  }

  // Sends DATA and answers its log-in job with success.
  void StartText(Client& c) {
    ASSERT_TRUE(c.Send("DATA\r\n"));
    EXPECT_EQ("", c.ReadFor(30));  // nothing until the log-in ends
    Complete(SMTP_JOB_LOGIN, 207);
    ASSERT_EQ(kStartInput, c.ReadLine());
    ASSERT_EQ(State::Text, smtp_.State());
  }

  // Sends the text and its end, and waits until the send job has started.
  void SendText(Client& c, const std::string& text) {
    ASSERT_TRUE(c.Send(text + ".\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.State() == State::Submitted; }));
    EXPECT_EQ("", c.ReadFor(30));  // nothing until the send ends
  }

  // A client that has said EHLO and authenticated as bob.
  void Greet(Client& c) {
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(c.Send("EHLO me\r\n"));
    ASSERT_EQ("250-localhost\r\n250 AUTH PLAIN\r\n", c.ReadUntil("PLAIN\r\n"));
    ASSERT_EQ(kAuthOk, Ask(c, std::string("AUTH PLAIN ") + kBob));
  }

  CHotmailSMTP& smtp_ = server_;
};

TEST_F(SmtpTest, CommandRepliesAreExact) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  EXPECT_EQ(State::Idle, smtp_.State());
  ASSERT_TRUE(c.Send("EHLO client.example\r\n"));
  EXPECT_EQ("250-localhost\r\n250 AUTH PLAIN\r\n", c.ReadUntil("PLAIN\r\n"));
  EXPECT_EQ("250 localhost\r\n", Ask(c, "helo client"));
  EXPECT_EQ(kOk, Ask(c, "NOOP"));
  for (const char* command : {"STARTTLS", "VRFY bob", "EXPN list", "HELP", "", "EHLOX", "MAILFROM:<a@b>", "DAT"})
    EXPECT_EQ(kUnimplemented, Ask(c, command)) << command;
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<a@example.com>"));
  EXPECT_EQ(State::Sender, smtp_.State());
  EXPECT_EQ(kOk, Ask(c, "rcpt TO:<b@example.com>"));
  EXPECT_EQ(State::Recipient, smtp_.State());
  EXPECT_EQ("MAIL FROM:<a@example.com>\r\n", thePlugin.http.senderLine);
  EXPECT_EQ("RCPT TO:<b@example.com>\r\n", thePlugin.http.recipientLines);
  EXPECT_EQ(kOk, Ask(c, "RSET"));
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ("", thePlugin.http.senderLine + thePlugin.http.recipientLines + thePlugin.http.messageData);
  // No order is enforced: RCPT without MAIL is taken as it comes.
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<c@example.com>"));
  EXPECT_EQ("221 localhost Service is closing\r\n", Ask(c, "QUIT"));
  EXPECT_EQ(State::Quit, smtp_.State());
  // The server leaves the closing to the client.
  EXPECT_EQ("", c.ReadFor(50));
  EXPECT_FALSE(c.closed());
}

TEST_F(SmtpTest, AuthPlainStoresTheCredentials) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  // The user name is cut at its first "/".
  EXPECT_EQ(kAuthOk, Ask(c, std::string("AUTH PLAIN ") + kAliceExtra));
  EXPECT_EQ("alice", thePlugin.http.userName);
  EXPECT_EQ("secret", thePlugin.http.password);
  EXPECT_EQ(kAuthOk, Ask(c, std::string("auth plain ") + kBob));
  EXPECT_EQ("bob", thePlugin.http.userName);
  EXPECT_EQ("pw", thePlugin.http.password);
  // An authorization identity is ignored; a "/" in the password stays.
  EXPECT_EQ(kAuthOk, Ask(c, "AUTH PLAIN YWRtaW4AY2Fyb2wAcC93"));  // admin\0carol\0p/w
  EXPECT_EQ("carol", thePlugin.http.userName);
  EXPECT_EQ("p/w", thePlugin.http.password);
  // Without padding, and broken by spaces and line feeds (a lone LF does not
  // end a line), the same bytes.
  EXPECT_EQ(kAuthOk, Ask(c, "AUTH PLAIN AGFsaWNlL2V4dHJhAHNlY3JldA"));
  EXPECT_EQ("alice", thePlugin.http.userName);
  EXPECT_EQ("secret", thePlugin.http.password);
  EXPECT_EQ(kAuthOk, Ask(c, "AUTH PLAIN AGJv YgB\nwdw= ="));
  EXPECT_EQ("bob", thePlugin.http.userName);
  EXPECT_EQ("pw", thePlugin.http.password);
  // Missing parts read as empty.
  EXPECT_EQ(kAuthOk, Ask(c, "AUTH PLAIN AGRhdmU="));  // \0dave
  EXPECT_EQ("dave", thePlugin.http.userName);
  EXPECT_EQ("", thePlugin.http.password);
  EXPECT_EQ(kAuthOk, Ask(c, "AUTH PLAIN "));
  EXPECT_EQ("", thePlugin.http.userName);
  // Other mechanisms, and PLAIN without an initial response.
  thePlugin.http.userName = "kept";
  for (const char* command : {"AUTH LOGIN", "AUTH PLAIN", "AUTH CRAM-MD5 abc", "AUTH", "AUTH PLAINX abc"})
    EXPECT_EQ(kNoMechanism, Ask(c, command)) << command;
  EXPECT_EQ("kept", thePlugin.http.userName);
  EXPECT_EQ(State::Idle, smtp_.State());
}

TEST_F(SmtpTest, LogShowsTheUserButNeverThePassword) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  EXPECT_EQ(kAuthOk, Ask(c, std::string("AUTH PLAIN ") + kAliceExtra));
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("[Auth: UserID]\nalice\n[Auth: PassWord]\n********\n")) << log;
  EXPECT_NE(std::string::npos, log.find("[以下のコマンドを Becky から受信しました]\nAUTH PLAIN ********\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("secret")) << log;
  EXPECT_EQ(std::string::npos, log.find(kAliceExtra)) << log;
}

TEST_F(SmtpTest, DecodeBase64) {
  struct Case {
    const char* input;
    std::string bytes;
  };
  const Case cases[] = {
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TWE", "Ma"},
      {"TQ==", "M"},
      {"TQ", "M"},
      {"T", ""},  // a single digit makes no byte
      {"", ""},
      {"TW\r\nFu IA ==", "Man "},
      {"TQ==TWFu", "M"},  // nothing after the first "="
      {"*T!W-F_u", "Man"},  // characters outside the alphabet are skipped
      {"AP/+", std::string("\0\xff\xfe", 3)},
  };
  for (const Case& k : cases) {
    const size_t length = strlen(k.input);
    std::string out(length + 1, 'X');
    const size_t n = CHotmailSMTP::DecodeBase64(&out[0], k.input, length);
    EXPECT_EQ(k.bytes, out.substr(0, n)) << k.input;
  }
}

TEST_F(SmtpTest, DataWithoutAUserNameIsRefused) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<a@example.com>"));
  EXPECT_EQ("503 authentications are requierd\r\n", Ask(c, "DATA"));
  EXPECT_EQ(State::Sender, smtp_.State());
  EXPECT_NE(std::string::npos, Log().find("「メールボックスの設定」－「詳細」－「SMTP 認証」にチェックを入れてください。"));
  // A user name stored by either server will do, AUTH or not.
  thePlugin.http.userName = "alice";
  StartText(c);
}

TEST_F(SmtpTest, MessageTextIsCollectedAndPosted) {
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<carol@example.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<dave@example.com>"));
  StartText(c);
  // Lines that look like commands are text; a leading dot is taken off;
  // a lone LF and a NUL byte are data.
  const std::string text = std::string("Subject: test\r\n\r\nQUIT\r\nMAIL FROM:<x@y>\r\n..\r\n.x\r\n...two\r\n") +
                           "bare\nfeed\r\n" + std::string("nul\0byte", 8) + "\r\n\r\nend\r\n";
  SendText(c, text);
  const std::string expected = std::string("Subject: test\r\n\r\nQUIT\r\nMAIL FROM:<x@y>\r\n.\r\nx\r\n..two\r\n") +
                               "bare\nfeed\r\n" + std::string("nul\0byte", 8) + "\r\n\r\nend\r\n";
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<carol@example.com>\r\nRCPT TO:<dave@example.com>\r\n\r\n" +
                expected + "\r\n",
            PostBody());
  Complete(SMTP_JOB_SEND, 201);
  EXPECT_EQ(kOk, c.ReadLine());
  EXPECT_EQ(State::Submitted, smtp_.State());
  EXPECT_EQ(kOk, Ask(c, "NOOP"));
}

TEST_F(SmtpTest, EachTransactionPostsOnlyItsOwnEnvelopeAndText) {
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  StartText(c);
  SendText(c, "first\r\n");
  Complete(SMTP_JOB_SEND, 201);
  ASSERT_EQ(kOk, c.ReadLine());
  // The next transaction without RSET.
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<two@example.com>"));
  StartText(c);
  SendText(c, "second\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nsecond\r\n\r\n", PostBody());
  Complete(SMTP_JOB_SEND, 201);
  ASSERT_EQ(kOk, c.ReadLine());
  // DATA again without MAIL: the same envelope, and only the new text.
  StartText(c);
  SendText(c, "third\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nthird\r\n\r\n", PostBody());
  Complete(SMTP_JOB_SEND, 201);
  EXPECT_EQ(kOk, c.ReadLine());
}

TEST_F(SmtpTest, FailedJobsAreAnswered) {
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  // A log-in that fails leaves state and envelope as they were.
  for (LPARAM result : {LPARAM(401), LPARAM(-1), LPARAM(500)}) {
    ASSERT_TRUE(c.Send("DATA\r\n"));
    EXPECT_EQ("", c.ReadFor(30));
    Complete(SMTP_JOB_LOGIN, result);
    EXPECT_EQ(kAuthFailed, c.ReadLine()) << result;
    EXPECT_EQ(State::Recipient, smtp_.State());
    EXPECT_EQ("RCPT TO:<one@example.com>\r\n", thePlugin.http.recipientLines);
  }
  // Lines after a failed DATA are commands again.
  EXPECT_EQ(kUnimplemented, Ask(c, "Subject: hello"));
  struct Case {
    LPARAM result;
    const char* reply;
  };
  const Case cases[] = {
      {500, "451 Requested action aborted: Hotmail server returned 500 status\r\n"},
      {-1, "451 Requested action aborted: Hotmail server returned -01 status\r\n"},
      {12, "451 Requested action aborted: Hotmail server returned 012 status\r\n"},
      {200, "451 Requested action aborted: Hotmail server returned 200 status\r\n"},
  };
  for (const Case& k : cases) {
    StartText(c);
    SendText(c, "text\r\n");
    Complete(SMTP_JOB_SEND, k.result);
    EXPECT_EQ(k.reply, c.ReadLine());
    EXPECT_EQ(State::Submitted, smtp_.State());
    // The transaction is over: the text gives its memory back.
    EXPECT_EQ(0u, thePlugin.http.messageData.size());
  }
}

// Lines that arrive while a job of their connection runs wait for it and
// are taken after it, in order: after DATA they are message text, after the
// end of the text the next transaction. Fed in one packet and byte by byte.
TEST_F(SmtpTest, PipelinedLinesAreTakenInOrderBehindTheJob) {
  for (bool byteByByte : {false, true}) {
    SCOPED_TRACE(byteByByte ? "byte by byte" : "whole");
    Client c(Port());
    Greet(c);
    const auto send = [&](const std::string& input) {
      if (!byteByByte) return c.Send(input);
      for (char ch : input) {
        if (!c.Send(std::string(1, ch))) return false;
        loopback::PumpOnce();
      }
      return true;
    };
    ASSERT_TRUE(send("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\nDATA\r\nDATA\r\n"));
    EXPECT_EQ(std::string(kOk) + kOk, c.ReadUntil(std::string(kOk) + kOk));
    Complete(SMTP_JOB_LOGIN, 207);
    EXPECT_EQ(kStartInput, c.ReadLine());
    ASSERT_TRUE(send("text\r\n.\r\nMAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\nDATA\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.State() == State::Submitted; }));
    EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\n\r\nDATA\r\ntext\r\n\r\n", PostBody());
    EXPECT_EQ("", c.ReadFor(30));
    Complete(SMTP_JOB_LOGIN, 207);  // no log-in was started: ignored
    Complete(SMTP_JOB_SEND, 201);
    EXPECT_EQ(std::string(kOk) + kOk + kOk, c.ReadUntil(std::string(kOk) + kOk + kOk));
    Complete(SMTP_JOB_SEND, 500);  // nothing waits for a second answer
    Complete(SMTP_JOB_LOGIN, 207);
    EXPECT_EQ(kStartInput, c.ReadLine());
    EXPECT_EQ("", c.ReadFor(30));
  }
}

TEST_F(SmtpTest, CompletionAfterItsConnectionEndedNeverReachesTheNext) {
  {
    Client c(Port());
    Greet(c);
    ASSERT_TRUE(c.Send("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\nDATA\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.State() == State::Recipient; }));
    PumpFor(30);
  }  // the client drops while its log-in runs
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  Greet(next);
  EXPECT_EQ(kInProgress, Ask(next, "DATA"));  // the old job still holds the record
  Complete(SMTP_JOB_LOGIN, 207);              // and belongs to the connection that has gone
  EXPECT_EQ("", next.ReadFor(50));
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(kUnimplemented, Ask(next, "Subject: not text"));
  // The same for a send job whose client has gone.
  EXPECT_EQ(kOk, Ask(next, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(next, "RCPT TO:<two@example.com>"));
  StartText(next);
  SendText(next, "text\r\n");
  next.Close();
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client third(Port());
  ASSERT_EQ(kGreeting, third.ReadLine());
  Complete(SMTP_JOB_SEND, 201);
  EXPECT_EQ("", third.ReadFor(50));
}

TEST_F(SmtpTest, NewConnectionStartsWithoutTheLastOnesTransaction) {
  thePlugin.http.userName = "bob";
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
    EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
    StartText(c);
    ASSERT_TRUE(c.Send("half a message\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !thePlugin.http.messageData.empty(); }));
  }  // drops in the middle of the text
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  ASSERT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(kOk, Ask(next, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(next, "RCPT TO:<two@example.com>"));
  StartText(next);
  SendText(next, "whole\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nwhole\r\n\r\n", PostBody());
}

TEST_F(SmtpTest, OversizedMessageIsRefusedAndTheConnectionGoesOn) {
  thePlugin.settings.log = false;  // sixty-four megabytes of text
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  StartText(c);
  const std::string line = std::string(1022, 'x') + "\r\n";
  std::string block;
  for (int i = 0; i < 1024; ++i) block += line;  // 1 MiB
  for (size_t sent = 0; sent <= CHotmailSMTP::kMaxMessageSize; sent += block.size())
    ASSERT_TRUE(c.Send(block));
  ASSERT_TRUE(c.Send(".\r\n"));
  EXPECT_EQ("552 Message size exceeds fixed maximum message size\r\n", c.ReadLine(20000));
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(0u, thePlugin.http.messageData.size());
  EXPECT_EQ(kOk, Ask(c, "NOOP"));
  // The next message is taken as usual.
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  StartText(c);
  SendText(c, line);
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\n\r\n" + line + "\r\n", PostBody());
}

TEST_F(SmtpTest, OverlongLineIsRefusedAndTheConnectionClosed) {
  thePlugin.settings.log = false;
  {
    // Text lines may be far longer than commands.
    Client c(Port());
    Greet(c);
    EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
    EXPECT_EQ(kOk, Ask(c, "RCPT TO:<" + std::string(CHotmailSMTP::kMaxCommandLine - 10, 'r') + ">"));
    StartText(c);
    SendText(c, std::string(CHotmailSMTP::kMaxTextLine, 't') + "\r\n");
    Complete(SMTP_JOB_SEND, 201);
    EXPECT_EQ(kOk, c.ReadLine());
    ASSERT_TRUE(c.Send("RCPT TO:<" + std::string(CHotmailSMTP::kMaxCommandLine, 'r') + ">\r\n"));
    EXPECT_EQ("500 Line too long\r\n", c.ReadLine());
    EXPECT_TRUE(c.WaitClosed());
  }
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(c.Send(std::string(CHotmailSMTP::kMaxCommandLine + 1, 'A') + "\r\n"));
    EXPECT_EQ("500 Line too long\r\n", c.ReadLine());
    EXPECT_TRUE(c.WaitClosed());
  }
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
}

// Recipients are capped; RSET gives the envelope's memory back.
TEST_F(SmtpTest, RecipientsBeyondTheLimitAreRefused) {
  thePlugin.settings.log = false;
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  std::string rcpts;
  for (size_t i = 0; i <= CHotmailSMTP::kMaxRecipients; ++i) rcpts += "RCPT TO:<r" + std::to_string(i) + "@example.com>\r\n";
  ASSERT_TRUE(c.Send(rcpts));
  std::string expected;
  for (size_t i = 0; i < CHotmailSMTP::kMaxRecipients; ++i) expected += kOk;
  expected += "452 Too many recipients\r\n";
  EXPECT_EQ(expected, c.ReadUntil("452 Too many recipients\r\n"));
  EXPECT_EQ(std::string::npos, thePlugin.http.recipientLines.find("r1000@"));
  EXPECT_EQ(kOk, Ask(c, "RSET"));
  EXPECT_LT(thePlugin.http.recipientLines.capacity(), 1000u);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<again@example.com>"));
}

TEST_F(SmtpTest, SecondClientIsTurnedAwayWhileOneIsServed) {
  Client first(Port());
  ASSERT_EQ(kGreeting, first.ReadLine());
  Client second(Port());
  EXPECT_EQ("421 localhost Socket is already used\r\n", second.ReadLine());
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(kOk, Ask(first, "NOOP"));
}

TEST_F(SmtpTest, ClientThatStaysAfterQuitIsClosedAtTheNextConnection) {
  Client first(Port());
  ASSERT_EQ(kGreeting, first.ReadLine());
  EXPECT_EQ("221 localhost Service is closing\r\n", Ask(first, "QUIT"));
  EXPECT_EQ("", first.ReadFor(50));
  Client second(Port());
  EXPECT_EQ(kGreeting, second.ReadLine());
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(kOk, Ask(second, "NOOP"));
}

// A silent client is closed after the idle time; waiting for a job of its
// own is no idleness.
TEST_F(SmtpTest, SilentClientIsClosedAfterTheIdleTime) {
  smtp_.SetIdleTimeOut(1);
  Client c(Port());
  Greet(c);
  ASSERT_TRUE(c.Send("DATA\r\n"));
  EXPECT_EQ("", c.ReadFor(1500));
  Complete(SMTP_JOB_LOGIN, 207);
  EXPECT_EQ(kStartInput, c.ReadLine());
  EXPECT_EQ("421 localhost Idle timeout, closing connection\r\n", c.ReadLine(5000));
  EXPECT_TRUE(c.WaitClosed());
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
}

TEST_F(SmtpTest, ClientThatDropsFreesTheServer) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    ASSERT_TRUE(c.Send("NOOP\r\nHE"));
    ASSERT_EQ(kOk, c.ReadLine());
  }
  EXPECT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ("250 localhost\r\n", Ask(next, "HELO x"));
}

TEST_F(SmtpTest, SecondListenReportsAndLeavesNoListener) {
  EXPECT_FALSE(smtp_.Listen());
  EXPECT_EQ(0u, smtp_.ListeningSocket());
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("SMTP サーバの２重起動です。")) << log;
  EXPECT_NE(std::string::npos, log.find("HotmailSMTP.cpp")) << log;
  EXPECT_TRUE(smtp_.Listen());
  Client c(Port());
  EXPECT_EQ(kGreeting, c.ReadLine());
}

TEST_F(SmtpTest, LogRecordsMessageTextLines) {
  thePlugin.http.userName = "bob";
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  // The real client's jobs log from their workers: each is let finish
  // before the server writes its next lines.
  ASSERT_TRUE(c.Send("DATA\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return realJobsDone_ == 1; }));
  Complete(SMTP_JOB_LOGIN, 207);
  ASSERT_EQ(kStartInput, c.ReadLine());
  SendText(c, "..dot\r\nQUIT\r\n");
  ASSERT_TRUE(PumpUntil([&] { return realJobsDone_ == 2; }));
  Complete(SMTP_JOB_SEND, 201);
  EXPECT_EQ(kOk, c.ReadLine());
  const std::string log = Log();
  size_t at = 0;
  for (const std::string& piece : {std::string("[SMTP の待機を開始しました]\n") + kSent + kGreeting,
                                   std::string(kReceived) + "DATA\n", kSent + std::string(kStartInput),
                                   kReceived + std::string("..dot\n"), kReceived + std::string("QUIT\n"),
                                   kReceived + std::string(".\n"), kSent + std::string(kOk)}) {
    at = log.find(piece, at);
    ASSERT_NE(std::string::npos, at) << piece << "\nin\n" << log;
  }
}

}  // namespace
