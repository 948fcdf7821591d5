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
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"
#include "pop3/Loopback.h"
#include "support/TempDir.h"

template <typename Server, UINT kSocketMessage, UINT kJobMessage, int CSettings::*kPort>
class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    current_ = this;
    saved_ = thePlugin.settings;
    savedWindow_ = thePlugin.mainWindow;
    ASSERT_TRUE(server_.InitWinsock());
    window_ = loopback::CreateTestWindow(kJobMessage == WM_POP_JOB_DONE ? "PopTestWindow" : "SmtpTestWindow", Proc);
    ASSERT_NE(nullptr, window_);
    thePlugin.mainWindow = window_;
    thePlugin.settings.*kPort = loopback::FreePort();
    thePlugin.settings.serviceHost = "127.0.0.1:" + std::to_string(loopback::FreePort());
    thePlugin.settings.log = true;
    theLog.SetPath(dir_.File("Kestrelon.log"), &thePlugin.settings);
    server_.SetHTTP(&thePlugin.http);
    server_.SetWindow(window_);
    ASSERT_TRUE(server_.Listen());
  }

  void TearDown() override {
    server_.CloseAll();
    loopback::PumpFor(50);  // lets the real client's failed requests finish
    current_ = nullptr;
    DestroyWindow(window_);
    thePlugin.mainWindow = savedWindow_;
    theLog.SetPath("", nullptr);
    thePlugin.settings = saved_;
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (current_ != nullptr) {
      if (message == kSocketMessage) return current_->server_.OnMessage(hwnd, message, wParam, lParam);
      if (message == WM_HTTP_STEP || message == WM_HTTP_SESSION_DONE)
        return thePlugin.http.OnMessage(hwnd, message, wParam, lParam);
      if (message == kJobMessage) {
        ++current_->realJobsDone_;  // the test decides the outcome
        return 0;
      }
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  int Port() const { return thePlugin.settings.*kPort; }

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
  CSettings saved_;
  HWND savedWindow_ = nullptr;
  HWND window_ = nullptr;
  Server server_;
};

#endif
