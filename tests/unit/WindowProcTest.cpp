#include <gtest/gtest.h>

#include <vector>

#include "plugin/Plugin.h"
#include "plugin/PluginWindowProc.h"
#include "plugin/PrivateMessages.h"

namespace {

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Seen> seen;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  seen.push_back({hwnd, message, wParam, lParam});
  return 99;
}

class WindowProcTest : public testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    saved = thePlugin.previousWindowProc;
    thePlugin.previousWindowProc = RecordingProc;
  }
  void TearDown() override { thePlugin.previousWindowProc = saved; }
  WNDPROC saved;
  HWND hwnd = reinterpret_cast<HWND>(0x1234);
};

TEST_F(WindowProcTest, PrivateMessagesAreConsumed) {
  for (UINT m = WM_POP_SOCKET; m <= WM_IMAP_SOCKET; ++m) {
    // wParam values no handler acts on: nothing of the plug-in's state moves.
    EXPECT_EQ(0, PluginWindowProc(hwnd, m, 0x7777, 0));
  }
  EXPECT_TRUE(seen.empty());
}

TEST_F(WindowProcTest, OtherMessagesReachThePreviousProcedureUnchanged) {
  // The host's own messages, next to the private ones and well above them.
  EXPECT_EQ(99, PluginWindowProc(hwnd, WM_POP_SOCKET - 1, 5, 6));
  EXPECT_EQ(99, PluginWindowProc(hwnd, WM_USER + 900, 7, -8));
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(WM_POP_SOCKET - 1, seen[0].message);
  EXPECT_EQ(5u, seen[0].wParam);
  EXPECT_EQ(6, seen[0].lParam);
  EXPECT_EQ(hwnd, seen[1].hwnd);
  EXPECT_EQ(-8, seen[1].lParam);
}

TEST_F(WindowProcTest, DestroyShutsDownThenReachesTheHost) {
  EXPECT_EQ(99, PluginWindowProc(hwnd, WM_DESTROY, 3, 4));
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(static_cast<UINT>(WM_DESTROY), seen[0].message);
  EXPECT_EQ(3u, seen[0].wParam);
  EXPECT_EQ(4, seen[0].lParam);
}

}  // namespace
