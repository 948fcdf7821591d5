// A host window and log for running CHTTPSession the way the HTTPMail
// client does: submit on this thread, handle WM_HTTP_SESSION_DONE by
// reading the result, calling Finish and deleting the session.
#ifndef KESTRELON_TEST_SESSION_FIXTURE_H
#define KESTRELON_TEST_SESSION_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "config/Log.h"
#include "http/HTTPSession.h"
#include "config/Settings.h"
#include "plugin/PrivateMessages.h"
#include "support/TempDir.h"

// What the completion handler saw of one session.
struct Completion {
  CHTTPSession* session;
  WPARAM kind;
  bool completed;
  int status;
  std::string response;
  std::string url;
};

class SessionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.log = true;
    settings_.iniPath = dir_.File("Kestrelon.ini");
    settings_.threadCount = 1;
    settings_.httpTimeOut = 5;
    settings_.doNotUseProxy = true;
    theLog.SetPath(dir_.File("Kestrelon.log"), &settings_);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
      unsetenv(name);
    static bool registered = false;
    if (!registered) {
      WNDCLASSA wc{};
      wc.lpfnWndProc = &SessionFixture::WindowProc;
      wc.lpszClassName = "SessionFixtureHost";
      ASSERT_NE(0, RegisterClassA(&wc));
      registered = true;
    }
    window_ = CreateWindowExA(0, "SessionFixtureHost", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window_);
    CHTTPSession::Configure({window_, &settings_});
    completions_.clear();
    onDone_ = nullptr;
    fixture_ = this;
  }

  void TearDown() override {
    CHTTPSession::Shutdown();
    WaitForCompletions(submitted_, 6000);
    DestroyWindow(window_);
    CHTTPSession::Configure({});
    theLog.SetPath("", nullptr);
    fixture_ = nullptr;
  }

  // A session as the HTTPMail client fills one.
  CHTTPSession* NewSession(const std::string& url, const std::string& method = "PROPFIND",
                           const std::string& headers = "", const std::string& body = "") {
    auto* s = new CHTTPSession;
    s->url = url;
    s->method = method;
    s->headers = headers;
    s->body = body;
    s->kind = 7;
    return s;
  }

  bool Submit(CHTTPSession* session) {
    bool ok = CHTTPSession::Submit(session);
    if (ok) ++submitted_;
    return ok;
  }

  // Runs the message loop until `count` completions were handled.
  bool WaitForCompletions(size_t count, DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    for (;;) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      if (completions_.size() >= count) return true;
      if (GetTickCount() - start > timeoutMs) return false;
      Sleep(5);
    }
  }

  // Submits one session and waits for its completion.
  Completion RunOne(CHTTPSession* session) {
    EXPECT_TRUE(Submit(session));
    size_t before = completions_.size();
    EXPECT_TRUE(WaitForCompletions(before + 1));
    return completions_.size() > before ? completions_[before] : Completion{};
  }

  std::string LogText() const { return ReadFile(dir_.File("Kestrelon.log")); }

  static int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
  }
  int Boxes() const { return Count(LogText(), "エラーが発生しました。"); }

  TempDir dir_;
  HWND window_ = nullptr;
  CSettings settings_;
  size_t submitted_ = 0;
  std::vector<Completion> completions_;
  std::function<void(CHTTPSession*)> onDone_;  // runs before Finish

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_HTTP_SESSION_DONE || fixture_ == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
    auto* session = reinterpret_cast<CHTTPSession*>(lParam);
    if (fixture_->onDone_) fixture_->onDone_(session);
    Completion c{session, wParam, session->completed, session->status, session->response, session->url};
    session->Finish();
    fixture_->completions_.push_back(c);
    delete session;
    return 0;
  }

  static inline SessionFixture* fixture_ = nullptr;
};

#endif
