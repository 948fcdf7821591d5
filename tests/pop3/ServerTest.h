// ServerTest: a line server (POP3 or SMTP) listening on a free loopback
// port, with its notices on a test window whose message loop the test
// pumps. The test plays the HTTPMail client's part: it completes the jobs
// that commands start with Complete(); the completions of the real client
// (whose service address leads nowhere) are counted and dropped.
#ifndef KESTRELON_TEST_SERVER_TEST_H
#define KESTRELON_TEST_SERVER_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "config/Log.h"
#include "config/Settings.h"
#include "httpmail/HotmailHTTP.h"
#include "plugin/PrivateMessages.h"
#include "pop3/Loopback.h"
#include "support/TempDir.h"

template <typename Server, UINT kSocketMessage, UINT kJobMessage, int CSettings::*kPort>
class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    current_ = this;
    ASSERT_TRUE(server_.InitWinsock());
    window_ = loopback::CreateTestWindow(kJobMessage == WM_POP_JOB_DONE ? "PopTestWindow" : "SmtpTestWindow", Proc);
    ASSERT_NE(nullptr, window_);
    CHTTPSession::Configure({window_, &settings_});
    settings_.*kPort = loopback::FreePort();
    settings_.serviceHost = "127.0.0.1:" + std::to_string(loopback::FreePort());
    settings_.log = true;
    theLog.SetPath(dir_.File("Kestrelon.log"), &settings_);
    http_.SetWindow(window_);
    server_.SetHTTP(&http_);
    server_.SetWindow(window_);
    ASSERT_TRUE(server_.Listen());
  }

  void TearDown() override {
    server_.CloseAll();
    loopback::PumpFor(50);  // lets the real client's failed requests finish
    current_ = nullptr;
    DestroyWindow(window_);
    CHTTPSession::Configure({});
    theLog.SetPath("", nullptr);
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (current_ != nullptr) {
      if (message == kSocketMessage) return current_->server_.OnMessage(hwnd, message, wParam, lParam);
      if (message == WM_HTTP_STEP || message == WM_HTTP_SESSION_DONE)
        return current_->http_.OnMessage(hwnd, message, wParam, lParam);
      if (message == kJobMessage) {
        ++current_->realJobsDone_;  // the test decides the outcome
        return 0;
      }
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  int Port() const { return settings_.*kPort; }

  void Complete(WPARAM kind, LPARAM result) { server_.OnMessage(window_, kJobMessage, kind, result); }

  // Sends a command and returns the one-line reply.
  std::string Ask(loopback::Client& c, const std::string& command) {
    EXPECT_TRUE(c.Send(command + "\r\n"));
    return c.ReadLine();
  }

  std::string Log() const { return ReadFile(dir_.File("Kestrelon.log")); }

  static inline ServerTest* current_ = nullptr;
  int realJobsDone_ = 0;
  TempDir dir_;
  CSettings settings_;
  CHotmailHTTP http_{settings_};
  HWND window_ = nullptr;
  Server server_{settings_};
};

#endif
