// ServerTest: a line server (POP3 or SMTP) listening on a free loopback
// port, with its notices on a test window whose message loop the test
// pumps. The test plays the mail service's part: it completes the
// operations that commands start with Complete().
#ifndef KESTRELON_TEST_SERVER_TEST_H
#define KESTRELON_TEST_SERVER_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "config/Log.h"
#include "config/Settings.h"
#include "http/HTTPSession.h"
#include "support/ScriptedService.h"
#include "plugin/PrivateMessages.h"
#include "pop3/Loopback.h"
#include "support/TempDir.h"

template <typename Server, UINT kSocketMessage, int CSettings::*kPort>
class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    current_ = this;
    ASSERT_TRUE(server_.InitWinsock());
    window_ = loopback::CreateTestWindow(kSocketMessage == WM_POP_SOCKET ? "PopTestWindow" : "SmtpTestWindow", Proc);
    ASSERT_NE(nullptr, window_);
    CHTTPSession::Configure({window_, &settings_});
    settings_.*kPort = loopback::FreePort();
    settings_.serviceHost = "127.0.0.1:" + std::to_string(loopback::FreePort());
    settings_.log = true;
    theLog.SetPath(dir_.File("Kestrelon.log"), &settings_);
    server_.SetService(&service_);
    server_.SetWindow(window_);
    ASSERT_TRUE(server_.Listen());
  }

  void TearDown() override {
    server_.CloseAll();
    current_ = nullptr;
    DestroyWindow(window_);
    CHTTPSession::Configure({});
    theLog.SetPath("", nullptr);
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (current_ != nullptr) {
      if (message == kSocketMessage) return current_->server_.OnMessage(hwnd, message, wParam, lParam);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  int Port() const { return settings_.*kPort; }

  void Complete(long result) { service_.Complete(result); }

  // Sends a command and returns the one-line reply.
  std::string Ask(loopback::Client& c, const std::string& command) {
    EXPECT_TRUE(c.Send(command + "\r\n"));
    return c.ReadLine();
  }

  std::string Log() const { return ReadFile(dir_.File("Kestrelon.log")); }

  static inline ServerTest* current_ = nullptr;
  TempDir dir_;
  CSettings settings_;
  ScriptedService service_;
  HWND window_ = nullptr;
  Server server_{settings_};
};

#endif
