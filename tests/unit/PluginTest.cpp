// The plug-in object: host binding, file placement and start-up. This test
// program exports the host API itself, so the binding finds it.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/Log.h"
#include "host/HostApi.h"
#include "plugin/BeckyAPI.h"
#include "plugin/Plugin.h"
#include "plugin/PluginWindowProc.h"
#include "support/TempDir.h"

namespace {

TEST(BeckyAPITest, BindsAllFunctionsOnceFromTheExecutable) {
  CBeckyAPI api;
  EXPECT_FALSE(api.IsBound());
  ASSERT_TRUE(api.Init());
  EXPECT_TRUE(api.Init());  // the second call keeps the binding
  SetHostDataFolder("/data/here");
  EXPECT_EQ("/data/here", api.GetDataFolder());
}

TEST(BeckyAPITest, UnboundApiAnswersNothing) {
  CBeckyAPI api;
  HWND main = reinterpret_cast<HWND>(1);
  EXPECT_FALSE(api.GetWindowHandles(&main, nullptr, nullptr, nullptr));
  EXPECT_EQ("", api.GetDataFolder());
}

class BuildPathsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(theBeckyAPI.Init()); }
  TempDir dir;
  CPlugin plugin;
  std::string data = dir.path() + "/data";
  void Build(const std::string& dataFolder, const std::string& module) {
    SetHostDataFolder(dataFolder);
    plugin.BuildPaths(module);
  }
};

TEST_F(BuildPathsTest, WithoutPlugInsIniBothFilesSitBesideTheModule) {
  std::filesystem::create_directories(data + "/PlugIns");
  Build(data, "/opt/mods/Kestrelon.so");
  EXPECT_EQ(data + "/", plugin.dataFolder);
  EXPECT_EQ("/opt/mods/", plugin.configFolder);
  EXPECT_EQ("/opt/mods/Kestrelon.ini", plugin.settings.iniPath);
  EXPECT_EQ("/opt/mods/Kestrelon.log", theLog.Path());
}

TEST_F(BuildPathsTest, PlugInsIniOfTheBaseNameMovesBothFiles) {
  std::filesystem::create_directories(data + "/PlugIns");
  WriteFile(data + "/PlugIns/Kestrelon.ini", "");
  Build(data + "/", "/opt/mods/Kestrelon.so");
  EXPECT_EQ(data + "/", plugin.dataFolder);  // not doubled
  EXPECT_EQ(data + "/PlugIns/Kestrelon.ini", plugin.settings.iniPath);
  EXPECT_EQ(data + "/PlugIns/Kestrelon.log", theLog.Path());
}

TEST_F(BuildPathsTest, DirectoryNamedLikeTheIniDoesNotCount) {
  std::filesystem::create_directories(data + "/PlugIns/Kestrelon.ini");
  Build(data, "/opt/mods/Kestrelon.so");
  EXPECT_EQ("/opt/mods/Kestrelon.ini", plugin.settings.iniPath);
}

TEST_F(BuildPathsTest, BaseNameIsCutAtTheLastDot) {
  std::filesystem::create_directories(data + "/PlugIns");
  WriteFile(data + "/PlugIns/my.plugin.ini", "");
  Build(data, "/x.y/my.plugin.so");
  EXPECT_EQ(data + "/PlugIns/my.plugin.ini", plugin.settings.iniPath);
  EXPECT_EQ(data + "/PlugIns/my.plugin.log", theLog.Path());
}

TEST_F(BuildPathsTest, PathWithoutSeparatorUsesTheCurrentFolder) {
  Build(data, "Kestrelon");
  EXPECT_EQ("./", plugin.configFolder);
  EXPECT_EQ("./Kestrelon.ini", plugin.settings.iniPath);
}

TEST_F(BuildPathsTest, EmptyDataFolderLooksForARelativePlugIns) {
  Build("", "/opt/mods/Kestrelon.so");
  EXPECT_EQ("", plugin.dataFolder);
  EXPECT_EQ("/opt/mods/Kestrelon.ini", plugin.settings.iniPath);
}

LRESULT CALLBACK HostProc(HWND, UINT, WPARAM, LPARAM) { return 7; }

TEST(OnStartTest, SecondStartDoesNotSubclassAgain) {
  ASSERT_TRUE(theBeckyAPI.Init());
  WNDCLASSA wc = {};
  wc.lpfnWndProc = HostProc;
  wc.lpszClassName = "OnStartTestHost";
  ASSERT_NE(0, RegisterClassA(&wc));
  HWND hwnd = CreateWindowExA(0, "OnStartTestHost", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, hwnd);
  SetHostMainWindow(hwnd);
  thePlugin.settings.popPortNumber = 0;
  thePlugin.settings.smtpPortNumber = 0;

  thePlugin.OnStart();
  EXPECT_EQ(hwnd, thePlugin.mainWindow);
  EXPECT_EQ(reinterpret_cast<WNDPROC>(HostProc), thePlugin.previousWindowProc);
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(&PluginWindowProc), GetWindowLongPtrA(hwnd, GWLP_WNDPROC));
  thePlugin.OnStart();
  EXPECT_EQ(reinterpret_cast<WNDPROC>(HostProc), thePlugin.previousWindowProc);
  // An ordinary message still reaches the host's procedure exactly once.
  EXPECT_EQ(7, SendMessageA(hwnd, WM_USER + 1, 0, 0));
  SetHostMainWindow(nullptr);
  thePlugin.pop.CloseAll();
  thePlugin.smtp.CloseAll();
}

}  // namespace
