// The requests, byte for byte: URLs, header blocks, bodies, credentials.
#include "HttpMailTest.h"

namespace {

const char kPropfindHeaders[] = "Depth: 0\r\nBrief: t\r\nContent-Type: text/xml\r\nAccept-CharSet: UTF-16\r\n";
const char kUnsafe[] = "[サーバーから受け取った URL に使えない文字が含まれています]";

}  // namespace

class RequestTest : public HttpMailTest {
 protected:
  // Folders 1 to 3 and messages 1 to 5, from canned replies.
  void ListAccount() {
    auto root = Reply(207, Multistatus("<D:response><D:propstat><D:prop><hm:msgfolderroot>http://svc/root/"
                                                  "</hm:msgfolderroot><hm:sendmsg>http://svc/send</hm:sendmsg>"
                                                  "</D:prop></D:propstat></D:response>"));
    root->userName = user_.userName;
    root->password = user_.password;
    ASSERT_EQ(207, http_.ParseRootReply(*root));
    auto folders = Reply(207, Multistatus(FolderResponse("http://svc/root/inbox/", "F1", "inbox", "") +
                                                     FolderResponse("http://svc/root/sent/", "F2", "sentitems", "") +
                                                     FolderResponse("http://svc/root/trash/", "F3", "deleteditems", "")));
    ASSERT_EQ(207, http_.ParseFolderReply(*folders));
    std::string mails;
    for (int i = 1; i <= 5; ++i)
      mails += MailResponse("http://svc/root/inbox/MSG" + std::to_string(i) + ".eml", "MSG" + std::to_string(i));
    auto list = Reply(207, Multistatus(mails));
    ASSERT_EQ(207, http_.ParseMailReply(*list));
  }
  ListingClient http_{settings_};
  const CCredentials user_{"user@hotmail.com", "secret"};
};

TEST_F(RequestTest, DiscoveryRequest) {
  settings_.serviceHost = "127.0.0.1:8080";
  auto r = http_.NewRootRequest(user_);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_ROOT, r->kind);
  EXPECT_EQ("PROPFIND", r->method);
  EXPECT_EQ("http://127.0.0.1:8080/svcs/hotmail/httpmail.asp", r->url);
  EXPECT_EQ(kPropfindHeaders, r->headers);
  const std::string body =
      "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:prop>"
      "<hm:msgfolderroot/><hm:sendmsg/></D:prop></D:propfind>";
  EXPECT_EQ(body, r->body);
}

// Each request carries the credentials it was built for, and a request that
// needs discovered URLs is built only for the credentials that found them.
TEST_F(RequestTest, EveryRequestCarriesTheCredentialsItWasBuiltFor) {
  ListAccount();
  const CCredentials other{"other@hotmail.com", "changed"};
  auto first = http_.NewMessageRequest(user_, 1);
  auto second = http_.NewRootRequest(other);
  EXPECT_EQ("user@hotmail.com", first->userName);
  EXPECT_EQ("secret", first->password);
  EXPECT_EQ("other@hotmail.com", second->userName);
  EXPECT_EQ("changed", second->password);
  EXPECT_TRUE(http_.NewFolderRequest(user_));
  EXPECT_TRUE(http_.NewPostRequest(user_, "x"));
  // Credentials that discovered nothing may go only to the entry URL.
  EXPECT_FALSE(http_.NewMessageRequest(other, 1));
  EXPECT_FALSE(http_.NewFolderRequest(other));
  EXPECT_FALSE(http_.NewPostRequest(other, "x"));
}

// Credentials go only to the origins discovery named (entry URL, folder
// root and send URL may lie on three hosts); a URL from a listing on any
// other origin builds no request, as the transport would read it.
TEST_F(RequestTest, RequestsGoOnlyToTheOriginsDiscoveryNamed) {
  settings_.serviceHost = "entry.example:8080";
  auto root = Reply(207, Multistatus("<D:response><D:propstat><D:prop><hm:msgfolderroot>http://svc/root/"
                                     "</hm:msgfolderroot><hm:sendmsg>http://mail.example/send</hm:sendmsg>"
                                     "</D:prop></D:propstat></D:response>"));
  root->userName = user_.userName;
  root->password = user_.password;
  ASSERT_EQ(207, http_.ParseRootReply(*root));
  const struct {
    const char* url;
    bool sent;
  } cases[] = {
      {"http://svc/root/inbox/MSG1.eml", true},
      {"HTTP://SVC:80/elsewhere", true},        // the same origin, spelt otherwise
      {"http://mail.example/x", true},          // the send URL's
      {"http://entry.example:8080/x", true},    // the entry URL's
      {"http://svc:8080/root/inbox/MSG1.eml", false},  // another port
      {"http://entry.example/x", false},
      {"https://svc/root/inbox/MSG1.eml", false},      // another scheme
      {"http://svc.evil/root/", false},
      {"http://svc@evil/root/", false},                // user information, then another host
      {"http://evil/http://svc/root/", false},
      {"/root/inbox/MSG1.eml", false},                 // not absolute
      {"", false},
  };
  for (const auto& c : cases) {
    CMail mail;
    mail.href = c.url;
    EXPECT_EQ(c.sent, http_.NewMessageRequest(user_, mail) != nullptr) << c.url;
  }
  EXPECT_NE(std::string::npos, Log().find("[ログインで示されたホスト以外の URL には接続しません]"));
}

TEST_F(RequestTest, FolderListRequest) {
  ListAccount();
  auto r = http_.NewFolderRequest(user_);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_FOLDERS, r->kind);
  EXPECT_EQ("PROPFIND", r->method);
  EXPECT_EQ("http://svc/root/", r->url);
  EXPECT_EQ(kPropfindHeaders, r->headers);
  const std::string body =
      "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:prop><D:id/>"
      "<D:visiblecount/><D:displayname/><hm:special/></D:prop></D:propfind>";
  EXPECT_EQ(body, r->body);
}

TEST_F(RequestTest, MessageListRequestBindsTheServiceNamespace) {
  ListAccount();
  settings_.serviceNamespace = "urn:svc&\"x";
  auto r = http_.NewMailListRequest(user_, "http://svc/root/inbox/");
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_MAILS, r->kind);
  EXPECT_EQ("http://svc/root/inbox/", r->url);
  EXPECT_EQ(kPropfindHeaders, r->headers);
  EXPECT_EQ(
      "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\" "
      "xmlns:m=\"urn:schemas:mailheader:\" xmlns:h=\"urn:svc&amp;&quot;x\"><D:prop><D:id/><hm:read/><m:to/>"
      "<h:fromaddr/><m:subject/><m:date/><D:getcontentlength/></D:prop></D:propfind>",
      r->body);
}

TEST_F(RequestTest, DownloadRequestNamesItsMessage) {
  ListAccount();
  auto r = http_.NewMessageRequest(user_, 4);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_MESSAGE, r->kind);
  EXPECT_EQ("GET", r->method);
  EXPECT_EQ("http://svc/root/inbox/MSG4.eml", r->url);
  EXPECT_EQ("Accept: message/rfc822, */*\r\nTranslate: f\r\n", r->headers);
  EXPECT_EQ("", r->body);
  auto start = http_.NewMessageRequest(user_, 4, 32768);
  ASSERT_TRUE(start);
  EXPECT_EQ("Accept: message/rfc822, */*\r\nTranslate: f\r\nRange: bytes=0-32767\r\n", start->headers);
  EXPECT_EQ(32768u, start->startBytes);
}

TEST_F(RequestTest, MoveDestinationIsFolderHrefThenMessageId) {
  ListAccount();
  auto r = http_.NewMoveRequest(user_, 5, 3);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_MOVE, r->kind);
  EXPECT_EQ("MOVE", r->method);
  EXPECT_EQ("http://svc/root/inbox/MSG5.eml", r->url);
  EXPECT_EQ("Destination: http://svc/root/trash/MSG5\r\nAllow-Rename: t\r\n", r->headers);
  EXPECT_EQ("", r->body);
}

TEST_F(RequestTest, MarkReadRequest) {
  ListAccount();
  auto r = http_.NewMarkReadRequest(user_, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_MARK_READ, r->kind);
  EXPECT_EQ("PROPPATCH", r->method);
  EXPECT_EQ("http://svc/root/inbox/MSG2.eml", r->url);
  EXPECT_EQ("Brief: t\r\n", r->headers);  // no content type
  const std::string body =
      "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:set><D:prop>"
      "<hm:read>1</hm:read></D:prop></D:set></D:propertyupdate>";
  EXPECT_EQ(body, r->body);
  EXPECT_EQ(158u, r->body.size());
}

TEST_F(RequestTest, DeleteRequestHasNoHeaderLines) {
  ListAccount();
  auto r = http_.NewDeleteRequest(user_, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_DELETE, r->kind);
  EXPECT_EQ("DELETE", r->method);
  EXPECT_EQ("http://svc/root/inbox/MSG1.eml", r->url);
  EXPECT_EQ("", r->headers);
  EXPECT_EQ("", r->body);
}

TEST_F(RequestTest, PostCarriesEnvelopeThenMessage) {
  ListAccount();
  auto r = http_.NewPostRequest(user_, "MAIL FROM:<user@hotmail.com>\r\n\r\nSubject: hi\r\n\r\nbody\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(KIND_POST, r->kind);
  EXPECT_EQ("POST", r->method);
  EXPECT_EQ("http://svc/send", r->url);
  EXPECT_EQ("Content-Type: message/rfc821\r\nTranslate: t\r\nSAVEINSENT: t\r\n", r->headers);
  EXPECT_EQ("MAIL FROM:<user@hotmail.com>\r\n\r\nSubject: hi\r\n\r\nbody\r\n\r\n", r->body);
}

TEST_F(RequestTest, NumbersThatNameNothingBuildNoRequest) {
  ListAccount();
  EXPECT_FALSE(http_.NewMessageRequest(user_, 0));
  EXPECT_FALSE(http_.NewMessageRequest(user_, 6));
  EXPECT_FALSE(http_.NewMarkReadRequest(user_, -1));
  EXPECT_FALSE(http_.NewDeleteRequest(user_, 6));
  EXPECT_FALSE(http_.NewMoveRequest(user_, 1, 0));
  EXPECT_FALSE(http_.NewMoveRequest(user_, 1, 4));
  EXPECT_FALSE(http_.NewMoveRequest(user_, 6, 3));
}

TEST_F(RequestTest, ServiceTextsThatWouldAddRequestLinesAreRefused) {
  auto folders = Reply(207, Multistatus(FolderResponse("http://svc/t/&#13;&#10;X-Injected: 1", "T", "deleteditems", "")));
  ASSERT_EQ(207, http_.ParseFolderReply(*folders));
  auto list = Reply(207, Multistatus(MailResponse("http://svc/i/1", "1&#10;X-Injected: 1") +
                                                MailResponse("http://svc/i/2&#13;&#10;X: y", "2")));
  ASSERT_EQ(207, http_.ParseMailReply(*list));
  EXPECT_FALSE(http_.NewMoveRequest(user_, 1, 1));
  EXPECT_FALSE(http_.NewMessageRequest(user_, 2));
  EXPECT_FALSE(http_.NewMailListRequest(user_, http_.GetFolders()[0]->href));
  EXPECT_EQ(3, LogCount(kUnsafe));
}
