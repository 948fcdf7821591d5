// The WinInet layer for Linux, call by call, as WinInet documents it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <wininet.h>

#include <string>

#include "TestHttpServer.h"

namespace {

class Handle {
 public:
  explicit Handle(HINTERNET h) : h_(h) {}
  ~Handle() {
    if (h_) InternetCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

// Opens a request to the server's path and sends it.
struct Exchange {
  Exchange(DWORD access, int port, const char* verb, const char* path, const char* user = "", const char* password = "",
           DWORD flags = INTERNET_FLAG_KEEP_CONNECTION)
      : internet(InternetOpenA("kestrelon-test", access, nullptr, nullptr, 0)),
        connection(InternetConnectA(internet.get(), "127.0.0.1", static_cast<INTERNET_PORT>(port), user, password,
                                    INTERNET_SERVICE_HTTP, 0, 0)),
        request(HttpOpenRequestA(connection.get(), verb, path, "HTTP/1.1", nullptr, nullptr, flags, 0)) {}
  BOOL Send(const std::string& headers = "", const std::string& body = "") {
    BOOL ok = HttpSendRequestA(request.get(), headers.empty() ? nullptr : headers.c_str(),
                               static_cast<DWORD>(headers.size()), body.empty() ? nullptr : const_cast<char*>(body.data()),
                               static_cast<DWORD>(body.size()));
    error = ok ? 0 : GetLastError();
    return ok;
  }
  std::string Query(DWORD level) {
    DWORD size = 0;
    if (HttpQueryInfoA(request.get(), level, nullptr, &size, nullptr) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return "<none>";
    std::string text(size, '\0');
    if (!HttpQueryInfoA(request.get(), level, text.data(), &size, nullptr)) return "<failed>";
    text.resize(size);
    return text;
  }
  std::string ReadAll() {
    std::string out;
    char buf[1000];
    DWORD n = 0;
    while (InternetReadFile(request.get(), buf, sizeof buf, &n) && n > 0) out.append(buf, n);
    return out;
  }
  Handle internet, connection, request;
  DWORD error = 0;
};

struct Cracked {
  URL_COMPONENTSA uc{};
  char host[1024] = {};
  char path[1024] = {};
  Cracked() {
    uc.dwStructSize = sizeof uc;
    uc.lpszHostName = host;
    uc.dwHostNameLength = sizeof host;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = sizeof path;
  }
  BOOL Crack(const std::string& url) { return InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &uc); }
};

}  // namespace

TEST(InternetCrackUrl, FillsTheComponentsAskedFor) {
  Cracked c;
  char user[64], password[64];
  c.uc.lpszUserName = user;
  c.uc.dwUserNameLength = sizeof user;
  c.uc.lpszPassword = password;
  c.uc.dwPasswordLength = sizeof password;
  ASSERT_TRUE(c.Crack("http://me:pw@mail.example.com:8080/folders/inbox/?x=1#top"));
  EXPECT_STREQ("mail.example.com", c.host);
  EXPECT_EQ(16u, c.uc.dwHostNameLength);
  EXPECT_EQ(8080, c.uc.nPort);
  EXPECT_STREQ("/folders/inbox/?x=1#top", c.path) << "not asked for, the extra information stays in the path";
  EXPECT_STREQ("me", user);
  EXPECT_STREQ("pw", password);
  EXPECT_EQ(INTERNET_SCHEME_HTTP, c.uc.nScheme);
  EXPECT_EQ(nullptr, c.uc.lpszScheme) << "not asked for, not given";

  Cracked plain;
  ASSERT_TRUE(plain.Crack("http://services.example.net/svcs/hotmail/httpmail.asp"));
  EXPECT_EQ(80, plain.uc.nPort);
  EXPECT_STREQ("/svcs/hotmail/httpmail.asp", plain.path);
  Cracked secure;
  ASSERT_TRUE(secure.Crack("https://h/"));
  EXPECT_EQ(443, secure.uc.nPort);
  EXPECT_EQ(INTERNET_SCHEME_HTTPS, secure.uc.nScheme);

  Cracked split;
  char extra[64];
  split.uc.lpszExtraInfo = extra;
  split.uc.dwExtraInfoLength = sizeof extra;
  ASSERT_TRUE(split.Crack("http://h/a?x=1#top"));
  EXPECT_STREQ("/a", split.path);
  EXPECT_STREQ("?x=1#top", extra);
  Cracked bare;
  memset(bare.path, 'x', 8);
  ASSERT_TRUE(bare.Crack("http://h"));
  EXPECT_STREQ("", bare.path) << "an empty part is an empty text";

  // A length without a buffer asks for a pointer into the URL.
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  uc.dwHostNameLength = 1;
  const std::string url = "http://host:81/p";
  ASSERT_TRUE(InternetCrackUrlA(url.c_str(), 0, 0, &uc));
  EXPECT_EQ(url.c_str() + 7, uc.lpszHostName);
  EXPECT_EQ(4u, uc.dwHostNameLength);
}

TEST(InternetCrackUrl, RefusesWhatDoesNotFitOrParse) {
  Cracked fits;
  EXPECT_TRUE(fits.Crack("http://" + std::string(1023, 'a') + "/"));
  Cracked host;
  EXPECT_FALSE(host.Crack("http://" + std::string(1024, 'a') + "/"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  Cracked path;
  EXPECT_FALSE(path.Crack("http://h/" + std::string(1023, 'p')));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  Cracked scheme;
  EXPECT_FALSE(scheme.Crack("no scheme here"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_UNRECOGNIZED_SCHEME), GetLastError());
  Cracked port;
  EXPECT_FALSE(port.Crack("http://h:99999/"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_URL), GetLastError());
  Cracked size;
  size.uc.dwStructSize = 60 - 1;
  EXPECT_FALSE(size.Crack("http://h/"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(HttpQueryInfo, SizesTextsAndNumbers) {
  TestHttpServer server(
      [](const HttpRequest&) { return std::string("HTTP/1.1 207 Multi-Status\r\nX-A: 1\r\nContent-Length: 2\r\n\r\nok"); });
  Exchange x(INTERNET_OPEN_TYPE_DIRECT, server.Port(), "PROPFIND", "/q", "", "");
  ASSERT_TRUE(x.Send("Depth: 1\r\n", "<b/>"));

  DWORD size = 0;
  EXPECT_FALSE(HttpQueryInfoA(x.request.get(), HTTP_QUERY_STATUS_CODE, nullptr, &size, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(4u, size) << "three digits and the terminating zero";
  char text[4];
  ASSERT_TRUE(HttpQueryInfoA(x.request.get(), HTTP_QUERY_STATUS_CODE, text, &size, nullptr));
  EXPECT_STREQ("207", text);
  EXPECT_EQ(3u, size);
  DWORD number = 0;
  size = sizeof number;
  ASSERT_TRUE(HttpQueryInfoA(x.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &number, &size, nullptr));
  EXPECT_EQ(207u, number);

  EXPECT_EQ("HTTP/1.1 207 Multi-Status\r\nX-A: 1\r\nContent-Length: 2\r\n\r\n", x.Query(HTTP_QUERY_RAW_HEADERS_CRLF));
  EXPECT_EQ("Multi-Status", x.Query(HTTP_QUERY_STATUS_TEXT));
  EXPECT_EQ("<none>", x.Query(HTTP_QUERY_LOCATION));
  size = 0;
  HttpQueryInfoA(x.request.get(), HTTP_QUERY_LOCATION, nullptr, &size, nullptr);
  EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND), GetLastError());

  std::string sent = x.Query(HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS);
  EXPECT_EQ(0u, sent.find("PROPFIND /q HTTP/1.1\r\n"));
  EXPECT_NE(std::string::npos, sent.find("\r\nDepth: 1\r\n"));
  EXPECT_NE(std::string::npos, sent.find("\r\nUser-Agent: kestrelon-test\r\n"));
  EXPECT_EQ(sent.size() - 4, sent.rfind("\r\n\r\n"));

  DWORD available = 0;
  ASSERT_TRUE(InternetQueryDataAvailable(x.request.get(), &available, 0, 0));
  EXPECT_EQ(2u, available);
  EXPECT_EQ("ok", x.ReadAll());
}

TEST(HttpSendRequest, GetFollowsRedirectsOtherVerbsNeedConfirmation) {
  std::string to;
  TestHttpServer server([&](const HttpRequest& r) {
    if (r.target == "/from") return HttpReply(302, "Found", "Location: " + to + "\r\n");
    return HttpReply(200, "OK", "", "arrived by " + r.method);
  });
  to = server.Url("/to");
  Exchange get(INTERNET_OPEN_TYPE_DIRECT, server.Port(), "GET", "/from");
  ASSERT_TRUE(get.Send());
  EXPECT_EQ("200", get.Query(HTTP_QUERY_STATUS_CODE));
  EXPECT_EQ("arrived by GET", get.ReadAll());

  Exchange post(INTERNET_OPEN_TYPE_DIRECT, server.Port(), "POST", "/from");
  EXPECT_FALSE(post.Send("", "data"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION), post.error);
  EXPECT_EQ(to, post.Query(HTTP_QUERY_LOCATION));
  EXPECT_EQ("302", post.Query(HTTP_QUERY_STATUS_CODE));
  EXPECT_EQ(3u, server.RequestCount()) << "the POST is not followed";

  Exchange noRedirect(INTERNET_OPEN_TYPE_DIRECT, server.Port(), "POST", "/from", "", "",
                      INTERNET_FLAG_NO_AUTO_REDIRECT);
  EXPECT_TRUE(noRedirect.Send("", "data")) << "with NO_AUTO_REDIRECT the 302 is the answer";
}

TEST(InternetOpen, PreconfiguredTakesTheProxyEnvironmentDirectDoesNot) {
  TestHttpServer proxy([](const HttpRequest& r) { return HttpReply(200, "OK", "", "proxy saw " + r.target); });
  TestHttpServer origin([](const HttpRequest& r) { return HttpReply(200, "OK", "", "origin saw " + r.target); });
  setenv("http_proxy", proxy.Url("").c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  {
    Exchange viaProxy(INTERNET_OPEN_TYPE_PRECONFIG, origin.Port(), "GET", "/p");
    ASSERT_TRUE(viaProxy.Send());
    EXPECT_EQ("proxy saw " + origin.Url("/p"), viaProxy.ReadAll());
    EXPECT_EQ(0u, viaProxy.Query(HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS)
                      .find("GET " + origin.Url("/p") + " HTTP/1.1\r\n"));
    Exchange direct(INTERNET_OPEN_TYPE_DIRECT, origin.Port(), "GET", "/d");
    ASSERT_TRUE(direct.Send());
    EXPECT_EQ("origin saw /d", direct.ReadAll());
  }
  setenv("no_proxy", "127.0.0.1", 1);
  {
    Exchange bypassed(INTERNET_OPEN_TYPE_PRECONFIG, origin.Port(), "GET", "/b");
    ASSERT_TRUE(bypassed.Send());
    EXPECT_EQ("origin saw /b", bypassed.ReadAll());
  }
  unsetenv("http_proxy");
  unsetenv("no_proxy");
}

TEST(InternetConnect, NoAuthFlagLeavesTheChallengeUnanswered) {
  TestHttpServer server([](const HttpRequest& r) {
    if (r.HasHeader("Authorization")) return HttpReply(200, "OK", "", "in");
    return HttpReply(401, "Unauthorized", "WWW-Authenticate: Basic realm=\"m\"\r\n");
  });
  Exchange x(INTERNET_OPEN_TYPE_DIRECT, server.Port(), "GET", "/", "u", "p",
             INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTH);
  ASSERT_TRUE(x.Send());
  EXPECT_EQ("401", x.Query(HTTP_QUERY_STATUS_CODE));
  EXPECT_EQ(1u, server.RequestCount());
}

TEST(InternetHandles, WrongOrUnknownHandlesAreRefused) {
  Handle internet(InternetOpenA("t", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  ASSERT_NE(nullptr, internet.get());
  int dummy = 0;
  EXPECT_EQ(nullptr, HttpOpenRequestA(&dummy, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, HttpOpenRequestA(internet.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), GetLastError());
  EXPECT_FALSE(InternetCloseHandle(&dummy));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  Handle connection(InternetConnectA(internet.get(), "127.0.0.1", 1, "", "", INTERNET_SERVICE_HTTP, 0, 0));
  Handle request(HttpOpenRequestA(connection.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
  char buf[4];
  DWORD n = 0;
  EXPECT_FALSE(InternetReadFile(request.get(), buf, sizeof buf, &n)) << "nothing to read before a send";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_STATE), GetLastError());
  DWORD timeout = 1000;
  EXPECT_TRUE(InternetSetOptionA(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout));
  EXPECT_FALSE(InternetSetOptionA(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_BAD_OPTION_LENGTH), GetLastError());
}
