// The response readers on canned replies, grouped by reader.
#include "HttpMailTest.h"

namespace {

const char kNoRoot[] = "[ルートフォルダが見つかりません]";
const char kNoSend[] = "[送信フォルダが見つかりません]";
const char kNoFolderLink[] = "[Folder のハイパーリンクが見つかりません]";
const char kNoMailLink[] = "[Mail のハイパーリンクが見つかりません]";
const char kNoMailId[] = "[Mail の ID が見つかりません]";
const char kNotXml[] = "[レスポンスの XML を読み取れませんでした]";
const char kBoxStart[] = "エラーが発生しました。";

std::string RootReply(const std::string& props) {
  return Multistatus("<D:response><D:propstat><D:prop>" + props + "</D:prop></D:propstat></D:response>");
}

const std::string kBothUrls =
    RootReply("<hm:msgfolderroot>http://h/root/</hm:msgfolderroot><hm:sendmsg>http://h/send</hm:sendmsg>");

}  // namespace

// ---- account discovery ------------------------------------------------------------

class RootReaderTest : public HttpMailTest {
 protected:
  int Parse(int status, const std::string& body, bool completed = true, const CCredentials& account = kAlice) {
    auto r = Reply(status, body, completed);
    r->userName = account.userName;
    r->password = account.password;
    return http_.ParseRootReply(*r);
  }
  std::string Root(const CCredentials& account = kAlice) const { return http_.FolderRootUrl(account); }
  std::string Send(const CCredentials& account = kAlice) const { return http_.SendUrl(account); }
  static inline const CCredentials kAlice{"alice", "pw"};
  ListingClient http_{settings_};
};

TEST_F(RootReaderTest, BothUrlsFoundAreRememberedForThoseCredentialsOnly) {
  EXPECT_EQ(207, Parse(207, kBothUrls));
  EXPECT_EQ("http://h/root/", Root());
  EXPECT_EQ("http://h/send", Send());
  EXPECT_EQ(0, LogCount(kBoxStart));
  for (const CCredentials& other : {CCredentials{"bob", "pw"}, CCredentials{"alice", "other"}}) {
    EXPECT_EQ("", Root(other));
    EXPECT_EQ("", Send(other));
  }
}

// Whatever made a discovery fail, those credentials remember nothing: their
// next log-in discovers afresh instead of using another reply's URLs.
TEST_F(RootReaderTest, FailedDiscoveryForgetsWhatThoseCredentialsFound) {
  struct Case {
    int status;
    std::string body;
    bool completed;
    const char* box;
  };
  const Case cases[] = {
      {401, "", true, nullptr},
      {0, kBothUrls, false, nullptr},
      {500, "<html/>", true, nullptr},
      {207, RootReply("<hm:msgfolderroot>http://h/other/</hm:msgfolderroot>"), true, kNoSend},
      {207, RootReply("<hm:sendmsg>http://h/send2</hm:sendmsg>"), true, kNoRoot},
      {207, "", true, kNotXml},
      {207, kBothUrls.substr(0, kBothUrls.size() / 2), true, kNotXml},  // truncated
  };
  const CCredentials bob{"bob", "x"};
  ASSERT_EQ(207, Parse(207, kBothUrls, true, bob));
  for (const Case& k : cases) {
    ASSERT_EQ(207, Parse(207, kBothUrls));
    const int boxes = LogCount(k.box ? k.box : kBoxStart);
    EXPECT_EQ(k.status == 207 || !k.completed ? -1 : k.status, Parse(k.status, k.body, k.completed)) << k.status;
    EXPECT_EQ("", Root()) << k.status;
    EXPECT_EQ("", Send()) << k.status;
    EXPECT_EQ(boxes + (k.box ? 1 : 0), LogCount(k.box ? k.box : kBoxStart)) << k.status;
  }
  EXPECT_EQ("http://h/root/", Root(bob));  // another account's discovery stands
}

TEST_F(RootReaderTest, EmptyMsgfolderrootCountsAsFound) {
  EXPECT_EQ(207, Parse(207, RootReply("<hm:msgfolderroot/><hm:sendmsg>http://h/send</hm:sendmsg>")));
  EXPECT_EQ("", Root());
  EXPECT_EQ("http://h/send", Send());
  EXPECT_EQ(0, LogCount(kBoxStart));
}

TEST_F(RootReaderTest, FirstResponseInDocumentOrderGivesEachValue) {
  const std::string body = Multistatus(
      "<D:response><D:propstat><D:prop><hm:sendmsg>http://h/s1</hm:sendmsg></D:prop></D:propstat></D:response>"
      "<D:response><D:propstat><D:prop><hm:msgfolderroot>http://h/r2/</hm:msgfolderroot>"
      "<hm:sendmsg>http://h/s2</hm:sendmsg></D:prop></D:propstat></D:response>");
  EXPECT_EQ(207, Parse(207, body));
  EXPECT_EQ("http://h/r2/", Root());
  EXPECT_EQ("http://h/s1", Send());
}

TEST_F(RootReaderTest, ReplyWithOtherPrefixesForTheSameNamespacesIsRead) {
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a:multistatus xmlns:a=\"DAV:\" xmlns:b=\"urn:schemas:httpmail:\">"
      "<a:response><a:propstat><a:prop><b:msgfolderroot>http://h/r/</b:msgfolderroot><b:sendmsg>http://h/s</b:sendmsg>"
      "</a:prop></a:propstat></a:response></a:multistatus>";
  EXPECT_EQ(207, Parse(207, body));
  EXPECT_EQ("http://h/r/", Root());
}

TEST_F(RootReaderTest, UsualPrefixesBoundToOtherNamespacesFindNothing) {
  const std::string body =
      "<D:multistatus xmlns:D=\"urn:not-dav\" xmlns:hm=\"urn:schemas:httpmail:\"><D:response><D:propstat><D:prop>"
      "<hm:msgfolderroot>http://h/r/</hm:msgfolderroot><hm:sendmsg>x</hm:sendmsg></D:prop></D:propstat>"
      "</D:response></D:multistatus>";
  EXPECT_EQ(-1, Parse(207, body));
  EXPECT_EQ(1, LogCount(kNoRoot));
}

// ---- folder list ------------------------------------------------------------------

class FolderReaderTest : public HttpMailTest {
 protected:
  int Parse(const std::string& body, int status = 207) {
    auto r = Reply(status, body);
    return http_.ParseFolderReply(*r);
  }
  std::string Hrefs() const {
    std::string s;
    for (CFolder* f : http_.GetFolders()) s += f->href + ",";
    return s;
  }
  ListingClient http_{settings_};
};

TEST_F(FolderReaderTest, ResponseWithoutHrefIsSkippedAndTheRestRead) {
  EXPECT_EQ(207, Parse(Multistatus(FolderResponse("http://h/1/", "F1", "inbox", "") +
                                   FolderResponse("", "F2", "sentitems", "") +
                                   FolderResponse("http://h/3/", "F3", "", "Mine"))));
  EXPECT_EQ("http://h/1/,http://h/3/,", Hrefs());
  EXPECT_EQ(1, LogCount(kNoFolderLink));
  EXPECT_EQ(-1, settings_.FindFolder("F2"));
}

TEST_F(FolderReaderTest, NonMultiStatusAndFailedExchangeAddNothing) {
  EXPECT_EQ(404, Parse(Multistatus(FolderResponse("http://h/1/", "F1", "inbox", "")), 404));
  auto r = Reply(207, Multistatus(FolderResponse("http://h/1/", "F1", "inbox", "")), false);
  EXPECT_EQ(-1, http_.ParseFolderReply(*r));
  EXPECT_TRUE(http_.GetFolders().empty());
}

TEST_F(FolderReaderTest, BrokenBodyIsAFailureNotAnEmptyList) {
  EXPECT_EQ(-1, Parse(""));
  EXPECT_EQ(-1, Parse("<D:multistatus xmlns:D=\"DAV:\"><D:response>"));
  // Whole responses before the break, or behind a document type, add nothing.
  const std::string listing = Multistatus(FolderResponse("http://h/1/", "F1", "inbox", ""));
  EXPECT_EQ(-1, Parse(listing.substr(0, listing.size() - 5)));
  EXPECT_EQ(-1, Parse("<?xml version=\"1.0\"?><!DOCTYPE D:multistatus [<!ENTITY x \"xx\">]>" +
                      listing.substr(listing.find("?>") + 2)));
  EXPECT_EQ(4, LogCount(kNotXml));
  EXPECT_TRUE(http_.GetFolders().empty());
  EXPECT_EQ(0u, settings_.folderIds.size());
}

TEST_F(FolderReaderTest, EmptyMultiStatusIsAnEmptyList) {
  EXPECT_EQ(207, Parse(Multistatus("")));
  EXPECT_TRUE(http_.GetFolders().empty());
}

// ---- message list -----------------------------------------------------------------

class MailReaderTest : public HttpMailTest {
 protected:
  void SetUp() override {
    HttpMailTest::SetUp();
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  int Parse(const std::string& body) {
    auto r = Reply(207, body);
    return http_.ParseMailReply(*r);
  }
  std::string Ids() const {
    std::string s;
    for (CMail* m : http_.GetMails()) s += std::to_string(m->number) + "=" + m->id + ",";
    return s;
  }
  ListingClient http_{settings_};
};

TEST_F(MailReaderTest, ReadsEveryProperty) {
  const std::string extra = Prop("hm:read", "1") + Prop("m:to", "x@y") + Prop("h:fromaddr", "a@b.example") +
                            Prop("m:subject", "Hello") + Prop("m:date", "2002-01-02T03:04:05Z") +
                            Prop("D:getcontentlength", "1234");
  EXPECT_EQ(207, Parse(Multistatus(MailResponse("http://h/inbox/M1", "M1", extra))));
  ASSERT_EQ(1u, http_.GetMails().size());
  const CMail& m = *http_.GetMails()[0];
  EXPECT_EQ(1, m.number);
  EXPECT_EQ("http://h/inbox/M1", m.href);
  EXPECT_EQ("M1", m.id);
  EXPECT_TRUE(m.read);
  EXPECT_EQ("a@b.example", m.from);
  EXPECT_EQ("Hello", m.subject);
  EXPECT_EQ("Wed Jan 02 03:04:05 2002", m.date);
  EXPECT_EQ(1234, m.size);
  EXPECT_FALSE(m.retrieved);
  EXPECT_FALSE(m.deleted);
  EXPECT_EQ("", m.content);
}

TEST_F(MailReaderTest, DroppedResponsesUseUpNoNumber) {
  EXPECT_EQ(207, Parse(Multistatus(MailResponse("http://h/M1", "M1") + MailResponse("http://h/M2", "") +
                                   MailResponse("http://h/M3", "M3") + MailResponse("", "M4") +
                                   MailResponse("http://h/M5", "M5") + MailResponse("http://h/M6", ""))));
  EXPECT_EQ("1=M1,2=M3,3=M5,", Ids());
  EXPECT_EQ(1, LogCount(kNoMailId)) << "a kind of fault is one box for a listing, however often it occurs";
  EXPECT_EQ(1, LogCount(kNoMailLink));
}

TEST_F(MailReaderTest, SecondFolderContinuesTheNumbering) {
  ASSERT_EQ(207, Parse(Multistatus(MailResponse("http://h/a/1", "A1") + MailResponse("http://h/a/2", "A2") +
                                   MailResponse("http://h/a/3", "A3"))));
  ASSERT_EQ(207, Parse(Multistatus(MailResponse("http://h/b/1", "B1") + MailResponse("http://h/b/2", "B2"))));
  EXPECT_EQ("1=A1,2=A2,3=A3,4=B1,5=B2,", Ids());
}

// An href may be a path: it names a resource of the server that answered.
TEST_F(MailReaderTest, HrefsThatArePathsAreTakenRelativeToTheUrlAnswered) {
  struct Case {
    const char* base;
    const char* href;
    const char* expected;
  } cases[] = {
      {"http://h:81/a/F1/", "/a/F1/M1", "http://h:81/a/F1/M1"},
      {"http://h:81/a/F1/", "M1", "http://h:81/a/F1/M1"},
      {"http://h:81/a/F1", "M1", "http://h:81/a/M1"},
      {"http://h:81/a/F1/?x=1/", "M1", "http://h:81/a/F1/M1"},
      {"http://h:81", "M1", "http://h:81/M1"},
      {"http://h:81/a/", "//other/M1", "http://other/M1"},
      {"http://h:81/a/", "http://other/M1", "http://other/M1"},
      {"", "/a/M1", "/a/M1"},
  };
  for (const Case& c : cases) {
    ListingClient http(settings_);
    auto r = Reply(207, Multistatus(MailResponse(c.href, "M1")));
    r->url = c.base;
    EXPECT_EQ(207, http.ParseMailReply(*r));
    ASSERT_EQ(1u, http.GetMails().size());
    EXPECT_EQ(c.expected, http.GetMails()[0]->href) << c.base << " + " << c.href;
  }
  auto folders = Reply(207, Multistatus(FolderResponse("/a/F1/", "F1", "inbox", "")));
  folders->url = "http://h:81/a/";
  EXPECT_EQ(207, http_.ParseFolderReply(*folders));
  ASSERT_EQ(1u, http_.GetFolders().size());
  EXPECT_EQ("http://h:81/a/F1/", http_.GetFolders()[0]->href);
}

TEST_F(MailReaderTest, ReadFlagAndSizeRules) {
  EXPECT_EQ(207, Parse(Multistatus(MailResponse("http://h/1", "1", Prop("hm:read", "1")) +
                                   MailResponse("http://h/2", "2", Prop("hm:read", "0")) +
                                   MailResponse("http://h/3", "3", "<hm:read/>") + MailResponse("http://h/4", "4") +
                                   MailResponse("http://h/5", "5", Prop("D:getcontentlength", "-20")))));
  const auto& mails = http_.GetMails();
  ASSERT_EQ(5u, mails.size());
  EXPECT_TRUE(mails[0]->read);
  EXPECT_FALSE(mails[1]->read);
  EXPECT_FALSE(mails[2]->read);
  EXPECT_FALSE(mails[3]->read);
  EXPECT_EQ(0, mails[3]->size);  // missing length
  EXPECT_EQ(0, mails[4]->size);  // a negative length is never listed
}

TEST_F(MailReaderTest, MissingDateStaysEmptyAndIsLogged) {
  EXPECT_EQ(207, Parse(Multistatus(MailResponse("http://h/1", "1"))));
  EXPECT_EQ("", http_.GetMails()[0]->date);
  EXPECT_EQ(1, LogCount("[日時形式の変換が行えませんでした]"));
}

TEST_F(MailReaderTest, FromAddrIsReadInTheConfiguredNamespace) {
  settings_.serviceNamespace = "urn:example:hotmail";
  const std::string body =
      "<D:multistatus xmlns:D=\"DAV:\" xmlns:x=\"urn:example:hotmail\" xmlns:h=\"http://schemas.microsoft.com/hotmail/\">"
      "<D:response><D:href>http://h/1</D:href><D:propstat><D:prop><D:id>1</D:id><x:fromaddr>right</x:fromaddr>"
      "<h:fromaddr>wrong</h:fromaddr></D:prop></D:propstat></D:response></D:multistatus>";
  EXPECT_EQ(207, Parse(body));
  EXPECT_EQ("right", http_.GetMails()[0]->from);
}

TEST_F(MailReaderTest, NonAsciiSubjectsArriveInCp932) {
  const std::string body = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>") +
                           "<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:schemas:mailheader:\"><D:response>"
                           "<D:href>http://h/1</D:href><D:propstat><D:prop><D:id>1</D:id><m:subject>" +
                           u8"テスト" + "</m:subject></D:prop></D:propstat></D:response></D:multistatus>";
  EXPECT_EQ(207, Parse(body));
  EXPECT_EQ("テスト", http_.GetMails()[0]->subject);  // a narrow literal: code page 932
}

TEST_F(MailReaderTest, RecordsBeforeADomErrorStay) {
  ASSERT_EQ(207, Parse(Multistatus(MailResponse("http://h/1", "1"))));
  EXPECT_EQ(-1, Parse("<broken"));
  EXPECT_EQ("1=1,", Ids());
}

// ---- single-message readers ----------------------------------------------------------

class MessageReaderTest : public HttpMailTest {
 protected:
  int Read(std::unique_ptr<CHotmailRequest> r, size_t startBytes = 0) {
    r->startBytes = startBytes;
    text_.clear();
    held_ = CMail::Held::Nothing;
    return ListingClient::Code(CHotmailHTTP::ReadMessage(*r, text_, held_));
  }
  std::string text_;
  CMail::Held held_ = CMail::Held::Nothing;
};

TEST_F(MessageReaderTest, TheBodyIsHandedOverWholeOrAsTheStartAskedFor) {
  EXPECT_EQ(200, Read(Reply(200, "Subject: c\r\n\r\nthird\r\n")));
  EXPECT_EQ("Subject: c\r\n\r\nthird\r\n", text_);
  EXPECT_EQ(CMail::Held::Whole, held_);
  EXPECT_EQ(200, Read(Reply(200, "")));  // an empty body is a body
  EXPECT_EQ(CMail::Held::Whole, held_);
  // 206 to a request for the start: only the start is held.
  auto start = Reply(206, "Subject: a\r\n");
  start->contentRange = "bytes 5000-5011/9000";  // not the start asked for
  EXPECT_EQ(416, Read(std::move(start), 12));
  EXPECT_EQ(CMail::Held::Nothing, held_);
  start = Reply(206, "Subject: a\r\n");
  start->contentRange = "bytes 0-11/9000";
  EXPECT_EQ(206, Read(std::move(start), 12));
  EXPECT_EQ("Subject: a\r\n", text_);
  EXPECT_EQ(CMail::Held::Start, held_);
}

TEST_F(MessageReaderTest, OtherStatusesHandNothingOver) {
  EXPECT_EQ(404, Read(Reply(404, "x")));
  EXPECT_EQ(-1, Read(Reply(200, "x", false)));
  EXPECT_EQ(206, Read(Reply(206, "part")));  // no range was asked for
  EXPECT_EQ("", text_);
  EXPECT_EQ(CMail::Held::Nothing, held_);
}

TEST_F(MessageReaderTest, StatusReaderTakesTheSuccessAsked) {
  EXPECT_TRUE(CHotmailHTTP::ReadStatus(*Reply(201, "ignored"), 201).Ok());
  EXPECT_FALSE(CHotmailHTTP::ReadStatus(*Reply(200, ""), 201).Ok());
  EXPECT_TRUE(CHotmailHTTP::ReadStatus(*Reply(204, "")).Ok());
  EXPECT_TRUE(CHotmailHTTP::ReadStatus(*Reply(403, "")).Refused(403));
  EXPECT_TRUE(CHotmailHTTP::ReadStatus(*Reply(207, "", false)).Unreachable());
}
