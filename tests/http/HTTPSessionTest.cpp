// CHTTPSession against local servers: results, redirects, proxy fallback,
// the slot limit and queue, shutdown, failures and authentication.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Digest.h"
#include "SessionFixture.h"
#include "TestHttpServer.h"

using namespace std::chrono_literals;

namespace {

const char kMultiStatus[] = "HTTP/1.1 207 Multi-Status";

std::string Xml(size_t size) {
  std::string body = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\">";
  while (body.size() + 20 < size) body += "<D:response>x</D:response>";
  return body + "</D:multistatus>";
}

// What a consumer was given: the bytes read, the status it saw, and what
// its last read returned.
struct Consumed {
  std::string text;
  int status = 0;
  int last = 1;
  bool called = false;
};

// Reads a body in pieces of `piece` bytes until it ends, fails, or
// `limit` bytes were read.
class TestConsumer : public CBodyConsumer {
 public:
  TestConsumer(Consumed& out, int piece, size_t limit = std::string::npos) : out_(out), piece_(piece), limit_(limit) {}
  void Consume(CBodySource& body, const CHTTPSession& session) override {
    out_.called = true;
    out_.status = session.status;
    std::vector<char> buffer(static_cast<size_t>(piece_));
    while (out_.text.size() < limit_) {
      out_.last = body.Read(buffer.data(), piece_);
      if (out_.last <= 0) break;
      out_.text.append(buffer.data(), static_cast<size_t>(out_.last));
    }
  }

 private:
  Consumed& out_;
  int piece_;
  size_t limit_;
};

}  // namespace

class HTTPSessionTest : public SessionFixture {};

// A body is only read for 200, 201 and 207; an empty 200 is an empty answer.
TEST_F(HTTPSessionTest, BodyIsReadOnlyForSuccess) {
  TestHttpServer server([](const HttpRequest& r) {
    if (r.target == "/none") return HttpReply(204, "No Content");
    if (r.target == "/empty") return HttpReply(200, "OK");
    return HttpReply(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"x\"\r\n", "denied");
  });
  const struct {
    const char* path;
    int status;
    const char* response;
  } cases[] = {{"/none", 204, "as it was"}, {"/denied", 401, "as it was"}, {"/empty", 200, ""}};
  for (const auto& k : cases) {
    CHTTPSession* s = NewSession(server.Url(k.path), "GET");
    s->response = "as it was";
    Completion c = RunOne(s);
    EXPECT_TRUE(c.completed) << k.path;
    EXPECT_EQ(k.status, c.status) << k.path;
    EXPECT_EQ(k.response, c.response) << k.path;
  }
  EXPECT_EQ(0, Count(LogText(), "[レスポンスの本文は以下のとおりです]\ndenied"));
  EXPECT_EQ(0, Boxes());
}

TEST_F(HTTPSessionTest, BodyOverTheSessionsCapIsRefusedWithAndWithoutALength) {
  const std::string xml = Xml(300000);
  for (bool chunked : {false, true}) {
    TestHttpServer server([&](const HttpRequest&) {
      return chunked ? HttpChunkedReply(207, "Multi-Status", xml, 7000) : HttpReply(207, "Multi-Status", "", xml);
    });
    for (size_t cap : {xml.size() - 1, xml.size()}) {
      for (bool streamed : {false, true}) {
        Consumed consumed;
        CHTTPSession* s = NewSession(server.Url("/big/"));
        s->maxResponse = cap;
        if (streamed) s->consumer.reset(new TestConsumer(consumed, 5000));
        Completion c = RunOne(s);
        EXPECT_EQ(cap >= xml.size(), c.completed) << chunked << " " << cap << " " << streamed;
        EXPECT_EQ(cap >= xml.size() && !streamed ? xml.size() : 0u, c.response.size()) << chunked << " " << cap;
        if (!streamed) continue;
        // Refused before the consumer is called when the length says so, else
        // as the read that passes the cap fails.
        EXPECT_EQ(chunked || cap >= xml.size(), consumed.called) << chunked << " " << cap;
        if (cap >= xml.size()) {
          EXPECT_TRUE(consumed.text == xml) << chunked;
        } else if (chunked) {
          EXPECT_EQ(-1, consumed.last);
        }
      }
    }
  }
  EXPECT_EQ(4, Count(LogText(), "[レスポンスが大きすぎます]"));
}

// A consumer takes the body as it arrives; what it leaves is read and
// dropped, and the log holds the body as it came, either way.
TEST_F(HTTPSessionTest, StreamedBodyReachesItsConsumerAndTheLog) {
  const std::string xml = Xml(300000);
  // Long enough that the transport does not take it all in while sending.
  const std::string longXml = Xml(6 * 1024 * 1024);
  TestHttpServer server([&](const HttpRequest& r) {
    if (r.target == "/broken/")  // half the body, then the connection closes
      return "HTTP/1.1 207 Multi-Status\r\nContent-Length: " + std::to_string(longXml.size()) +
             "\r\nConnection: close\r\n\r\n" + longXml.substr(0, longXml.size() / 2);
    return HttpChunkedReply(207, "Multi-Status", xml, 7000);
  });
  struct Case {
    const char* path;
    int piece;
    size_t limit;
    bool completed;
    std::string text;
  } cases[] = {
      {"/whole/", 1000, std::string::npos, true, xml},
      {"/whole/", 65536, std::string::npos, true, xml},
      {"/stops/", 10, 10, true, xml.substr(0, 10)},
      {"/broken/", 4096, std::string::npos, false, ""},
  };
  for (const Case& k : cases) {
    const int boxes = Boxes();
    const size_t logged = LogText().size();
    Consumed consumed;
    CHTTPSession* s = NewSession(server.Url(k.path));
    s->consumer.reset(new TestConsumer(consumed, k.piece, k.limit));
    Completion c = RunOne(s);
    EXPECT_EQ(k.completed, c.completed) << k.path;
    EXPECT_EQ("", c.response) << k.path;
    EXPECT_EQ(207, consumed.status) << k.path;
    const std::string log = LogText().substr(logged);
    if (k.completed) {
      EXPECT_TRUE(consumed.text == k.text) << k.path << " " << k.piece;
      EXPECT_EQ(boxes, Boxes()) << k.path;
      EXPECT_NE(std::string::npos, log.find("[レスポンスの本文は以下のとおりです]\n" + xml + "\n[")) << k.path;
    } else {
      EXPECT_EQ(-1, consumed.last);
      EXPECT_TRUE(longXml.compare(0, consumed.text.size(), consumed.text) == 0);
      EXPECT_EQ(boxes + 1, Boxes());
      EXPECT_EQ(1, Count(log, "[HTTPSession は失敗しました]"));
    }
  }
}

TEST_F(HTTPSessionTest, MultiStatusBodyIsReadWholeAndRequestGoesAsFilled) {
  const std::string xml = Xml(300000);
  TestHttpServer server([&](const HttpRequest&) { return HttpChunkedReply(207, "Multi-Status", xml, 7000); });
  const std::string headers = "Depth: 1\r\nContent-Type: text/xml\r\nBrief: t\r\n";
  const std::string body = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>";
  Completion c = RunOne(NewSession(server.Url("/folders/inbox/"), "PROPFIND", headers, body));
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(207, c.status);
  EXPECT_EQ(xml.size(), c.response.size());
  EXPECT_TRUE(c.response == xml);

  ASSERT_EQ(1u, server.RequestCount());
  HttpRequest r = server.Requests()[0];
  EXPECT_EQ("PROPFIND", r.method);
  EXPECT_EQ("/folders/inbox/", r.target);
  EXPECT_EQ("1", r.Header("Depth"));
  EXPECT_EQ("text/xml", r.Header("Content-Type"));
  EXPECT_EQ(body, r.body);
  EXPECT_EQ(settings_.userAgent, r.Header("User-Agent"));
  EXPECT_FALSE(r.HasHeader("Expect"));

  std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("[以下の URL にアクセスします]\n" + server.Url("/folders/inbox/") + "\n"));
  EXPECT_NE(std::string::npos, log.find("[リクエストのヘッダは以下のとおりです]\nPROPFIND /folders/inbox/ HTTP/1.1\r\n"));
  EXPECT_NE(std::string::npos, log.find("[リクエストの本文は以下のとおりです]\n" + body + "\n"));
  EXPECT_NE(std::string::npos, log.find("[レスポンスのヘッダは以下のとおりです]\n" + std::string(kMultiStatus)));
  EXPECT_NE(std::string::npos, log.find("[レスポンスの本文は以下のとおりです]\n" + xml + "\n"));
  EXPECT_EQ(1, Count(log, "[スレッドを作成しました]"));
  EXPECT_EQ(1, Count(log, "[スレッドをシグナル状態にします]"));
  EXPECT_EQ(0, Count(log, "[HTTPSession は失敗しました]"));
}

TEST_F(HTTPSessionTest, RedirectIsResentToLocationWithSameRequest) {
  std::string target;
  TestHttpServer server([&](const HttpRequest& r) {
    if (r.target == "/old") return HttpReply(302, "Found", "Location: " + target + "\r\n", "moved");
    return HttpReply(207, "Multi-Status", "", "<ok/>");
  });
  target = server.Url("/new/place");
  const std::string headers = "Depth: 0\r\nContent-Type: text/xml\r\n";
  const std::string body = "<D:propfind xmlns:D=\"DAV:\"/>";
  Completion c = RunOne(NewSession(server.Url("/old"), "PROPFIND", headers, body));
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(207, c.status);
  EXPECT_EQ("<ok/>", c.response);
  EXPECT_EQ(target, c.url);

  std::vector<HttpRequest> seen = server.Requests();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ("/new/place", seen[1].target);
  EXPECT_EQ("PROPFIND", seen[1].method);
  EXPECT_EQ("0", seen[1].Header("Depth"));
  EXPECT_EQ(body, seen[1].body);
  EXPECT_EQ(1, Count(LogText(), "[リダイレクトします]\n"));
  EXPECT_EQ(0, Boxes());
}

// Credentials go only to the origin the request was made for: a redirect
// elsewhere is followed without them, whatever the verb; one on the same
// origin keeps them.
TEST_F(HTTPSessionTest, RedirectToAnotherOriginIsFollowedWithoutCredentials) {
  const std::string challenge = "WWW-Authenticate: Basic realm=\"m\"\r\n";
  TestHttpServer elsewhere([&](const HttpRequest& r) {
    if (!r.HasHeader("Authorization")) return HttpReply(401, "Unauthorized", challenge);
    return HttpReply(207, "Multi-Status", "", "<stolen/>");
  });
  std::string target;
  TestHttpServer service([&](const HttpRequest& r) {
    if (!r.HasHeader("Authorization")) return HttpReply(401, "Unauthorized", challenge);
    if (r.target == "/away") return HttpReply(302, "Found", "Location: " + target + "\r\n");
    if (r.target == "/here") return HttpReply(301, "Moved", "Location: /there\r\n");
    return HttpReply(200, "OK", "", "<own/>");
  });
  target = elsewhere.Url("/took");
  for (const char* method : {"PROPFIND", "GET"}) {
    CHTTPSession* s = NewSession(service.Url("/away"), method);
    s->userName = "alice";
    s->password = "s3cret";
    Completion c = RunOne(s);
    EXPECT_TRUE(c.completed) << method;
    EXPECT_EQ(401, c.status) << method;
    EXPECT_EQ(target, c.url) << method;
  }
  for (const HttpRequest& r : elsewhere.Requests()) EXPECT_FALSE(r.HasHeader("Authorization")) << r.method;
  EXPECT_EQ(2u, elsewhere.RequestCount());
  CHTTPSession* same = NewSession(service.Url("/here"), "GET");
  same->userName = "alice";
  same->password = "s3cret";
  Completion c = RunOne(same);
  EXPECT_EQ(200, c.status);
  EXPECT_EQ("<own/>", c.response);
}

// A header value, user name or password that holds a line break would add
// header lines of its own: the request is refused before anything is sent.
TEST_F(HTTPSessionTest, HeaderValuesWithLineBreaksAreNeverSent) {
  TestHttpServer server([](const HttpRequest&) { return HttpReply(207, "Multi-Status", "", "<ok/>"); });
  struct Case {
    std::string headers;
    std::string userName;
    std::string password;
  };
  const Case cases[] = {
      {"Depth: 0\r\nX: a\rb\r\n", "", ""},
      {"Depth: 0\nX-Injected: 1\r\n", "", ""},
      {"Depth: 0\r\n\r\nGET / HTTP/1.1\r\n", "", ""},
      {"Depth: 0", "", ""},
      {std::string("X: a\0b\r\n", 8), "", ""},
      {"", "alice\r\nX-Injected: 1", "pw"},
      {"", "alice", "p\rw"},
      {"", "alice", std::string("p\0w", 3)},
  };
  int boxes = 0;
  for (const Case& k : cases) {
    CHTTPSession* s = NewSession(server.Url("/"), "PROPFIND", k.headers);
    s->userName = k.userName;
    s->password = k.password;
    Completion c = RunOne(s);
    EXPECT_FALSE(c.completed) << k.headers << k.userName << k.password;
    EXPECT_EQ(++boxes, Count(LogText(), "[リクエストのヘッダに使えない文字が含まれています]"));
  }
  EXPECT_EQ(0u, server.RequestCount());
  Completion c = RunOne(NewSession(server.Url("/"), "PROPFIND", "Depth: 0\r\nBrief: t\r\n"));
  EXPECT_TRUE(c.completed);
}

TEST_F(HTTPSessionTest, RedirectLoopEndsAfterTenWithABox) {
  std::string self;
  TestHttpServer server([&](const HttpRequest&) { return HttpReply(302, "Found", "Location: " + self + "\r\n"); });
  self = server.Url("/loop");
  Completion c = RunOne(NewSession(self, "MOVE", "Destination: /x\r\n"));
  EXPECT_FALSE(c.completed);
  EXPECT_EQ(11u, server.RequestCount()) << "the first request and ten redirects";
  std::string log = LogText();
  EXPECT_EQ(10, Count(log, "[リダイレクトします]"));
  EXPECT_EQ(1, Count(log, "[リダイレクトの回数が上限を超えました]"));
  EXPECT_EQ(1, Boxes());
  EXPECT_EQ(1, Count(log, "[HTTPSession は失敗しました]"));
}

TEST_F(HTTPSessionTest, ProxyAnsweringBadRequestSwitchesToDirectForGood) {
  TestHttpServer proxy([](const HttpRequest&) { return HttpReply(400, "Bad Request", "", "no"); });
  TestHttpServer service([](const HttpRequest& r) {
    if (r.target == "/bad") return HttpReply(400, "Bad Request");
    return HttpReply(207, "Multi-Status", "", "<direct/>");
  });
  settings_.doNotUseProxy = false;
  setenv("http_proxy", proxy.Url("").c_str(), 1);

  Completion c = RunOne(NewSession(service.Url("/login"), "PROPFIND", "Depth: 0\r\n", "<q/>"));
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(207, c.status);
  EXPECT_EQ("<direct/>", c.response);
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ(service.Url("/login"), proxy.Requests()[0].target) << "a proxy is sent the absolute URL";
  ASSERT_EQ(1u, service.RequestCount());
  EXPECT_EQ("<q/>", service.Requests()[0].body);
  EXPECT_TRUE(settings_.doNotUseProxy);
  EXPECT_EQ(1u, GetPrivateProfileIntA("Property", "DoNotUseProxy", 0, settings_.iniPath.c_str()));
  std::string log = LogText();
  EXPECT_EQ(1, Count(log, "[プロキシを使わない設定に変更しました]"));

  // Later sessions go direct; a 400 there is simply the result.
  c = RunOne(NewSession(service.Url("/bad"), "PROPFIND"));
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(400, c.status);
  EXPECT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ(1, Count(LogText(), "[プロキシを使わない設定に変更しました]"));
  EXPECT_EQ(0, Boxes());
}

TEST_F(HTTPSessionTest, ProxyFallbackLeavesOtherRunningSessionsAlone) {
  Gate slow;
  TestHttpServer proxy([&](const HttpRequest& r) {
    if (r.method == "PROPFIND") return HttpReply(400, "Bad Request");
    slow.Wait();
    return HttpReply(200, "OK", "", "through the proxy");
  });
  OpenOnExit openSlow(slow);
  TestHttpServer service([](const HttpRequest&) { return HttpReply(207, "Multi-Status", "", "<direct/>"); });
  settings_.doNotUseProxy = false;
  settings_.threadCount = 2;
  setenv("http_proxy", proxy.Url("").c_str(), 1);

  ASSERT_TRUE(Submit(NewSession(service.Url("/message/1"), "GET")));
  ASSERT_TRUE(proxy.WaitForRequests(1));
  ASSERT_TRUE(Submit(NewSession(service.Url("/login"), "PROPFIND")));
  ASSERT_TRUE(WaitForCompletions(1));
  EXPECT_EQ(207, completions_[0].status);
  EXPECT_TRUE(settings_.doNotUseProxy);

  // The GET still running through the proxy keeps its WinInet handle.
  slow.Open();
  ASSERT_TRUE(WaitForCompletions(2));
  EXPECT_TRUE(completions_[1].completed);
  EXPECT_EQ(200, completions_[1].status);
  EXPECT_EQ("through the proxy", completions_[1].response);
  EXPECT_EQ(0, Boxes());
}

// One worker (ThreadCount 1, or below one) runs the sessions one at a
// time, in the order submitted.
TEST_F(HTTPSessionTest, OneThreadRunsSessionsStrictlyInOrder) {
  for (int threads : {1, 0}) {
    SCOPED_TRACE(threads);
    Gate first;
    std::atomic<int> inFlight{0}, most{0};
    TestHttpServer server([&](const HttpRequest& r) {
      const int now = ++inFlight;
      for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      if (r.target == "/first") first.Wait();
      --inFlight;
      return HttpReply(207, "Multi-Status", "", r.target);
    });
    OpenOnExit openFirst(first);
    settings_.threadCount = threads;
    const size_t done = completions_.size();
    ASSERT_TRUE(Submit(NewSession(server.Url("/first"))));
    ASSERT_TRUE(Submit(NewSession(server.Url("/second"))));
    ASSERT_TRUE(server.WaitForRequests(1));
    first.Open();
    ASSERT_TRUE(WaitForCompletions(done + 2));
    EXPECT_EQ("/first", completions_[done].response);
    EXPECT_EQ("/second", completions_[done + 1].response);
    EXPECT_EQ(1, most.load()) << "the second must wait for the first";
    std::vector<HttpRequest> seen = server.Requests();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("/first", seen[0].target);
    EXPECT_EQ("/second", seen[1].target);
    if (threads == 1) {
      EXPECT_EQ(1, Count(LogText(), "[スレッドを作成しました]")) << "one worker runs both";
    }
  }
}

// One of two workers is held; the queued sessions run on the other in the
// order submitted, no third worker starts, and Shutdown ends both.
TEST_F(HTTPSessionTest, QueuedSessionsTakeTheFreeWorkerInOrder) {
  Gate slow;
  std::atomic<int> inFlight{0}, most{0};
  TestHttpServer server([&](const HttpRequest& r) {
    const int now = ++inFlight;
    for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    if (r.target == "/slow") slow.Wait();
    --inFlight;
    return HttpReply(207, "Multi-Status", "", r.target);
  });
  OpenOnExit openSlow(slow);
  settings_.threadCount = 2;
  const std::vector<std::string> queued = {"/a", "/b", "/c", "/d", "/e"};
  ASSERT_TRUE(Submit(NewSession(server.Url("/slow"))));
  for (const std::string& path : queued) ASSERT_TRUE(Submit(NewSession(server.Url(path))));
  ASSERT_TRUE(WaitForCompletions(queued.size()));
  for (size_t i = 0; i < queued.size(); ++i) EXPECT_EQ(queued[i], completions_[i].response);
  slow.Open();
  ASSERT_TRUE(WaitForCompletions(queued.size() + 1));
  EXPECT_EQ(2, most.load());
  EXPECT_EQ(2, Count(LogText(), "[スレッドを作成しました]"));
  CHTTPSession::Shutdown();
  EXPECT_EQ(2, Count(LogText(), "[スレッドのハンドルを閉じました]")) << "every worker ended";
}

// The parallel queue has slots of its own: its sessions run while the main
// queue's one slot is held, and at most kParallelSlots of them at once.
TEST_F(HTTPSessionTest, ParallelQueueNeitherWaitsForTheMainOneNorPassesItsBound) {
  Gate slow;
  std::atomic<int> inFlight{0}, most{0};
  TestHttpServer server([&](const HttpRequest& r) {
    if (r.target == "/slow") {
      slow.Wait();
      return HttpReply(207, "Multi-Status", "", r.target);
    }
    const int now = ++inFlight;
    for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    Sleep(20);  // long enough for the others to pile up
    --inFlight;
    return HttpReply(207, "Multi-Status", "", r.target);
  });
  OpenOnExit openSlow(slow);
  settings_.threadCount = 1;
  ASSERT_TRUE(Submit(NewSession(server.Url("/slow"))));
  const int parallel = CHTTPSession::kParallelSlots * 2;
  for (int i = 0; i < parallel; ++i) {
    auto session = NewSession(server.Url("/p" + std::to_string(i)));
    session->queue = CHTTPSession::Queue::Parallel;
    ASSERT_TRUE(Submit(std::move(session)));
  }
  ASSERT_TRUE(WaitForCompletions(static_cast<size_t>(parallel)));
  EXPECT_LE(most.load(), CHTTPSession::kParallelSlots);
  slow.Open();
  ASSERT_TRUE(WaitForCompletions(static_cast<size_t>(parallel) + 1));
}

TEST_F(HTTPSessionTest, KeepAliveReusesTheConnection) {
  TestHttpServer server([](const HttpRequest& r) { return HttpReply(207, "Multi-Status", "", r.target); });
  for (const char* path : {"/1", "/2", "/3"}) EXPECT_TRUE(RunOne(NewSession(server.Url(path))).completed);
  EXPECT_EQ(3u, server.RequestCount());
  EXPECT_EQ(1, server.Connections());
}

class TrackedSession : public CHTTPSession {
 public:
  explicit TrackedSession(bool* deleted) : deleted_(deleted) {}
  ~TrackedSession() override { *deleted_ = true; }

 private:
  bool* deleted_;
};

TEST_F(HTTPSessionTest, ShutdownDeletesQueuedSessionsUnrun) {
  Gate running;
  TestHttpServer server([&](const HttpRequest&) {
    running.Wait();
    return HttpReply(207, "Multi-Status", "", "<r/>");
  });
  OpenOnExit openRunning(running);
  bool deleted[2] = {false, false};
  ASSERT_TRUE(Submit(NewSession(server.Url("/running"))));
  for (bool& flag : deleted) {
    auto* s = new TrackedSession(&flag);
    s->url = server.Url("/queued");
    s->method = "PROPFIND";
    ASSERT_TRUE(CHTTPSession::Submit(s));
  }
  ASSERT_TRUE(server.WaitForRequests(1));
  std::thread opener([&] {
    std::this_thread::sleep_for(200ms);
    running.Open();
  });
  CHTTPSession::Shutdown();
  opener.join();
  EXPECT_TRUE(deleted[0]);
  EXPECT_TRUE(deleted[1]);
  std::string log = LogText();
  EXPECT_EQ(1, Count(log, "[HTTP Session がキューに残っています]"));
  EXPECT_EQ(1, Boxes());
  EXPECT_NE(std::string::npos, log.find("[WinInet を閉じました]"));

  // The running one had ended before WinInet was closed, and completes.
  ASSERT_TRUE(WaitForCompletions(1));
  EXPECT_TRUE(completions_[0].completed);
  EXPECT_EQ(1u, server.RequestCount()) << "no queued session may run";
}

TEST_F(HTTPSessionTest, ShutdownWaitsABoundedTimeThenCancelsRunningWorkers) {
  Gate never;
  TestHttpServer server([&](const HttpRequest&) {
    never.Wait(20s);
    return std::string();
  });
  OpenOnExit openNever(never);
  settings_.httpTimeOut = 30;
  ASSERT_TRUE(Submit(NewSession(server.Url("/hang"))));
  ASSERT_TRUE(server.WaitForRequests(1));
  const DWORD start = GetTickCount();
  CHTTPSession::Shutdown();
  const DWORD spent = GetTickCount() - start;
  EXPECT_GE(spent, 2900u);
  EXPECT_LT(spent, 5000u);
  // Closing WinInet ends the worker's blocked call at once.
  ASSERT_TRUE(WaitForCompletions(1, 3000));
  EXPECT_FALSE(completions_[0].completed);
  EXPECT_NE(std::string::npos, LogText().find("0x00002ef1")) << "ERROR_INTERNET_OPERATION_CANCELLED reported";
}

// Failures before any answer end the session not completed, with
// WinInet's error number and text in the log.
TEST_F(HTTPSessionTest, FailuresBeforeAnAnswerEndNotCompleted) {
  Gate never;
  TestHttpServer silent([&](const HttpRequest&) {
    never.Wait(20s);
    return std::string();
  });
  OpenOnExit openNever(never);
  settings_.httpTimeOut = 1;
  const struct {
    std::string url;
    const char* logged;
    const char* text;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(UnusedPort()) + "/x", "0x00002efd",  // ERROR_INTERNET_CANNOT_CONNECT
       "A connection with the server could not be established"},
      {"http://" + std::string(1100, 'h') + "/x", "0x0000007a", ""},  // from InternetCrackUrlA
      {silent.Url("/silent"), "0x00002ee2", "The operation timed out"},  // ERROR_INTERNET_TIMEOUT
  };
  int failed = 0;
  for (const auto& k : cases) {
    Completion c = RunOne(NewSession(k.url));
    EXPECT_FALSE(c.completed) << k.logged;
    const std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find(k.logged));
    EXPECT_NE(std::string::npos, log.find(k.text));
    EXPECT_EQ(++failed, Count(log, "[HTTPSession は失敗しました]"));
  }
}

TEST_F(HTTPSessionTest, DigestAuthenticationWithRightAndWrongPassword) {
  TestHttpServer server([](const HttpRequest& r) {
    if (DigestAnswers(r.Header("Authorization"), r.method, "alice", "s3cret", "mail", "n0nce"))
      return HttpReply(207, "Multi-Status", "", "<in/>");
    return HttpReply(401, "Unauthorized", DigestChallenge("mail", "n0nce"), "who?");
  });
  CHTTPSession* right = NewSession(server.Url("/folders/"), "PROPFIND", "Depth: 1\r\n", "<p/>");
  right->userName = "alice";
  right->password = "s3cret";
  Completion c = RunOne(right);
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(207, c.status);
  EXPECT_EQ("<in/>", c.response);
  ASSERT_EQ(2u, server.RequestCount());
  EXPECT_EQ("<p/>", server.Requests()[1].body) << "the body goes again with the answer";

  // The account's next request is answered at once: no challenge, the body sent once.
  CHTTPSession* again = NewSession(server.Url("/folders/"), "POST", "", "<q/>");
  again->userName = "alice";
  again->password = "s3cret";
  c = RunOne(again);
  EXPECT_EQ(207, c.status);
  ASSERT_EQ(3u, server.RequestCount());
  EXPECT_EQ("<q/>", server.Requests()[2].body);

  CHTTPSession* wrong = NewSession(server.Url("/folders/"), "PROPFIND");
  wrong->userName = "alice";
  wrong->password = "guess";
  c = RunOne(wrong);
  EXPECT_TRUE(c.completed);
  EXPECT_EQ(401, c.status);
  EXPECT_EQ("", c.response);
  // The other password's request learned nothing from alice's handle.
  EXPECT_EQ(5u, server.RequestCount());

  std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("Authorization: Digest ********\r\n"));
  EXPECT_EQ(std::string::npos, log.find("response=\""));
}

// Each session answers with the credentials it was created with, even when
// the next one is filled differently before it runs; the log masks them.
TEST_F(HTTPSessionTest, CredentialsAreTheSessionsOwnAndMaskedInTheLog) {
  TestHttpServer server([](const HttpRequest& r) {
    if (!r.HasHeader("Authorization")) return HttpReply(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"m\"\r\n");
    // Names whose credentials came, not the credentials: the body is logged.
    const std::string auth = r.Header("Authorization");
    return HttpReply(207, "Multi-Status", "",
                     auth == "Basic Ym9iOmh1bnRlcjI=" ? "bob" : auth == "Basic c2Vjb25kOnR3bw==" ? "second" : "other");
  });
  CHTTPSession* a = NewSession(server.Url("/a"), "PROPFIND", "Proxy-Authorization: Basic cHJveHk6cGFzcw==\r\n");
  a->userName = "bob";
  a->password = "hunter2";
  CHTTPSession* b = NewSession(server.Url("/b"));
  b->userName = "second";
  b->password = "two";
  ASSERT_TRUE(Submit(a));
  ASSERT_TRUE(Submit(b));
  ASSERT_TRUE(WaitForCompletions(2));
  EXPECT_EQ("bob", completions_[0].response);
  EXPECT_EQ("second", completions_[1].response);
  const std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("\r\nAuthorization: Basic ********\r\n"));
  EXPECT_NE(std::string::npos, log.find("\r\nProxy-Authorization: Basic ********\r\n"));
  for (const char* secret : {"Ym9iOmh1bnRlcjI=", "c2Vjb25kOnR3bw==", "cHJveHk6cGFzcw=="})
    EXPECT_EQ(std::string::npos, log.find(secret)) << secret;
}

TEST_F(HTTPSessionTest, SessionThatCanNeitherStartNorReportStaysWithTheCaller) {
  // A window that is gone takes no completion, and an address space with
  // no room for a thread's stack lets no worker start.
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own allocations need the address space this test takes away";
#endif
  HWND gone = CreateWindowExA(0, "SessionFixtureHost", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(DestroyWindow(gone));
  CHTTPSession::Configure({gone, &settings_});
  std::unique_ptr<CHTTPSession> s(NewSession("http://127.0.0.1:1/"));
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_AS, &saved));
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  ASSERT_NE(nullptr, statm);
  ASSERT_EQ(1, fscanf(statm, "%ld", &pages));
  fclose(statm);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1u << 20);
  ASSERT_EQ(0, setrlimit(RLIMIT_AS, &tight));
  const bool accepted = CHTTPSession::Submit(s.get());
  setrlimit(RLIMIT_AS, &saved);
  CHTTPSession::Configure({window_, &settings_});
  if (LogText().find("[スレッドを作成しました]") != std::string::npos)
    GTEST_SKIP() << "this build reserves address space up front; the worker started";
  EXPECT_FALSE(accepted) << "the caller must not wait for a completion that never comes";
  EXPECT_EQ(std::string::npos, LogText().find("[スレッドを作成しました]"));
}

TEST_F(HTTPSessionTest, SubmitWithoutMainWindowLeavesSessionWithCaller) {
  CHTTPSession::Configure({nullptr, &settings_});
  std::unique_ptr<CHTTPSession> s(NewSession("http://127.0.0.1:1/"));
  EXPECT_FALSE(CHTTPSession::Submit(s.get()));
  EXPECT_FALSE(CHTTPSession::Submit(nullptr));
  CHTTPSession::Configure({window_, &settings_});
  EXPECT_EQ(std::string::npos, LogText().find("[スレッドを作成しました]"));
}
