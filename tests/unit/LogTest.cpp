#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "config/Log.h"
#include "config/Settings.h"
#include "support/TempDir.h"

namespace {

TEST(BoxTextTest, LayoutOfTheErrorBox) {
  EXPECT_EQ(
      "エラーが発生しました。\n\nソースファイル名: HotmailPOP.cpp\n行番号:     5\nエラー番号： 0x00000000\n"
      "エラー内容: text\n",
      CLog::FormatBoxText("text", "HotmailPOP.cpp", 5, 0));
  std::string wide = CLog::FormatBoxText("m", "f", 123456, 0xABCDEF12u);
  EXPECT_NE(std::string::npos, wide.find("行番号: 123456\n"));
  EXPECT_NE(std::string::npos, wide.find("エラー番号： 0xabcdef12\n"));
  // The colon after the error-number label is the full-width one (81 46 in
  // code page 932), the others are ASCII.
  EXPECT_NE(std::string::npos, wide.find("\x94\xd4\x8d\x86\x81\x46 0x"));
}

TEST(BoxTextTest, SystemTextsComeFromTheSystemThenWinInetThenFallback) {
  EXPECT_EQ("Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n",
            CLog::SystemErrorText(10048));
  EXPECT_EQ("The operation timed out\r\n", CLog::SystemErrorText(12002));
  EXPECT_EQ("（エラー内容が取得できませんでした。）", CLog::SystemErrorText(0x7FFF1234));
  std::string box = CLog::FormatBoxText(CLog::SystemErrorText(10048).c_str(), "x", 1, 10048);
  EXPECT_NE(std::string::npos, box.find("0x00002740\n"));
  EXPECT_NE(std::string::npos, box.find("permitted.\r\n\n"));  // its own line end, then the format's
}

class LogFileTest : public testing::Test {
 protected:
  TempDir dir;
  CSettings settings;
  CLog log;
  std::string path = dir.File("Kestrelon.log");
  void SetUp() override {
    settings.log = true;
    log.SetPath(path, &settings);
  }
};

TEST_F(LogFileTest, NewlineRules) {
  log.Write("a\n");
  log.Write("b");
  log.Write("");
  log.Write("c\r\n");
  log.Write("d\r");
  log.Write(std::string("e\0f", 3));
  EXPECT_EQ(std::string("a\nb\nc\r\nd\r\ne\0f\n", 14), ReadFile(path));
}

TEST_F(LogFileTest, WbModeTruncatesAndAbAppends) {
  log.Write("old\n");
  log.WriteMode("[start]\n", "wb");
  log.Write("next");
  EXPECT_EQ("[start]\nnext\n", ReadFile(path));
}

TEST_F(LogFileTest, SwitchedOffOrWithoutPathNothingIsTouched) {
  WriteFile(path, "kept");
  settings.log = false;
  log.WriteMode("x", "wb");
  log.Write("y");
  log.ReportError("boxed", "f", 1, 0);
  EXPECT_EQ("kept", ReadFile(path));
  settings.log = true;
  log.SetPath("", &settings);
  log.Write("z");
  EXPECT_EQ("kept", ReadFile(path));
}

TEST_F(LogFileTest, ReportErrorLogsTheBoxText) {
  log.ReportError("failed", "Mail.cpp", 42, 7);
  EXPECT_EQ(CLog::FormatBoxText("failed", "Mail.cpp", 42, 7), ReadFile(path));
}

TEST_F(LogFileTest, UnopenableFileIsSilent) {
  log.SetPath(dir.File("missing/dir/x.log"), &settings);
  log.Write("dropped");  // must neither crash nor create anything
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST_F(LogFileTest, TextsFromSeveralThreadsNeverInterleave) {
  const std::string a(4000, 'a'), b(4000, 'b');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) log.Write(t % 2 ? a : b);
    });
  for (auto& th : threads) th.join();
  std::string data = ReadFile(path);
  ASSERT_EQ(200u * 4001u, data.size());
  for (size_t pos = 0; pos < data.size(); pos += 4001) {
    std::string line = data.substr(pos, 4001);
    EXPECT_TRUE(line == a + "\n" || line == b + "\n") << "at " << pos;
  }
}

}  // namespace
