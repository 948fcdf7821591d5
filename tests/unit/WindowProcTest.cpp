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

// The host's own messages, next to the private ones and well above them, and
// WM_DESTROY after the plug-in shut down.
TEST_F(WindowProcTest, OtherMessagesReachThePreviousProcedureUnchanged) {
  const Seen rows[] = {{hwnd, WM_POP_SOCKET - 1, 5, 6}, {hwnd, WM_USER + 900, 7, -8}, {hwnd, WM_DESTROY, 3, 4}};
  for (const Seen& row : rows) EXPECT_EQ(99, PluginWindowProc(row.hwnd, row.message, row.wParam, row.lParam));
  ASSERT_EQ(3u, seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(rows[i].hwnd, seen[i].hwnd);
    EXPECT_EQ(rows[i].message, seen[i].message);
    EXPECT_EQ(rows[i].wParam, seen[i].wParam);
    EXPECT_EQ(rows[i].lParam, seen[i].lParam);
  }
}

}  // namespace
