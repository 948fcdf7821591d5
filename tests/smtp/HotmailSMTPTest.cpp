// The SMTP server over real loopback connections and a pumped message loop.
// The test plays the mail service's part: it completes the operations that
// AUTH and the end of the text start, and reads the body the send is given.
#include <gtest/gtest.h>

#include <string>

#include "config/Log.h"
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
const char kAuthUnavailable[] = "454 Temporary authentication failure\r\n";
const char kBadCredentials[] = "501 User name and password must not contain CR, LF or NUL\r\n";
const char kAuthRequired[] = "503 authentications are requierd\r\n";
const char kAlreadyAuthenticated[] = "503 Already authenticated\r\n";
const char kNoMechanism[] = "504 Unrecognized authentications type\r\n";
const char kInProgress[] = "451 Requested action aborted: a Hotmail request is still in progress\r\n";
const char kSent[] = "[以下の文字列を Becky に送信しました]\n";
const char kReceived[] = "[以下のコマンドを Becky から受信しました]\n";
// AUTH PLAIN responses: "\0alice/extra\0secret" and "\0bob\0pw".
const char kAliceExtra[] = "AGFsaWNlL2V4dHJhAHNlY3JldA==";
const char kBob[] = "AGJvYgBwdw==";

// Keeps what each send job was given, and starts the job as usual.
class PostingSmtp : public CHotmailSMTP {
 public:
  using CHotmailSMTP::CHotmailSMTP;
  std::string posted;

 protected:
  void Post(std::string body) override {
    posted = body;
    CHotmailSMTP::Post(std::move(body));
  }
};

class SmtpTest : public ServerTest<PostingSmtp, WM_SMTP_SOCKET, &CSettings::smtpPortNumber> {
 protected:
  // The envelope and text the connection holds now.
  std::string PostBody() const { return smtp_.MessageBody(); }
  // The body the last send job posted.
  const std::string& Posted() const { return server_.posted; }

  // Sends an AUTH line and waits until its log-in job has started.
  void SendAuth(Client& c, const std::string& line) {
    ASSERT_TRUE(c.Send(line + "\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.Authenticating(); }));
    EXPECT_EQ("", c.ReadFor(20));  // nothing until the log-in ends
  }

  // AUTH whose log-in job ends with `result`; returns the reply.
  std::string Auth(Client& c, const std::string& line, LPARAM result = 207) {
    SendAuth(c, line);
    Complete(result);
    return c.ReadLine();
  }

  // Sends DATA, which an authenticated connection gets answered at once.
  void StartText(Client& c) {
    ASSERT_EQ(kStartInput, Ask(c, "DATA"));
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
    ASSERT_EQ(kAuthOk, Auth(c, std::string("AUTH PLAIN ") + kBob));
  }

  CHotmailSMTP& smtp_ = server_;
};

// Each reply and the state it leaves, with every line fed whole and byte by
// byte.
TEST_F(SmtpTest, CommandRepliesAreExact) {
  struct Step {
    const char* line;
    std::string reply;
    State state;
    const char* body;  // what a send would post now; nullptr: not looked at
  };
  const Step steps[] = {
      {"EHLO client.example", "250-localhost\r\n250 AUTH PLAIN\r\n", State::Idle, nullptr},
      {"helo client", "250 localhost\r\n", State::Idle, nullptr},
      {"NOOP", kOk, State::Idle, nullptr},
      {"STARTTLS", kUnimplemented, State::Idle, nullptr},
      {"VRFY bob", kUnimplemented, State::Idle, nullptr},
      {"EXPN list", kUnimplemented, State::Idle, nullptr},
      {"HELP", kUnimplemented, State::Idle, nullptr},
      {"", kUnimplemented, State::Idle, nullptr},
      {"EHLOX", kUnimplemented, State::Idle, nullptr},
      {"MAILFROM:<a@b>", kUnimplemented, State::Idle, nullptr},
      {"DAT", kUnimplemented, State::Idle, nullptr},
      {"MAIL FROM:<a@example.com>", kOk, State::Sender, nullptr},
      {"rcpt TO:<b@example.com>", kOk, State::Recipient, "MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.com>\r\n\r\n\r\n"},
      {"RSET", kOk, State::Idle, "\r\n\r\n"},
      // No order is enforced: RCPT without MAIL is taken as it comes.
      {"RCPT TO:<c@example.com>", kOk, State::Recipient, nullptr},
      {"QUIT", "221 localhost Service is closing\r\n", State::Quit, nullptr},
  };
  for (bool byteByByte : {false, true}) {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(step.line) + (byteByByte ? " (byte by byte)" : ""));
      ASSERT_TRUE(c.Feed(std::string(step.line) + "\r\n", byteByByte));
      EXPECT_EQ(step.reply, c.ReadUntil(step.reply));
      EXPECT_EQ(step.state, smtp_.State());
      if (step.body != nullptr) {
        EXPECT_EQ(step.body, PostBody());
      }
    }
    // The server leaves the closing to the client.
    EXPECT_EQ("", c.ReadFor(50));
    EXPECT_FALSE(c.closed());
    c.Close();
    ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  }
}

// AUTH answers only once the service has judged the credentials; only a
// successful AUTH authenticates the connection, and only once: a client
// authenticates again on a new connection.
TEST_F(SmtpTest, AuthPlainIsCheckedWithTheService) {
  struct Case {
    std::string line;
    LPARAM result;
    const char* reply;
    CCredentials checked;
  };
  const Case cases[] = {
      // The user name is cut at its first "/"; an authorization identity
      // that is empty or the user's own is taken; a "/" in the password stays.
      {std::string("AUTH PLAIN ") + kAliceExtra, 207, kAuthOk, {"alice", "secret"}},
      {std::string("auth plain ") + kBob, 207, kAuthOk, {"bob", "pw"}},
      {"AUTH PLAIN Y2Fyb2wAY2Fyb2wAcC93", 207, kAuthOk, {"carol", "p/w"}},  // carol\0carol\0p/w
      // Without padding, and broken by spaces and line feeds, the same bytes.
      {"AUTH PLAIN AGFsaWNlL2V4dHJhAHNlY3JldA", 207, kAuthOk, {"alice", "secret"}},
      {"AUTH PLAIN AGJv YgB\nwdw= =", 207, kAuthOk, {"bob", "pw"}},
      {"AUTH PLAIN AGRhdmU=", 207, kAuthOk, {"dave", ""}},  // a missing password reads as empty
      {std::string("AUTH PLAIN ") + kBob, 401, kAuthFailed, {"bob", "pw"}},
      {std::string("AUTH PLAIN ") + kBob, -1, kAuthUnavailable, {"bob", "pw"}},
      {std::string("AUTH PLAIN ") + kBob, 500, kAuthUnavailable, {"bob", "pw"}},
  };
  for (const Case& k : cases) {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    SendAuth(c, k.line);
    Complete(k.result);
    EXPECT_EQ(k.reply, c.ReadLine()) << k.line;
    const bool ok = k.result == 207;
    EXPECT_EQ(ok, smtp_.Authenticated()) << k.line;
    EXPECT_EQ(ok ? k.checked : CCredentials(), smtp_.Credentials()) << k.line;
    c.Close();
    ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  }
  // Refused before any log-in: no user name, acting as another user, CR,
  // LF or NUL in the credentials (they would reach an HTTP header), and
  // other mechanisms. A failed AUTH may be tried again.
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  const struct {
    const char* line;
    const char* reply;
  } refused[] = {
      {"AUTH PLAIN AABwdw==", kAuthFailed},           // \0\0pw
      {"AUTH PLAIN YWRtaW4AY2Fyb2wAcC93", kAuthFailed},  // admin\0carol\0p/w
      {"AUTH PLAIN YWxpY2UAYm9iAHB3", kAuthFailed},   // alice\0bob\0pw
      {"AUTH PLAIN AGEKWC1JbmplY3RlZDogMQBwdw==", kBadCredentials},  // \0a\nX-Injected: 1\0pw
      {"AUTH PLAIN AGENYgBwdw==", kBadCredentials},   // \0a\rb\0pw
      {"AUTH PLAIN AGEAcA13", kBadCredentials},       // \0a\0p\rw
      {"AUTH PLAIN AGEAcAB3", kBadCredentials},       // \0a\0p\0w
      {"AUTH LOGIN", kNoMechanism},
      {"AUTH CRAM-MD5 abc", kNoMechanism},
      {"AUTH", kNoMechanism},
      {"AUTH PLAINX abc", kNoMechanism},
      {"AUTH  PLAIN AGJvYgBwdw==", kNoMechanism},
  };
  for (const auto& k : refused) {
    EXPECT_EQ(k.reply, Ask(c, k.line)) << k.line;
    EXPECT_FALSE(smtp_.Authenticated()) << k.line;
    EXPECT_FALSE(smtp_.Authenticating()) << k.line;  // no log-in was started
  }
  // After a successful AUTH every further AUTH is refused and changes nothing.
  ASSERT_EQ(kAuthOk, Auth(c, std::string("AUTH PLAIN ") + kBob));
  for (const std::string& line : {std::string("AUTH PLAIN ") + kAliceExtra, std::string("AUTH PLAIN"),
                                  std::string("AUTH LOGIN"), std::string("auth plain AGJvYgBwdw==")}) {
    EXPECT_EQ(kAlreadyAuthenticated, Ask(c, line)) << line;
    EXPECT_TRUE(smtp_.Authenticated()) << line;
    EXPECT_EQ((CCredentials{"bob", "pw"}), smtp_.Credentials()) << line;
  }
  EXPECT_EQ(kOk, Ask(c, "NOOP"));  // the line after is a command again
  EXPECT_EQ(State::Idle, smtp_.State());
}

// Without an initial response, "334 " asks for it on the next line; "*"
// cancels.
TEST_F(SmtpTest, AuthPlainTakesItsResponseOnTheNextLine) {
  for (const char* command : {"AUTH PLAIN", "auth plain "}) {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    EXPECT_EQ("334 \r\n", Ask(c, "AUTH PLAIN"));
    EXPECT_EQ("501 Authentication cancelled\r\n", Ask(c, "*"));
    EXPECT_FALSE(smtp_.Authenticated());  // a cancelled AUTH checks nothing
    EXPECT_EQ(kOk, Ask(c, "NOOP"));       // the line after is a command again
    EXPECT_EQ("334 \r\n", Ask(c, "AUTH PLAIN"));
    EXPECT_EQ(kBadCredentials, Ask(c, "AGEKYgBwdw=="));  // \0a\nb\0pw
    EXPECT_FALSE(smtp_.Authenticated());
    EXPECT_EQ("334 \r\n", Ask(c, command)) << command;
    ASSERT_EQ(kAuthOk, Auth(c, kBob)) << command;
    EXPECT_EQ((CCredentials{"bob", "pw"}), smtp_.Credentials());
    c.Close();
    ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  }
}

TEST_F(SmtpTest, LogShowsTheLinesAndTheUserButNeverThePassword) {
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  // However the words are separated, and on the line after a 334.
  EXPECT_EQ(kNoMechanism, Ask(c, std::string("AUTH  PLAIN ") + kAliceExtra));
  EXPECT_EQ(kUnimplemented, Ask(c, std::string("AUTH\tPLAIN ") + kAliceExtra));
  EXPECT_EQ(kUnimplemented, Ask(c, std::string("AUTH") + kAliceExtra));
  EXPECT_EQ(kNoMechanism, Ask(c, std::string("AUTH ") + kAliceExtra));
  EXPECT_EQ("334 \r\n", Ask(c, "AUTH PLAIN"));
  EXPECT_EQ(kAuthOk, Auth(c, kAliceExtra));
  EXPECT_EQ(kAlreadyAuthenticated, Ask(c, std::string("AUTH PLAIN ") + kAliceExtra));
  // Text lines are logged as they came, stuffing and all.
  StartText(c);
  SendText(c, "..dot\r\nQUIT\r\n");
  Complete(201);
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
  EXPECT_NE(std::string::npos, log.find("[Auth: UserID]\nalice\n[Auth: PassWord]\n********\n")) << log;
  EXPECT_NE(std::string::npos, log.find("[以下のコマンドを Becky から受信しました]\nAUTH PLAIN ********\n")) << log;
  EXPECT_NE(std::string::npos, log.find("[以下のコマンドを Becky から受信しました]\n********\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("secret")) << log;
  EXPECT_EQ(std::string::npos, log.find("AGFsaWNlL2V4dHJh")) << log;
}

// Only the connection's own successful AUTH lets it send.
TEST_F(SmtpTest, DataWithoutItsOwnAuthIsRefused) {
  {
    Client first(Port());
    Greet(first);
    StartText(first);
  }
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client c(Port());
  ASSERT_EQ(kGreeting, c.ReadLine());
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<a@example.com>"));
  EXPECT_EQ(kAuthRequired, Ask(c, "DATA"));
  EXPECT_EQ(State::Sender, smtp_.State());
  EXPECT_NE(std::string::npos, Log().find("「メールボックスの設定」－「詳細」－「SMTP 認証」にチェックを入れてください。"));
  // A failed AUTH authenticates nothing.
  EXPECT_EQ(kAuthFailed, Auth(c, std::string("AUTH PLAIN ") + kBob, 401));
  EXPECT_EQ(kAuthRequired, Ask(c, "DATA"));
  EXPECT_EQ(kAuthUnavailable, Auth(c, std::string("AUTH PLAIN ") + kAliceExtra, -1));
  EXPECT_EQ(kAuthRequired, Ask(c, "DATA"));
  EXPECT_EQ(CCredentials(), smtp_.Credentials());
  EXPECT_EQ(kAuthOk, Auth(c, std::string("AUTH PLAIN ") + kBob));
  EXPECT_EQ(kStartInput, Ask(c, "DATA"));
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
            Posted());
  Complete(201);
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
  Complete(201);
  ASSERT_EQ(kOk, c.ReadLine());
  // The next transaction without RSET.
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<two@example.com>"));
  StartText(c);
  SendText(c, "second\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nsecond\r\n\r\n", Posted());
  Complete(201);
  ASSERT_EQ(kOk, c.ReadLine());
  // DATA again without MAIL: the same envelope, and only the new text.
  StartText(c);
  SendText(c, "third\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nthird\r\n\r\n", Posted());
  Complete(201);
  EXPECT_EQ(kOk, c.ReadLine());
}

TEST_F(SmtpTest, FailedSendsAreAnsweredTemporaryOrPermanent) {
  Client c(Port());
  Greet(c);
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  struct Case {
    LPARAM result;
    const char* reply;
  };
  // A refusal that sending again cannot mend is permanent; the service's own
  // failures, an unreachable service and refusals that may pass are not.
  const Case cases[] = {
      {500, "451 Requested action aborted: Hotmail server returned 500 status\r\n"},
      {-1, "451 Requested action aborted: Hotmail server returned -01 status\r\n"},
      {12, "451 Requested action aborted: Hotmail server returned 012 status\r\n"},
      {200, "451 Requested action aborted: Hotmail server returned 200 status\r\n"},
      {401, "451 Requested action aborted: Hotmail server returned 401 status\r\n"},
      {408, "451 Requested action aborted: Hotmail server returned 408 status\r\n"},
      {429, "451 Requested action aborted: Hotmail server returned 429 status\r\n"},
      {413, "554 Requested action aborted: Hotmail server returned 413 status\r\n"},
      {400, "554 Requested action aborted: Hotmail server returned 400 status\r\n"},
      {403, "554 Requested action aborted: Hotmail server returned 403 status\r\n"},
  };
  for (const Case& k : cases) {
    StartText(c);
    SendText(c, "text\r\n");
    Complete(k.result);
    EXPECT_EQ(k.reply, c.ReadLine());
    EXPECT_EQ(State::Submitted, smtp_.State());
    // The transaction is over: the text gives its memory back.
    EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\n\r\n\r\n", PostBody());
  }
}

// Lines that arrive while a job of their connection runs wait for it and
// are taken after it, in order: behind AUTH's log-in the transaction, behind
// the end of the text the next one. Fed in one packet and byte by byte.
TEST_F(SmtpTest, PipelinedLinesAreTakenInOrderBehindTheJob) {
  for (bool byteByByte : {false, true}) {
    SCOPED_TRACE(byteByByte ? "byte by byte" : "whole");
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    const auto send = [&](const std::string& input) { return c.Feed(input, byteByByte); };
    ASSERT_TRUE(send(std::string("AUTH PLAIN ") + kBob + "\r\nAUTH PLAIN " + kAliceExtra +
                     "\r\nMAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\nDATA\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.Authenticating(); }));
    EXPECT_EQ("", c.ReadFor(30));
    Complete(207);
    // The second AUTH comes after the first succeeded: refused, nothing asked.
    EXPECT_EQ(std::string(kAuthOk) + kAlreadyAuthenticated + kOk + kOk + kStartInput, c.ReadUntil(kStartInput));
    EXPECT_EQ((CCredentials{"bob", "pw"}), smtp_.Credentials());
    ASSERT_TRUE(send("DATA\r\ntext\r\n.\r\nMAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\nDATA\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return smtp_.State() == State::Submitted; }));
    EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\n\r\nDATA\r\ntext\r\n\r\n", Posted());
    EXPECT_EQ("", c.ReadFor(30));
    Complete(201);
    EXPECT_EQ(std::string(kOk) + kOk + kOk + kStartInput, c.ReadUntil(kStartInput));
    Complete(500);  // nothing waits for a second answer
    EXPECT_EQ("", c.ReadFor(30));
  }
}

TEST_F(SmtpTest, CompletionAfterItsConnectionEndedNeverReachesTheNext) {
  {
    Client c(Port());
    ASSERT_EQ(kGreeting, c.ReadLine());
    SendAuth(c, std::string("AUTH PLAIN ") + kBob);
  }  // the client drops while its log-in runs
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  ASSERT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ(kInProgress, Ask(next, std::string("AUTH PLAIN ") + kBob));  // the old job still holds the record
  Complete(207);  // and belongs to the connection that has gone
  EXPECT_EQ("", next.ReadFor(50));
  EXPECT_FALSE(smtp_.Authenticated());
  EXPECT_EQ(kAuthRequired, Ask(next, "DATA"));
  // The same for a send job whose client has gone.
  EXPECT_EQ(kAuthOk, Auth(next, std::string("AUTH PLAIN ") + kBob));
  EXPECT_EQ(kOk, Ask(next, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(next, "RCPT TO:<two@example.com>"));
  StartText(next);
  SendText(next, "text\r\n");
  next.Close();
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client third(Port());
  ASSERT_EQ(kGreeting, third.ReadLine());
  Complete(201);
  EXPECT_EQ("", third.ReadFor(50));
}

TEST_F(SmtpTest, NewConnectionStartsWithoutTheLastOnesTransaction) {
  {
    Client c(Port());
    Greet(c);
    EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
    EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
    StartText(c);
    ASSERT_TRUE(c.Send("half a message\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return PostBody().find("half") != std::string::npos; }));
  }  // drops in the middle of the text
  ASSERT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  Greet(next);
  EXPECT_EQ(State::Idle, smtp_.State());
  EXPECT_EQ(kOk, Ask(next, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(next, "RCPT TO:<two@example.com>"));
  StartText(next);
  SendText(next, "whole\r\n");
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<two@example.com>\r\n\r\nwhole\r\n\r\n", Posted());
}

TEST_F(SmtpTest, OversizedMessageIsRefusedAndTheConnectionGoesOn) {
  settings_.log = false;  // sixty-four megabytes of text
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
  EXPECT_EQ("\r\n\r\n", PostBody());
  EXPECT_EQ(kOk, Ask(c, "NOOP"));
  // The next message is taken as usual, whole, however many pieces it filled.
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<one@example.com>"));
  StartText(c);
  const std::string text = block + block + ".." + block + line;
  SendText(c, text);
  EXPECT_EQ("MAIL FROM:<bob@hotmail.com>\r\nRCPT TO:<one@example.com>\r\n\r\n" + block + block + "." + block + line +
                "\r\n",
            Posted());
}

TEST_F(SmtpTest, OverlongLineIsRefusedAndTheConnectionClosed) {
  settings_.log = false;
  {
    // Text lines may be far longer than commands.
    Client c(Port());
    Greet(c);
    EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
    EXPECT_EQ(kOk, Ask(c, "RCPT TO:<" + std::string(CHotmailSMTP::kMaxCommandLine - 10, 'r') + ">"));
    StartText(c);
    SendText(c, std::string(CHotmailSMTP::kMaxTextLine, 't') + "\r\n");
    Complete(201);
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
  settings_.log = false;
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
  EXPECT_EQ(std::string::npos, PostBody().find("r1000@"));
  EXPECT_EQ(kOk, Ask(c, "RSET"));
  EXPECT_EQ("\r\n\r\n", PostBody());
  EXPECT_EQ(kOk, Ask(c, "MAIL FROM:<bob@hotmail.com>"));
  EXPECT_EQ(kOk, Ask(c, "RCPT TO:<again@example.com>"));
}

// A second client is turned away while one is served; one that drops,
// half a line and all, frees the server.
TEST_F(SmtpTest, SecondClientIsTurnedAwayUntilTheFirstDrops) {
  {
    Client first(Port());
    ASSERT_EQ(kGreeting, first.ReadLine());
    Client second(Port());
    EXPECT_EQ("421 localhost Socket is already used\r\n", second.ReadLine());
    EXPECT_TRUE(second.WaitClosed());
    ASSERT_TRUE(first.Send("NOOP\r\nHE"));
    ASSERT_EQ(kOk, first.ReadLine());
  }
  EXPECT_TRUE(PumpUntil([&] { return smtp_.ClientSocket() == 0; }));
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
  EXPECT_EQ("250 localhost\r\n", Ask(next, "HELO x"));
}

// QUIT behind a running log-in waits for it, and a client that stays after
// QUIT is closed when the next one connects.
TEST_F(SmtpTest, QuitBehindTheLogInIsAnsweredAfterIt) {
  Client first(Port());
  ASSERT_EQ(kGreeting, first.ReadLine());
  SendAuth(first, std::string("AUTH PLAIN ") + kBob);
  ASSERT_TRUE(first.Send("QUIT\r\n"));
  EXPECT_EQ("", first.ReadFor(30));
  Complete(207);
  EXPECT_EQ(std::string(kAuthOk) + "221 localhost Service is closing\r\n", first.ReadUntil("closing\r\n"));
  EXPECT_EQ(State::Quit, smtp_.State());
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
  ASSERT_EQ(kGreeting, c.ReadLine());
  SendAuth(c, std::string("AUTH PLAIN ") + kBob);
  EXPECT_EQ("", c.ReadFor(1500));
  Complete(207);
  EXPECT_EQ(kAuthOk, c.ReadLine());
  EXPECT_EQ("421 localhost Idle timeout, closing connection\r\n", c.ReadLine(5000));
  EXPECT_TRUE(c.WaitClosed());
  Client next(Port());
  EXPECT_EQ(kGreeting, next.ReadLine());
}

TEST_F(SmtpTest, SecondListenReportsAndLeavesNoListener) {
  EXPECT_FALSE(smtp_.Listen());
  EXPECT_EQ(0u, smtp_.ListeningSocket());
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("SMTP サーバの２重起動です。")) << log;
  EXPECT_NE(std::string::npos, log.find("ソースファイル名: LineServer.h")) << "the report names its own site";
  EXPECT_TRUE(smtp_.Listen());
  Client c(Port());
  EXPECT_EQ(kGreeting, c.ReadLine());
}

}  // namespace
