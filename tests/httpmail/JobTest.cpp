// The jobs of the HTTPMail client against the local HTTPMail service, over
// the real transport: log-in chain, listing, download, commit, send, and
// the job results when requests fail.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "HttpMailTest.h"
#include "LocalService.h"
#include "httpmail/JobResult.h"
#include "plugin/PrivateMessages.h"

namespace {

const char kAccount[] = "demo@hotmail.com";

// inbox MSG0001-MSG0003, sentitems MSG0004, an empty deleteditems, the
// user's folder Work MSG0005-MSG0006.
const char kMailbox[] = R"({"demo@hotmail.com": {"password": "demo", "folders": [
  {"name": "inbox", "messages": ["Subject: one\n\nfirst\n", "Subject: two\n\nsecond message\n",
                                 "Subject: three\n\nthird\n"]},
  {"name": "sentitems", "messages": ["Subject: sent\n\nx\n"]},
  {"name": "deleteditems"},
  {"name": "Work", "id": "FWORK", "displayname": "Work",
   "messages": ["Subject: work\n\nw\n", {"data": "Subject: =?UTF-8?B?5pel5pys6Kqe?=\n\nw2\n", "read": true}]}]},
 "friend@hotmail.com": {"password": "friend", "folders": [{"name": "inbox"}]}})";

struct JobDone {
  UINT message;
  WPARAM kind;
  LPARAM result;
};

}  // namespace

class JobTest : public HttpMailTest {
 protected:
  void SetUp() override {
    HttpMailTest::SetUp();
    StartService("{}");
    settings_.httpTimeOut = 10;
    static bool registered = false;
    if (!registered) {
      WNDCLASSA wc = {};
      wc.lpfnWndProc = &JobTest::Proc;
      wc.lpszClassName = "HttpMailJobTest";
      registered = RegisterClassA(&wc) != 0;
    }
    window_ = CreateWindowExA(0, "HttpMailJobTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window_);
    CHTTPSession::Configure({window_, &settings_});
    http_.SetWindow(window_);
    active_ = this;
  }

  void TearDown() override {
    Pump(std::chrono::milliseconds(100));
    active_ = nullptr;
    CHTTPSession::Configure({});
    if (window_ != nullptr) DestroyWindow(window_);
    service_.Stop();
    HttpMailTest::TearDown();
  }

  void StartService(const std::string& options) {
    service_.Stop();
    ASSERT_TRUE(service_.Start(std::string("{\"mailbox\": ") + kMailbox + ", \"options\": " + options + "}"));
    settings_.serviceHost = service_.HostPort();
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (active_ != nullptr && (message == WM_HTTP_STEP || message == WM_HTTP_SESSION_DONE))
      return active_->http_.OnMessage(hwnd, message, wParam, lParam);
    if (active_ != nullptr && (message == WM_POP_JOB_DONE || message == WM_SMTP_JOB_DONE)) {
      active_->done_.push_back(JobDone{message, wParam, lParam});
      return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  void Pump(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    MSG msg;
    while (std::chrono::steady_clock::now() < end) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // The next job message, pumping the queue for at most 30 s.
  JobDone Await() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    MSG msg;
    while (done_.empty() && std::chrono::steady_clock::now() < end) {
      while (done_.empty() && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      if (done_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (done_.empty()) {
      ADD_FAILURE() << "no job message within 30 s";
      return JobDone{0, 0, 0};
    }
    JobDone d = done_.front();
    done_.erase(done_.begin());
    return d;
  }

  // A job message and nothing after it (a job posts exactly once).
  LPARAM AwaitOnly(UINT message, WPARAM kind) {
    JobDone d = Await();
    EXPECT_EQ(message, d.message);
    EXPECT_EQ(kind, d.kind);
    Pump(std::chrono::milliseconds(150));
    EXPECT_TRUE(done_.empty()) << "a second job message arrived";
    done_.clear();
    return d.result;
  }

  LPARAM LoginPop() {
    http_.Login(CHotmailHTTP::FRONT_POP, account_);
    return AwaitOnly(WM_POP_JOB_DONE, POP_JOB_LOGIN);
  }

  int Count(const std::vector<std::string>& requests, const std::string& prefix) const {
    int n = 0;
    for (const std::string& r : requests) n += r.compare(0, prefix.size(), prefix) == 0;
    return n;
  }

  std::string File(const std::string& folder, const std::string& id) const {
    return ReadFile(service_.root + "/" + kAccount + "/" + folder + "/" + id + ".eml");
  }
  std::string Ids(const std::string& folder) { return service_.Command("ids " + std::string(kAccount) + " " + folder); }
  bool IsRead(const std::string& folder, const std::string& id) {
    return service_.Command("read " + std::string(kAccount) + " " + folder + " " + id) == "1";
  }
  std::string MailIds() const {
    std::string s;
    for (CMail* m : http_.GetMails()) s += std::to_string(m->number) + "=" + m->id + " ";
    return s;
  }

  static JobTest* active_;
  LocalService service_;
  HWND window_ = nullptr;
  CHotmailHTTP http_{settings_};
  CCredentials account_{kAccount, "demo"};
  std::vector<JobDone> done_;
};

JobTest* JobTest::active_ = nullptr;

// ---- log-in chain -------------------------------------------------------------------

TEST_F(JobTest, LoginListsTheDownloadedFoldersInOrder) {
  EXPECT_EQ(207, LoginPop());
  EXPECT_EQ("http://" + service_.HostPort() + "/hmdata/demo@hotmail.com/", http_.FolderRootUrl(account_));
  EXPECT_EQ("http://" + service_.HostPort() + "/hmsend/demo@hotmail.com", http_.SendUrl(account_));
  ASSERT_EQ(4u, http_.GetFolders().size());
  EXPECT_EQ("inbox", http_.GetFolders()[0]->special);
  EXPECT_EQ("Work", http_.GetFolders()[3]->displayName);
  // inbox and Work are listed (sentitems and deleteditems are not), in
  // folder order, numbered across both.
  EXPECT_EQ("1=MSG0001 2=MSG0002 3=MSG0003 4=MSG0005 5=MSG0006 ", MailIds());
  const CMail& work2 = *http_.GetMails()[4];
  EXPECT_TRUE(work2.read);
  EXPECT_EQ("日本語", work2.subject);  // UTF-8 on the wire, code page 932 here
  EXPECT_EQ(static_cast<int>(File("Work", "MSG0006").size()), work2.size);
  const std::vector<std::string> propfinds = service_.Requests("PROPFIND");
  ASSERT_EQ(4u, propfinds.size());
  EXPECT_EQ("PROPFIND 207 /svcs/hotmail/httpmail.asp", propfinds[0]);
  EXPECT_EQ("PROPFIND 207 /hmdata/demo@hotmail.com/", propfinds[1]);
  EXPECT_EQ("PROPFIND 207 /hmdata/demo@hotmail.com/F000000001/", propfinds[2]);
  EXPECT_EQ("PROPFIND 207 /hmdata/demo@hotmail.com/FWORK/", propfinds[3]);
  // The folders were registered in the INI file.
  EXPECT_NE(std::string::npos, Ini().find("FWORK"));
}

TEST_F(JobTest, WrongPasswordEndsTheChainWith401) {
  account_.password = "wrong";
  EXPECT_EQ(401, LoginPop());
  EXPECT_TRUE(service_.Requests("PROPFIND").empty());  // nothing was let in
  EXPECT_TRUE(http_.GetFolders().empty());
  EXPECT_EQ("", http_.FolderRootUrl(account_));
}

TEST_F(JobTest, UnreachableServiceIsMinusOne) {
  const int port = service_.port;
  service_.Stop();
  settings_.serviceHost = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(-1, LoginPop());
  http_.Login(CHotmailHTTP::FRONT_SMTP, account_);
  EXPECT_EQ(-1, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_LOGIN));
}

TEST_F(JobTest, SecondLoginWithTheSameCredentialsSkipsDiscovery) {
  ASSERT_EQ(207, LoginPop());
  http_.GetMails()[0]->deleted = true;
  EXPECT_EQ(207, LoginPop());
  const std::vector<std::string> propfinds = service_.Requests("PROPFIND");
  EXPECT_EQ(1, Count(propfinds, "PROPFIND 207 /svcs/"));
  EXPECT_EQ(2, Count(propfinds, "PROPFIND 207 /hmdata/demo@hotmail.com/F000000001/"));
  EXPECT_EQ("1=MSG0001 2=MSG0002 3=MSG0003 4=MSG0005 5=MSG0006 ", MailIds());
  EXPECT_FALSE(http_.GetMails()[0]->deleted);  // the list was rebuilt
  // Other credentials discover again, and fail there.
  account_.password = "other";
  EXPECT_EQ(401, LoginPop());
}

TEST_F(JobTest, SmtpLoginIsDiscoveryOnlyAndAlwaysAsksTheService) {
  for (size_t n = 1; n <= 2; ++n) {
    http_.Login(CHotmailHTTP::FRONT_SMTP, account_);
    EXPECT_EQ(207, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_LOGIN));
    EXPECT_EQ(n, service_.Requests("PROPFIND").size());
  }
  EXPECT_TRUE(http_.GetFolders().empty());
}

// A failed discovery leaves nothing behind: the account's next log-in
// discovers again and lists its own folders, never another account's.
TEST_F(JobTest, LoginAfterAFailedDiscoveryDiscoversAfresh) {
  CCredentials other{"friend@hotmail.com", "friend"};
  http_.Login(CHotmailHTTP::FRONT_POP, other);
  ASSERT_EQ(207, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_LOGIN));
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "PROPFIND", "path": "/svcs/", "status": 503})").substr(0, 2));
  EXPECT_EQ(503, LoginPop());
  service_.Command("clear");
  EXPECT_EQ(207, LoginPop());
  const std::vector<std::string> propfinds = service_.Requests("PROPFIND");
  ASSERT_FALSE(propfinds.empty());
  EXPECT_EQ("PROPFIND 207 /svcs/hotmail/httpmail.asp", propfinds[0]);
  EXPECT_EQ(0, Count(propfinds, "PROPFIND 403"));
  EXPECT_EQ("1=MSG0001 2=MSG0002 3=MSG0003 4=MSG0005 5=MSG0006 ", MailIds());
}

class EncodingJobTest : public JobTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EncodingJobTest, RepliesAreReadInTheServiceEncoding) {
  StartService(std::string("{\"encoding\": \"") + GetParam() + "\"}");
  ASSERT_EQ(207, LoginPop());
  ASSERT_EQ(5u, http_.GetMails().size());
  EXPECT_EQ("three", http_.GetMails()[2]->subject);
  EXPECT_EQ("日本語", http_.GetMails()[4]->subject);
  EXPECT_EQ("Work", http_.GetFolders()[3]->displayName);
}

INSTANTIATE_TEST_SUITE_P(Encodings, EncodingJobTest, ::testing::Values("utf-8", "utf-16", "shift_jis", "bare"));

TEST_F(JobTest, FailedFolderListingFailsTheLoginEvenWhenAnotherSucceeds) {
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "PROPFIND", "path": "/F000000001/", "status": 500})").substr(0, 2));
  EXPECT_EQ(500, LoginPop());
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "PROPFIND", "path": "/FWORK/", "status": 503})").substr(0, 2));
  EXPECT_EQ(503, LoginPop());  // the later folder's failure, not the inbox's success
  // An unreadable list is no empty folder, and a list that breaks off adds
  // nothing of itself: one box each, the other folder still listed.
  struct Case {
    const char* body;
    const char* box;
  } cases[] = {
      {"garbage", "[レスポンスの XML を読み取れませんでした]"},
      {"malformed", "[レスポンスの XML を読み取れませんでした]"},  // cut in the middle, length matching
      {"truncated", "エラーが発生しました。"},  // the connection closes halfway: a failed read
  };
  for (const Case& c : cases) {
    ASSERT_EQ("ok", service_.Command(std::string(R"(fault {"method": "PROPFIND", "path": "/F000000001/", "body": ")") +
                                     c.body + "\"}").substr(0, 2));
    const int boxes = LogCount(c.box);
    EXPECT_EQ(-1, LoginPop()) << c.body;
    EXPECT_EQ(boxes + 1, LogCount(c.box)) << c.body;
    EXPECT_EQ("1=MSG0005 2=MSG0006 ", MailIds()) << c.body;
  }
}

// ---- download -------------------------------------------------------------------------

TEST_F(JobTest, RetrieveStoresExactlyThatMessage) {
  ASSERT_EQ(207, LoginPop());
  http_.Retrieve(account_, 2);
  EXPECT_EQ(RETRIEVE_OK_BASE + 2, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_RETRIEVE));
  EXPECT_EQ(File("inbox", "MSG0002"), http_.GetMails()[1]->content);
  EXPECT_EQ("Subject: two\r\n\r\nsecond message\r\n", http_.GetMails()[1]->content);
  for (size_t i : {0u, 2u, 3u, 4u}) EXPECT_EQ("", http_.GetMails()[i]->content);
  http_.Retrieve(account_, 5);
  EXPECT_EQ(RETRIEVE_OK_BASE + 5, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_RETRIEVE));
  EXPECT_EQ(File("Work", "MSG0006"), http_.GetMails()[4]->content);
}

TEST_F(JobTest, RetrieveFailuresReportTheirStatus) {
  ASSERT_EQ(207, LoginPop());
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "GET", "status": 404})").substr(0, 2));
  http_.Retrieve(account_, 3);
  EXPECT_EQ(404, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_RETRIEVE));
  EXPECT_EQ("", http_.GetMails()[2]->content);
  // A number that names no message starts nothing and is a failure, not
  // the success value RETRIEVE_OK_BASE + n.
  http_.Retrieve(account_, 9);
  EXPECT_EQ(-1, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_RETRIEVE));
}

TEST_F(JobTest, OverlappingJobsOfBothSidesEachFinish) {
  ASSERT_EQ(207, LoginPop());
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "GET", "delay": 0.5})").substr(0, 2));
  http_.Retrieve(account_, 3);
  // While the download runs the SMTP side logs in (a discovery of its own)
  // and posts a message.
  http_.Login(CHotmailHTTP::FRONT_SMTP, account_);
  std::vector<JobDone> seen;
  for (int i = 0; i < 2; ++i) seen.push_back(Await());
  http_.SendMail(account_, "MAIL FROM:<demo@hotmail.com>\r\nRCPT TO:<friend@hotmail.com>\r\n\r\n"
                           "Subject: hello\r\n\r\nhi\r\n\r\n");
  seen.push_back(Await());
  Pump(std::chrono::milliseconds(150));
  EXPECT_TRUE(done_.empty());
  int pop = 0, smtpLogin = 0, smtpSend = 0;
  for (const JobDone& d : seen) {
    if (d.message == WM_POP_JOB_DONE && d.kind == POP_JOB_RETRIEVE && d.result == RETRIEVE_OK_BASE + 3) ++pop;
    if (d.message == WM_SMTP_JOB_DONE && d.kind == SMTP_JOB_LOGIN && d.result == 207) ++smtpLogin;
    if (d.message == WM_SMTP_JOB_DONE && d.kind == SMTP_JOB_SEND && d.result == 201) ++smtpSend;
  }
  EXPECT_EQ(1, pop);
  EXPECT_EQ(1, smtpLogin);
  EXPECT_EQ(1, smtpSend);
  EXPECT_EQ(File("inbox", "MSG0003"), http_.GetMails()[2]->content);
}

// ---- commit ---------------------------------------------------------------------------

class CommitTest : public JobTest {
 protected:
  // Log in, download message 1 (unread) and 5 (unread), mark 2 and 4 deleted.
  void Prepare(int deleteMode) {
    settings_.deleteMode = deleteMode;
    ASSERT_EQ(207, LoginPop());
    for (int n : {1, 4}) {
      http_.Retrieve(account_, n);
      ASSERT_EQ(RETRIEVE_OK_BASE + n, AwaitOnly(WM_POP_JOB_DONE, POP_JOB_RETRIEVE));
      http_.GetMails()[n - 1]->retrieved = true;
    }
    http_.GetMails()[1]->deleted = true;
    http_.GetMails()[3]->deleted = true;
    service_.Command("clear");
  }
  LPARAM CommitJob() {
    http_.Commit(account_);
    return AwaitOnly(WM_POP_JOB_DONE, POP_JOB_COMMIT);
  }
};

TEST_F(CommitTest, Mode0OnlyMarksRead) {
  Prepare(0);
  const LPARAM r = CommitJob();
  EXPECT_TRUE(r >= 200 && r <= 299) << r;
  EXPECT_TRUE(IsRead("inbox", "MSG0001"));
  EXPECT_TRUE(IsRead("Work", "MSG0005"));
  EXPECT_FALSE(IsRead("inbox", "MSG0002"));
  EXPECT_EQ("MSG0001 MSG0002 MSG0003", Ids("inbox"));
  EXPECT_EQ("MSG0005 MSG0006", Ids("Work"));
  EXPECT_EQ("", Ids("deleteditems"));
  const std::vector<std::string> all = service_.Requests();
  EXPECT_EQ(2u, all.size());
  EXPECT_EQ(2, Count(all, "PROPPATCH"));
}

TEST_F(CommitTest, Mode1MovesMarkedMessagesToDeletedItems) {
  Prepare(1);
  const LPARAM r = CommitJob();
  EXPECT_TRUE(r >= 200 && r <= 299) << r;
  EXPECT_EQ("MSG0001 MSG0003", Ids("inbox"));
  EXPECT_EQ("MSG0006", Ids("Work"));
  EXPECT_EQ("MSG0002 MSG0005", Ids("deleteditems"));
  EXPECT_TRUE(IsRead("inbox", "MSG0001"));
  EXPECT_TRUE(IsRead("deleteditems", "MSG0005"));  // read first, then moved
  // Submitted in order: read marks, then moves.
  const std::vector<std::string> all = service_.Requests();
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ(0u, all[0].find("PROPPATCH"));
  EXPECT_EQ(0u, all[1].find("PROPPATCH"));
  EXPECT_EQ(0u, all[2].find("MOVE"));
  EXPECT_EQ(0u, all[3].find("MOVE"));
  bool destination = false;
  for (const std::string& h : service_.Headers("MOVE", 0))
    destination |= h == "Destination: http://" + service_.HostPort() + "/hmdata/demo@hotmail.com/F000000004/MSG0002";
  EXPECT_TRUE(destination);
}

TEST_F(CommitTest, Mode2DeletesMarkedMessages) {
  Prepare(2);
  const LPARAM r = CommitJob();
  EXPECT_TRUE(r >= 200 && r <= 299) << r;
  EXPECT_EQ("MSG0001 MSG0003", Ids("inbox"));
  EXPECT_EQ("MSG0006", Ids("Work"));
  EXPECT_EQ("", Ids("deleteditems"));
  EXPECT_EQ(2, Count(service_.Requests(), "DELETE 204"));
}

TEST_F(CommitTest, NothingToDoPostsAtOnce) {
  ASSERT_EQ(207, LoginPop());
  service_.Command("clear");
  EXPECT_EQ(207, CommitJob());
  EXPECT_TRUE(service_.Requests().empty());
}

TEST_F(CommitTest, FailedMoveFailsTheCommitEvenWhenLaterRequestsSucceed) {
  Prepare(1);
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "MOVE", "status": 500})").substr(0, 2));
  EXPECT_EQ(500, CommitJob());
  EXPECT_EQ("MSG0001 MSG0002 MSG0003", Ids("inbox"));  // that move was refused
  EXPECT_EQ("MSG0005", Ids("deleteditems"));        // the other one was made
}

TEST_F(CommitTest, WithoutADeletedItemsFolderNothingMoves) {
  settings_.deleteTarget = "nosuchkind";
  Prepare(1);
  EXPECT_EQ(JobResult::kNotRemoved, CommitJob()) << "the marked messages stay: no success";
  EXPECT_EQ(1, LogCount("[削除先のフォルダが見つかりません]"));
  EXPECT_EQ(1, LogCount("ソースファイル名: HotmailHTTPReaders.cpp"));
  EXPECT_EQ("MSG0001 MSG0002 MSG0003", Ids("inbox"));
  EXPECT_TRUE(IsRead("inbox", "MSG0001")) << "read marks are still made";
  EXPECT_EQ(0, Count(service_.Requests(), "MOVE"));
  // Nothing marked: nothing to move, no box.
  http_.ClearDeletionMarks();
  EXPECT_EQ(207, CommitJob());
  EXPECT_EQ(1, LogCount("[削除先のフォルダが見つかりません]"));
}

// ---- send -----------------------------------------------------------------------------

TEST_F(JobTest, SendPostsEnvelopeAndMessage) {
  const std::string body =
      "MAIL FROM:<demo@hotmail.com>\r\nRCPT TO:<friend@hotmail.com>\r\n\r\nSubject: hello\r\n\r\nhi there\r\n\r\n";
  // Credentials that never discovered their send URL send nothing.
  http_.SendMail(account_, body);
  EXPECT_EQ(-1, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_SEND));
  EXPECT_TRUE(service_.Requests("POST").empty());
  http_.Login(CHotmailHTTP::FRONT_SMTP, account_);
  ASSERT_EQ(207, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_LOGIN));
  http_.SendMail(account_, body);
  EXPECT_EQ(201, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_SEND));
  EXPECT_EQ(body, service_.Body("POST", 0));
  EXPECT_EQ(1u, service_.Requests("POST").size());
  EXPECT_NE("", service_.Command("ids friend@hotmail.com inbox"));
  // A refused submission is reported as such.
  ASSERT_EQ("ok", service_.Command(R"(fault {"method": "POST", "status": 550})").substr(0, 2));
  http_.SendMail(account_, body);
  EXPECT_EQ(550, AwaitOnly(WM_SMTP_JOB_DONE, SMTP_JOB_SEND));
}
