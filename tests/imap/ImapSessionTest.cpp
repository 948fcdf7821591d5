// IMAP conversations against an in-memory account: what the client reads,
// and what the session asked of the service (and what it must not have).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "imap/ImapSession.h"
#include "imap/UidStore.h"
#include "support/TempDir.h"
#include "FakeBackend.h"

namespace {
using namespace std::string_literals;

const std::string kMessage1 =
    "From: Ann <ann@example.com>\r\nSubject: Hello\r\nDate: Wed, 2 Jan 2002 03:04:05 +0000\r\n\r\nbody one\r\n";
const std::string kMessage2 = "Subject: Report\r\n\r\nbody two\r\n";
const std::string kMessage3 = "Subject: Third\r\nFrom: bob@example.net\r\n\r\nbody three, longer\r\n";
constexpr int64_t kJan2 = 1009940645;  // 2002-01-02 03:04:05 UTC

class ImapSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_.folders = {{{"F1", u8"受信トレイ", "inbox"}, {}},
                        {{"F2", u8"送信済み", "sentitems"}, {}},
                        {{"F3", u8"ごみ箱", "deleteditems"}, {}},
                        {{"F4", "Old", ""}, {}}};
    std::remove(dir_.File("Kestrelon.uid").c_str());  // a fresh account: no UIDs given yet
    backend_.AddMessage("F1", "MSG1", kMessage1, false, "Hello", "Ann <ann@example.com>", kJan2);
    backend_.AddMessage("F1", "MSG2", kMessage2, true, "Report", "carl@example.org", kJan2 + 86400);
    backend_.AddMessage("F1", "MSG3", kMessage3, false, "Third", "bob@example.net", kJan2 + 2 * 86400);
    Open();
  }

  void Open(CImapSession::DeleteMode mode = CImapSession::DeleteMode::MoveToDeletedItems) {
    session_.reset();
    uids_.reset(new CUidStore(dir_.File("Kestrelon.uid")));
    uids_->Load();
    closed_ = false;
    CImapSession::Hooks hooks{[this](const std::string& text) { out_ += text; }, [this] { closed_ = true; },
                              [this] { return out_.size() > congestedAbove_; },
                              [this](const std::string& text) { logged_.push_back(text); }, {}, {}, {}, {}, {},
                              [this](std::vector<COutputPiece> pieces) {
                                for (const COutputPiece& piece : pieces) {
                                  out_ += piece.Bytes();
                                  if (piece.held) held_.push_back(piece.held.get());
                                }
                              }};
    session_.reset(new CImapSession(backend_, *uids_, hooks, mode, CImapSession::Limits()));
    session_->Start();
    out_.clear();
  }

  // Sends bytes, lets the service answer everything, returns what came back.
  std::string Say(const std::string& bytes) {
    out_.clear();
    session_->Receive(bytes.data(), bytes.size());
    backend_.Pump();
    return out_;
  }

  void LogIn() { ASSERT_EQ(0u, Say("l LOGIN demo demo\r\n").find("l OK")); }
  void SelectInbox() {
    LogIn();
    std::string reply = Say("s SELECT INBOX\r\n");
    ASSERT_NE(std::string::npos, reply.find("s OK [READ-WRITE]")) << reply;
    backend_.calls.clear();
  }
  bool Called(const std::string& call) const {
    for (const std::string& c : backend_.calls) {
      if (c == call) return true;
    }
    return false;
  }

  TempDir dir_;
  FakeBackend backend_;
  std::unique_ptr<CUidStore> uids_;
  std::unique_ptr<CImapSession> session_;
  std::string out_;
  std::vector<const std::string*> held_;  // the texts pieces of replies were sent from
  std::vector<std::string> logged_;  // the received commands as the log shows them
  bool closed_ = false;
  size_t congestedAbove_ = static_cast<size_t>(-1);  // unread replies past this pause a FETCH
};

TEST_F(ImapSessionTest, LogInByLoginAndPlainWithAndWithoutInitialResponse) {
  const struct {
    std::string say;
    std::string reply;  // how the reply starts
  } kCases[] = {
      {"a SELECT INBOX\r\n", "a BAD Log in first\r\n"},
      {"a LOGIN demo wrong\r\n", "a NO [AUTHENTICATIONFAILED] Authentication failed\r\n"},
      {"a LOGIN demo\r\n", "a BAD LOGIN takes a user name and a password\r\n"},
      {"a AUTHENTICATE CRAM-MD5\r\n", "a NO Unsupported authentication mechanism\r\n"},
      {"a AUTHENTICATE PLAIN AGRlbW8Ad3Jvbmc=\r\n", "a NO [AUTHENTICATIONFAILED]"},
      {"a AUTHENTICATE PLAIN AGRlbW8Ad3Jvbmc\r\n", "a BAD Invalid base64 data\r\n"},
      {"a AUTHENTICATE PLAIN ZGVtbw==\r\n", "a BAD Invalid PLAIN response\r\n"},
      {"a AUTHENTICATE PLAIN b3RoZXIAZGVtbwBkZW1v\r\n", "a NO [AUTHORIZATIONFAILED]"},
      {"a AUTHENTICATE PLAIN\r\n*\r\n", "+ \r\na BAD AUTHENTICATE cancelled\r\n"},
      {"a LOGIN demo {6+}\r\nde\r\nmo\r\n", "a BAD User name and password must not contain CR, LF or NUL\r\n"},
      {"a LOGIN {5+}\r\nde\0mo demo\r\n"s, "a BAD User name and password must not contain CR, LF or NUL\r\n"},
      {"a AUTHENTICATE PLAIN AGRlCm1vAGRlbW8=\r\n", "a BAD User name and password must not contain CR, LF"},
      {"a AUTHENTICATE PLAIN\r\nAGRlbW8AZGVtbw==\r\n", "+ \r\na OK [CAPABILITY"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(0u, Say(c.say).find(c.reply)) << c.say << " gave " << out_;
    bool loggedIn = c.reply.find(" OK ") != std::string::npos;
    EXPECT_EQ(loggedIn, session_->GetState() == CImapSession::State::Authenticated) << c.say;
    Open();
  }
  EXPECT_EQ(0u, Say("a AUTHENTICATE PLAIN AGRlbW8AZGVtbw==\r\n").find("a OK [CAPABILITY IMAP4rev1 "));
  EXPECT_EQ(CImapSession::State::Authenticated, session_->GetState());
  EXPECT_EQ("b BAD Not valid in this state\r\n", Say("b LOGIN demo demo\r\n"));
  Open();
  backend_.reachable = false;
  EXPECT_EQ("a NO [UNAVAILABLE] The mail service cannot be reached\r\n", Say("a LOGIN demo demo\r\n"));
}

// Credentials that discovered their account before are tried by reading
// the folder list, which SELECT then uses; one request, not three. They
// are still tried each time: a password changed on the service fails.
TEST_F(ImapSessionTest, KnownCredentialsAreTriedByTheFolderList) {
  LogIn();
  Open();
  backend_.calls.clear();
  LogIn();
  EXPECT_EQ(0u, Say("s SELECT INBOX\r\n").find("* FLAGS"));
  EXPECT_EQ((std::vector<std::string>{"ListFolders", "ListMessages F1"}), backend_.calls);
  // A folder list refused otherwise sends the LOGIN to discovery again.
  Open();
  backend_.calls.clear();
  backend_.failures["ListFolders"] = MailResult::RefusedWith(404);
  LogIn();
  EXPECT_EQ((std::vector<std::string>{"ListFolders", "Login demo"}), backend_.calls);
  for (const bool reachable : {true, false}) {
    Open();
    backend_.password = "changed";
    backend_.reachable = reachable;
    EXPECT_EQ(reachable ? "a NO [AUTHENTICATIONFAILED] Authentication failed\r\n"
                        : "a NO [UNAVAILABLE] The mail service cannot be reached\r\n",
              Say("a LOGIN demo demo\r\n"));
    EXPECT_EQ(CImapSession::State::NotAuthenticated, session_->GetState());
  }
}

// The log shows each command as the command reader cut it; a log-in, and
// anything that is not a command of the table, only up to its name: a
// password never reaches the log, however the client sends it.
TEST_F(ImapSessionTest, LogShowsCommandsAsReadWithoutPasswords) {
  const struct {
    std::string say;
    std::vector<std::string> logged;
  } kCases[] = {
      {"a NOOP\nb LOGIN demo demo\r\n", {"a NOOP", "b LOGIN ********"}},
      {"LOGIN demo secret\r\n", {"LOGIN DEMO ********"}},
      {"c  LOGIN demo secret\r\n", {"********"}},
      {"c\tLOGIN demo secret\r\n", {"********"}},
      {"c login {4+}\r\ndemo {6+}\r\nsecret\r\n", {"c LOGIN ********"}},
      {"c LOGIN demo {99999999}\r\nsecret\r\nd NOOP\r\n", {"c LOGIN ********", "********", "d NOOP"}},
      {"e AUTHENTICATE PLAIN\r\nAGRlbW8Ac2VjcmV0\r\n", {"e AUTHENTICATE ********", "********"}},
      {"e AUTHENTICATE PLAIN AGRlbW8Ac2VjcmV0\r\n", {"e AUTHENTICATE ********"}},
      {"f FROB secret\r\n", {"f FROB ********"}},
  };
  for (const auto& c : kCases) {
    for (bool bytewise : {false, true}) {
      Open();
      logged_.clear();
      if (bytewise) {
        for (char b : c.say) Say(std::string(1, b));
      } else {
        Say(c.say);
      }
      EXPECT_EQ(c.logged, logged_) << c.say << (bytewise ? " byte by byte" : "");
    }
  }
  // A line that follows a refused literal may be that literal: its reply
  // does not repeat it.
  Open();
  EXPECT_EQ("c BAD Command line too long\r\n* BAD Missing command\r\n",
            Say("c LOGIN demo {99999999}\r\nsecret\r\n"));
}

TEST_F(ImapSessionTest, ListStatusAndSelect) {
  LogIn();
  EXPECT_EQ(
      "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
      "* LIST (\\HasNoChildren \\Sent) \"/\" &kAFP4W4IMH8-\r\n"
      "* LIST (\\HasNoChildren \\Trash) \"/\" &MFQwf3ux-\r\n"
      "* LIST (\\HasNoChildren) \"/\" Old\r\n"
      "a OK LIST completed\r\n",
      Say("a LIST \"\" *\r\n"));
  EXPECT_EQ("* LSUB (\\HasNoChildren) \"/\" INBOX\r\nb OK LSUB completed\r\n", Say("b LSUB \"\" inbox\r\n"));
  EXPECT_EQ("* LIST (\\Noselect) \"/\" \"\"\r\nc OK LIST completed\r\n", Say("c LIST \"\" \"\"\r\n"));
  // Many wildcards that cannot match cost no more than a few.
  EXPECT_EQ("c OK LIST completed\r\n", Say("c LIST \"\" \"" + std::string(200, '*') + "Q\"\r\n"));
  EXPECT_EQ("* LIST (\\HasNoChildren) \"/\" Old\r\nc OK LIST completed\r\n", Say("c LIST \"\" \"%*%l%d**\"\r\n"));
  std::string status = Say("d STATUS INBOX (MESSAGES UNSEEN UIDNEXT)\r\n");
  EXPECT_EQ("* STATUS INBOX (MESSAGES 3 UNSEEN 2 UIDNEXT 4)\r\nd OK STATUS completed\r\n", status);
  EXPECT_EQ("e NO [NONEXISTENT] No such mailbox\r\n", Say("e SELECT Nothing\r\n"));
  std::string select = Say("f SELECT &MFQwf3ux-\r\n");
  EXPECT_NE(std::string::npos, select.find("* 0 EXISTS\r\n"));
  EXPECT_EQ("f OK FETCH completed\r\n", Say("f FETCH 1:* FLAGS\r\n"));
  EXPECT_EQ("f BAD Message sequence number out of range\r\n", Say("f FETCH 2:* FLAGS\r\n"));
  select = Say("g EXAMINE inbox\r\n");
  uint32_t validity = uids_->Folder("demo", "F1").validity;
  EXPECT_EQ(
      "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
      "* OK [PERMANENTFLAGS (\\Seen)] Only \\Seen is kept on the service\r\n"
      "* 3 EXISTS\r\n* 0 RECENT\r\n* OK [UNSEEN 1] First unseen\r\n"
      "* OK [UIDVALIDITY " + std::to_string(validity) + "] UIDs valid\r\n"
      "* OK [UIDNEXT 4] Predicted next UID\r\n"
      "g OK [READ-ONLY] EXAMINE completed\r\n",
      select);
  // Read-only: a body fetch does not mark, STORE is refused, nothing changes.
  Say("h FETCH 1 BODY[]\r\n");
  EXPECT_EQ("i NO [READ-ONLY] The folder is read-only\r\n", Say("i STORE 1 +FLAGS (\\Deleted)\r\n"));
  EXPECT_FALSE(backend_.FindMessage("F1", "MSG1")->info.read);
  EXPECT_FALSE(Called("Read MSG1"));
}

TEST_F(ImapSessionTest, UidsStayAcrossSessionsAndNewMessagesGetHigherOnes) {
  SelectInbox();
  EXPECT_EQ("* SEARCH 1 2 3\r\na OK SEARCH completed\r\n", Say("a UID SEARCH ALL\r\n"));
  uint32_t validity = uids_->Folder("demo", "F1").validity;
  // A new session (a restart: the store is read again from its file).
  backend_.folders[0].messages.erase(backend_.folders[0].messages.begin());
  backend_.AddMessage("F1", "MSG4", "Subject: new\r\n\r\nx\r\n");
  Open();
  SelectInbox();
  EXPECT_EQ(validity, uids_->Folder("demo", "F1").validity);
  EXPECT_EQ("* SEARCH 2 3 4\r\nb OK SEARCH completed\r\n", Say("b UID SEARCH ALL\r\n"));
  EXPECT_EQ("* 1 FETCH (UID 2)\r\nc OK FETCH completed\r\n", Say("c FETCH 1 UID\r\n"));
  EXPECT_EQ("* 3 FETCH (UID 4)\r\nd OK FETCH completed\r\n", Say("d UID FETCH 4:* UID\r\n"));
  EXPECT_EQ("* 3 FETCH (UID 4)\r\ne OK FETCH completed\r\n", Say("e UID FETCH 9:* UID\r\n"));
  EXPECT_EQ("f OK FETCH completed\r\n", Say("f UID FETCH 1 UID\r\n"));
  EXPECT_EQ("g BAD Message sequence number out of range\r\n", Say("g FETCH 4 UID\r\n"));
}

TEST_F(ImapSessionTest, FetchItemsAndTheReadFlag) {
  SelectInbox();
  std::string reply = Say("a FETCH 1:2 (UID FLAGS RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (Subject)]<0.9>)\r\n");
  EXPECT_EQ(
      "* 1 FETCH (UID 1 FLAGS () RFC822.SIZE " + std::to_string(kMessage1.size()) +
          " INTERNALDATE \"02-Jan-2002 03:04:05 +0000\" BODY[HEADER.FIELDS (Subject)]<0> {9}\r\nSubject: )\r\n"
          "* 2 FETCH (UID 2 FLAGS (\\Seen) RFC822.SIZE " + std::to_string(kMessage2.size()) +
          " INTERNALDATE \"03-Jan-2002 03:04:05 +0000\" BODY[HEADER.FIELDS (Subject)]<0> {9}\r\nSubject: )\r\n"
          "a OK FETCH completed\r\n",
      reply);
  EXPECT_FALSE(Called("Read MSG1"));
  // Each message is downloaded once for all the items that need it.
  EXPECT_EQ(2u, backend_.calls.size());
  backend_.calls.clear();
  reply = Say("b UID FETCH 1 (BODY.PEEK[] ENVELOPE)\r\n");
  EXPECT_EQ(0u, reply.find("* 1 FETCH (BODY[] {" + std::to_string(kMessage1.size()) + "}\r\n" + kMessage1 +
                           " ENVELOPE (\"Wed, 2 Jan 2002 03:04:05 +0000\" \"Hello\" ((\"Ann\" NIL \"ann\""));
  EXPECT_NE(std::string::npos, reply.find(") UID 1)\r\nb OK FETCH completed\r\n"));
  EXPECT_EQ((std::vector<std::string>{"Fetch MSG1"}), backend_.calls);
  backend_.calls.clear();
  // Without PEEK the message becomes read, on the service too.
  reply = Say("c FETCH 1 (FLAGS BODY[TEXT])\r\n");
  EXPECT_EQ("* 1 FETCH (BODY[TEXT] {10}\r\nbody one\r\n FLAGS (\\Seen))\r\nc OK FETCH completed\r\n", reply);
  EXPECT_EQ((std::vector<std::string>{"Read MSG1"}), backend_.calls) << "the message was downloaded again";
  EXPECT_TRUE(backend_.FindMessage("F1", "MSG1")->info.read);
  // A message the service cannot give: the others still come, then NO.
  backend_.failures["Fetch MSG3"] = FakeBackend::Unavailable();
  reply = Say("d FETCH 2:3 RFC822.HEADER\r\n");
  EXPECT_EQ("* 2 FETCH (RFC822.HEADER {19}\r\nSubject: Report\r\n\r\n)\r\nd OK FETCH completed\r\n",
            Say("d FETCH 2 RFC822.HEADER\r\n"));
  EXPECT_EQ("e NO Some messages could not be fetched\r\n", Say("e FETCH 3 BODY[]\r\n"));
  EXPECT_FALSE(backend_.FindMessage("F1", "MSG3")->info.read);
  EXPECT_EQ("f BAD Invalid fetch item BODY[9.MIME.X]\r\n", Say("f FETCH 1 BODY[9.MIME.X]\r\n"));
}

TEST_F(ImapSessionTest, StoreChangesTheReadFlagOnTheServiceAndTheRestAtOnce) {
  SelectInbox();
  EXPECT_EQ("* 1 FETCH (FLAGS (\\Seen))\r\n* 3 FETCH (FLAGS (\\Seen))\r\na OK STORE completed\r\n",
            Say("a STORE 1,3 +FLAGS (\\Seen)\r\n"));
  EXPECT_TRUE(backend_.FindMessage("F1", "MSG1")->info.read);
  EXPECT_TRUE(backend_.FindMessage("F1", "MSG3")->info.read);
  EXPECT_EQ("* 2 FETCH (UID 2 FLAGS (\\Deleted \\Flagged))\r\nb OK STORE completed\r\n",
            Say("b UID STORE 2 FLAGS (\\Deleted \\flagged)\r\n"));
  EXPECT_FALSE(backend_.FindMessage("F1", "MSG2")->info.read);
  EXPECT_EQ("c OK STORE completed\r\n", Say("c STORE 1 -FLAGS.SILENT (\\Seen)\r\n"));
  EXPECT_FALSE(backend_.FindMessage("F1", "MSG1")->info.read);
  // Refused commands change nothing.
  backend_.calls.clear();
  EXPECT_EQ("d BAD Invalid system flag \\Recent\r\n", Say("d STORE 3 -FLAGS (\\Seen \\Recent)\r\n"));
  EXPECT_EQ("e BAD Message sequence number out of range\r\n", Say("e STORE 1:4 -FLAGS (\\Seen)\r\n"));
  EXPECT_EQ("f BAD Invalid store item\r\n", Say("f STORE 3 FLAG (\\Seen)\r\n"));
  EXPECT_TRUE(backend_.calls.empty());
  EXPECT_TRUE(backend_.FindMessage("F1", "MSG3")->info.read);
  // A read flag the service refuses is not shown as changed.
  backend_.failures["Unread MSG3"] = FakeBackend::Failed();
  EXPECT_EQ("* 3 FETCH (FLAGS (\\Seen))\r\ng NO The read flag of some messages could not be changed on the service\r\n",
            Say("g STORE 3 -FLAGS (\\Seen)\r\n"));
  EXPECT_TRUE(backend_.FindMessage("F1", "MSG3")->info.read);
  // A folder holds so many keywords; those no message carries make room.
  std::string many;
  for (int i = 0; i < 100; ++i) many += " k" + std::to_string(i);
  const std::string kSystem = "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft ";
  const struct {
    std::string say, reply;  // how the reply starts
  } kKeywords[] = {
      {"h STORE 1 +FLAGS.SILENT (" + many.substr(1) + ")", kSystem + "k0 k1 "},
      {"i STORE 2 +FLAGS (extra)", "i NO [LIMIT] Too many keywords in this folder\r\n"},
      {"j FETCH 2 FLAGS", "* 2 FETCH (FLAGS (\\Deleted \\Flagged))\r\n"},
      {"k STORE 1 -FLAGS.SILENT (k0)", "k OK"},
      {"l STORE 2 +FLAGS.SILENT (extra more)", "l NO [LIMIT]"},  // room for one: all or none
      {"m STORE 2 +FLAGS.SILENT (extra)", kSystem + "k1 k2 "},
  };
  for (const auto& k : kKeywords) EXPECT_EQ(0u, Say(k.say + "\r\n").find(k.reply)) << k.say << " gave " << out_;
  EXPECT_NE(std::string::npos, out_.find(" k99 extra)\r\nm OK")) << out_;
}

TEST_F(ImapSessionTest, ExpungeFollowsTheDeleteMode) {
  const struct {
    CImapSession::DeleteMode mode;
    const char* call;
    const char* reply;
    size_t left;
  } kModes[] = {
      {CImapSession::DeleteMode::MoveToDeletedItems, "Move MSG2 F3", "* 2 EXPUNGE\r\nx OK EXPUNGE completed\r\n", 2},
      {CImapSession::DeleteMode::Delete, "Delete MSG2", "* 2 EXPUNGE\r\nx OK EXPUNGE completed\r\n", 2},
      {CImapSession::DeleteMode::Keep, "",
       "x NO [CANNOT] Messages are kept on the service (DeleteMode); nothing was expunged\r\n", 3},
  };
  for (const auto& m : kModes) {
    SetUp();
    Open(m.mode);
    SelectInbox();
    Say("a STORE 2 +FLAGS.SILENT (\\Deleted)\r\n");
    EXPECT_EQ(m.reply, Say("x EXPUNGE\r\n"));
    EXPECT_EQ(m.left, backend_.FindFolder("F1")->messages.size());
    if (*m.call != '\0') {
      EXPECT_TRUE(Called(m.call)) << m.call;
    }
    EXPECT_EQ(m.mode == CImapSession::DeleteMode::MoveToDeletedItems ? 1u : 0u,
              backend_.FindFolder("F3")->messages.size());
  }
  // UID EXPUNGE takes only the UIDs named; sequence numbers close up.
  SetUp();
  Open();
  SelectInbox();
  Say("a STORE 1:3 +FLAGS.SILENT (\\Deleted)\r\n");
  EXPECT_EQ("* 1 EXPUNGE\r\n* 2 EXPUNGE\r\nb OK EXPUNGE completed\r\n", Say("b UID EXPUNGE 1,3\r\n"));
  EXPECT_EQ("* 1 FETCH (UID 2)\r\nc OK FETCH completed\r\n", Say("c FETCH 1 UID\r\n"));
  // Without a deleted-items folder nothing is deleted for good, and CLOSE
  // leaves the folder all the same.
  auto trash = backend_.folders[2];
  backend_.folders.erase(backend_.folders.begin() + 2);
  EXPECT_EQ("* NO [CANNOT] The account has no deleted-items folder; nothing was expunged\r\nx OK CLOSE completed\r\n",
            Say("x CLOSE\r\n"));
  EXPECT_EQ(1u, backend_.FindFolder("F1")->messages.size());
  EXPECT_EQ(CImapSession::State::Authenticated, session_->GetState());
  backend_.folders.push_back(trash);
  // Expunging in the deleted-items folder deletes.
  Say("d SELECT &MFQwf3ux-\r\n");
  Say("e STORE 1:* +FLAGS.SILENT (\\Deleted)\r\n");
  EXPECT_EQ("* 1 EXPUNGE\r\n* 1 EXPUNGE\r\nf OK EXPUNGE completed\r\n", Say("f EXPUNGE\r\n"));
  EXPECT_TRUE(backend_.FindFolder("F3")->messages.empty());
}

TEST_F(ImapSessionTest, CopyAndMoveAnswerWithUidsOfBothFolders) {
  SelectInbox();
  uint32_t oldValidity = uids_->Folder("demo", "F4").validity;
  EXPECT_EQ("a OK [COPYUID " + std::to_string(oldValidity) + " 1:2 1:2] COPY completed\r\n",
            Say("a COPY 1:2 Old\r\n"));
  EXPECT_EQ(3u, backend_.FindFolder("F1")->messages.size());
  EXPECT_EQ(2u, backend_.FindFolder("F4")->messages.size());
  EXPECT_EQ("* OK [COPYUID " + std::to_string(oldValidity) + " 3 3] Moved\r\n* 3 EXPUNGE\r\nb OK MOVE completed\r\n",
            Say("b UID MOVE 3 Old\r\n"));
  EXPECT_EQ(2u, backend_.FindFolder("F1")->messages.size());
  backend_.calls.clear();
  EXPECT_EQ("c NO [TRYCREATE] No such mailbox\r\n", Say("c MOVE 1 Nowhere\r\n"));
  EXPECT_EQ("d NO [CANNOT] The message is in that folder already\r\n", Say("d MOVE 1 INBOX\r\n"));
  // Only a name the folder list read before does not know reads it again.
  EXPECT_EQ((std::vector<std::string>{"ListFolders"}), backend_.calls);
  // The destination's UIDs are the ones its listing then shows.
  Say("e SELECT Old\r\n");
  EXPECT_EQ("* SEARCH 1 2 3\r\nf OK SEARCH completed\r\n", Say("f UID SEARCH ALL\r\n"));
  // A move the service refuses leaves the message where it is.
  Say("g SELECT INBOX\r\n");
  backend_.failures["Move MSG1 F2"] = FakeBackend::Failed();
  EXPECT_EQ("h NO Some messages could not be moved\r\n", Say("h MOVE 1 &kAFP4W4IMH8-\r\n"));
  EXPECT_EQ("* 1 FETCH (UID 1)\r\ni OK FETCH completed\r\n", Say("i FETCH 1 UID\r\n"));
}

TEST_F(ImapSessionTest, SearchKeys) {
  SelectInbox();
  const struct {
    const char* keys;
    const char* result;
  } kCases[] = {
      {"UNSEEN", "1 3"},
      {"SEEN", "2"},
      {"FROM ANN", "1"},
      {"SUBJECT r", "2 3"},
      {"CHARSET UTF-8 TO x", ""},
      {"SINCE 3-Jan-2002", "2 3"},
      {"BEFORE 3-Jan-2002", "1"},
      {"ON 03-jan-2002", "2"},
      {"LARGER 64", "1"},
      {"SMALLER 40", "2"},
      {"NOT 2:3", "1"},
      {"OR 1 UID 3", "1 3"},
      {"UNDELETED (UNSEEN SUBJECT third)", "3"},
      // Keys that read each message's text.
      {"BODY THREE", "3"},
      {"BODY Subject", ""},
      {"TEXT ann@", "1"},
      {"HEADER from example.net", "3"},
      {"HEADER Date \"\"", "1"},
      {"SENTON 2-Jan-2002", "1"},
      {"SENTBEFORE 2-Jan-2002", "2 3"},  // no Date: sent in 1970
      {"SENTSINCE 2-jan-2002 NOT CC x", "1"},
      {"OR BCC x SEEN", "2"},
  };
  for (const auto& c : kCases) {
    std::string expected = std::string("* SEARCH") + (*c.result ? " " : "") + c.result + "\r\nt OK SEARCH completed\r\n";
    EXPECT_EQ(expected, Say(std::string("t SEARCH ") + c.keys + "\r\n")) << c.keys;
  }
  EXPECT_EQ("t NO [BADCHARSET (US-ASCII UTF-8)] Unsupported charset\r\n", Say("t SEARCH CHARSET X ALL\r\n"));
}

TEST_F(ImapSessionTest, IdleAnnouncesChangesAndCommandsWaitTheirTurn) {
  SelectInbox();
  EXPECT_EQ("+ idling\r\n", Say("i IDLE\r\n"));
  backend_.folders[0].messages.erase(backend_.folders[0].messages.begin() + 1);
  backend_.FindMessage("F1", "MSG3")->info.read = true;
  backend_.AddMessage("F1", "MSG9", "Subject: new\r\n\r\nx\r\n");
  out_.clear();
  session_->OnIdleTimer();
  backend_.Pump();
  EXPECT_EQ("* 2 EXPUNGE\r\n* 2 FETCH (UID 3 FLAGS (\\Seen))\r\n* 3 EXISTS\r\n", out_);
  EXPECT_EQ("i OK IDLE terminated\r\n", Say("DONE\r\n"));
  // Pipelined commands answer in order although the first waits.
  out_.clear();
  std::string both = "a NOOP\r\nb FETCH 3 UID\r\n";
  session_->Receive(both.data(), both.size());
  EXPECT_EQ("", out_);
  backend_.Pump();
  EXPECT_EQ("a OK NOOP completed\r\n* 3 FETCH (UID 4)\r\nb OK FETCH completed\r\n", out_);
  EXPECT_EQ("+ idling\r\nj BAD Expected DONE\r\n", Say("j IDLE\r\nnonsense\r\n"));
}

TEST_F(ImapSessionTest, BadInputIsAnsweredAndTheSessionGoesOn) {
  SelectInbox();
  const struct {
    std::string say;
    std::string reply;
  } kCases[] = {
      {"\r\n", "* BAD Invalid tag\r\n"},
      {"a\r\n", "a BAD Missing command\r\n"},
      {"a FROB\r\n", "a BAD Unknown command\r\n"},
      {"a FETCH\r\n", "a BAD Invalid sequence set\r\n"},
      {"a FETCH 1 (UID\r\n", "a BAD Missing ')'\r\n"},
      {"a FETCH 1 UID FLAGS\r\n", "a BAD Too many arguments\r\n"},
      {"a FETCH 1 BODY[HEADER.FIELDS (Subject]\r\n", "a BAD Invalid fetch item BODY[HEADER.FIELDS (Subject]\r\n"},
      {"a LOGIN {3}\r\n", "+ Ready for literal data\r\n"},
      {"abc x\r\n", "a BAD Not valid in this state\r\n"},
      {"a APPEND INBOX {3+}\r\nabc\r\n", "a NO [CANNOT] The mail service cannot store a message into a folder\r\n"},
      {"a CREATE x\r\n", "a NO [CANNOT] Folders cannot be created, deleted or renamed through this server\r\n"},
      {"a SELECT {99999999}\r\n", "a BAD Command line too long\r\n"},
      {"a " + std::string(70000, 'x') + "\r\n", "a BAD Command line too long\r\n"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.reply, Say(c.say)) << c.say.substr(0, 40);
  EXPECT_EQ(CImapSession::State::Selected, session_->GetState());
  EXPECT_EQ("* BYE Logging out\r\nz OK LOGOUT completed\r\n", Say("z LOGOUT\r\nq NOOP\r\n"));
  EXPECT_TRUE(closed_);
}

// Texts asked for ahead may come back in any order; the responses keep the
// order of the set, each with its own message.
TEST_F(ImapSessionTest, LongLiteralsAreSentFromTheDownloadedText) {
  const std::string body(100 * 1000, 'x');
  const std::string big = "Subject: Big\r\n\r\n" + body;
  backend_.AddMessage("F1", "MSG4", big, false, "Big", "ann@example.com", kJan2);
  SelectInbox();
  held_.clear();
  auto literal = [](const std::string& text) { return "{" + std::to_string(text.size()) + "}\r\n" + text; };
  EXPECT_EQ("* 4 FETCH (BODY[] " + literal(big) + " BODY[]<5> " + literal(big.substr(5, 70000)) +
                " BODY[TEXT] " + literal(body) + " BODY[]<200000> {0}\r\n UID 4)\r\na OK FETCH completed\r\n",
            Say("a UID FETCH 4 (BODY.PEEK[] BODY.PEEK[]<5.70000> BODY.PEEK[TEXT] BODY.PEEK[]<200000.9>)\r\n"));
  // The whole text and its part are the one downloaded; a section is made.
  ASSERT_EQ(3u, held_.size());
  EXPECT_TRUE(held_[0] == session_->Text("MSG4") && held_[1] == held_[0] && held_[2] != held_[0]);
  // The read mark's flags join the response's last piece.
  EXPECT_EQ("* 4 FETCH (BODY[] " + literal(big) + " FLAGS (\\Seen))\r\nb OK FETCH completed\r\n",
            Say("b FETCH 4 BODY[]\r\n"));
}

TEST_F(ImapSessionTest, TextsThatOvertakeEachOtherAreAnsweredInOrder) {
  SelectInbox();
  backend_.failures["Fetch MSG2"] = FakeBackend::Unavailable();
  out_.clear();
  const std::string command = "a FETCH 1:3 (BODY.PEEK[TEXT])\r\n";
  session_->Receive(command.data(), command.size());
  backend_.PumpNewestFirst();
  EXPECT_EQ("* 1 FETCH (BODY[TEXT] {10}\r\nbody one\r\n)\r\n* 3 FETCH (BODY[TEXT] {20}\r\nbody three, longer\r\n)\r\n"
            "a NO Some messages could not be fetched\r\n",
            out_);
}

TEST_F(ImapSessionTest, LongFetchWaitsWhileTheClientLeavesItsRepliesUnread) {
  SelectInbox();
  congestedAbove_ = 50;  // more than one message's reply waits unread
  std::string reply = Say("a FETCH 1:* BODY.PEEK[]\r\nb NOOP\r\n");
  EXPECT_NE(std::string::npos, reply.find("* 1 FETCH")) << reply;
  EXPECT_EQ(std::string::npos, reply.find("* 2 FETCH")) << reply;
  // Texts are asked for a few ahead; none is answered while the client reads nothing.
  EXPECT_EQ((std::vector<std::string>{"Fetch MSG1", "Fetch MSG2", "Fetch MSG3"}), backend_.calls);
  congestedAbove_ = static_cast<size_t>(-1);
  out_.clear();
  session_->ResumeOutput();
  backend_.Pump();
  EXPECT_NE(std::string::npos, out_.find("* 3 FETCH")) << out_;
  EXPECT_NE(std::string::npos, out_.find("a OK FETCH completed\r\nb OK NOOP completed\r\n")) << out_;
}

TEST_F(ImapSessionTest, LargeTextsAreNotAskedForAhead) {
  for (const char* id : {"MSG1", "MSG2", "MSG3"}) backend_.FindMessage("F1", id)->listedSize = 10 * 1024 * 1024;
  SelectInbox();
  const std::string command = "a FETCH 1:3 (BODY.PEEK[])\r\n";
  session_->Receive(command.data(), command.size());  // two would pass the bound
  EXPECT_EQ((std::vector<std::string>{"Fetch MSG1"}), backend_.calls);
  backend_.Pump();
  EXPECT_EQ((std::vector<std::string>{"Fetch MSG1", "Fetch MSG2", "Fetch MSG3"}), backend_.calls);
}

TEST_F(ImapSessionTest, SessionThatEndsWhileTheServiceWorksIsForgotten) {
  SelectInbox();
  std::string fetch = "a FETCH 1:* BODY[]\r\n";
  session_->Receive(fetch.data(), fetch.size());
  ASSERT_GT(backend_.Queued(), 0u);
  session_.reset();
  backend_.Pump();  // the completions find no session and do nothing
  EXPECT_FALSE(backend_.FindMessage("F1", "MSG3")->info.read);
}

}  // namespace
