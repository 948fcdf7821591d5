// The profile functions of the Linux layer, which the settings rely on.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

class ProfileTest : public testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.File("p.ini");
  std::string Get(const char* section, const char* key, const char* def = "") {
    char buf[256];
    GetPrivateProfileStringA(section, key, def, buf, sizeof buf, ini.c_str());
    return buf;
  }
};

TEST_F(ProfileTest, NamesIgnoreCaseAndValuesAreTrimmed) {
  WriteFile(ini, "; head comment\n [ Property ] \n  Log =  1  \nName=\"quoted value\"\n");
  EXPECT_EQ("1", Get("property", "LOG"));
  EXPECT_EQ(1u, GetPrivateProfileIntA("PROPERTY", "log", 5, ini.c_str()));
  EXPECT_EQ("quoted value", Get("Property", "Name"));
  EXPECT_EQ("dflt", Get("Property", "Missing", "dflt"));
  EXPECT_EQ("dflt", Get("Nowhere", "Log", "dflt"));
  EXPECT_EQ(42u, GetPrivateProfileIntA("Property", "Missing", 42, ini.c_str()));
}

TEST_F(ProfileTest, IntegersParseLeadingDecimalDigits) {
  WriteFile(ini, "[S]\na=12abc\nb=-3\nc=x1\nd=0x10\n");
  EXPECT_EQ(12u, GetPrivateProfileIntA("S", "a", 9, ini.c_str()));
  EXPECT_EQ(static_cast<UINT>(-3), GetPrivateProfileIntA("S", "b", 9, ini.c_str()));
  EXPECT_EQ(0u, GetPrivateProfileIntA("S", "c", 9, ini.c_str()));
  EXPECT_EQ(0u, GetPrivateProfileIntA("S", "d", 9, ini.c_str()));
}

TEST_F(ProfileTest, WriteKeepsEverythingElseAndReplacesInPlace) {
  const std::string before = "; keep me\r\n[A]\r\nx=1\r\n; inner\r\ny=2\r\n\r\n[B]\r\nz=3\r\n";
  WriteFile(ini, before);
  ASSERT_TRUE(WritePrivateProfileStringA("a", "X", "10", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("A", "new", "n", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("C", "k", "v", ini.c_str()));
  EXPECT_EQ("; keep me\r\n[A]\r\nx=10\r\n; inner\r\ny=2\r\nnew=n\r\n\r\n[B]\r\nz=3\r\n\r\n[C]\r\nk=v\r\n", ReadFile(ini));
}

TEST_F(ProfileTest, NullValueDeletesKeyAndNullKeyDeletesSection) {
  WriteFile(ini, "[A]\nx=1\ny=2\n[B]\nz=3\n");
  ASSERT_TRUE(WritePrivateProfileStringA("A", "x", nullptr, ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("B", nullptr, nullptr, ini.c_str()));
  EXPECT_EQ("[A]\ny=2\n", ReadFile(ini));  // a file with LF line ends keeps them
}

TEST_F(ProfileTest, WriteCreatesTheFileAndLeavesNoTemporaryBehind) {
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", ini.c_str()));
  EXPECT_EQ("[S]\r\nk=v\r\n", ReadFile(ini));
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(1, entries);
}

TEST_F(ProfileTest, WriteIntoMissingFolderFails) {
  std::string bad = dir.File("no/such/dir.ini");
  EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", bad.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND) == GetLastError() ||
                static_cast<DWORD>(ERROR_FILE_NOT_FOUND) == GetLastError(),
            true);
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoKey) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 25; ++i) {
        std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
        WritePrivateProfileStringA("S", key.c_str(), "v", ini.c_str());
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 25; ++i) EXPECT_EQ("v", Get("S", ("k" + std::to_string(t) + "_" + std::to_string(i)).c_str()));
}

TEST_F(ProfileTest, ShortBufferIsCutAndTerminated) {
  WriteFile(ini, "[S]\nk=abcdef\n");
  char buf[4];
  EXPECT_EQ(3u, GetPrivateProfileStringA("S", "k", "", buf, sizeof buf, ini.c_str()));
  EXPECT_STREQ("abc", buf);

  // Key and section lists cut anywhere, item boundaries included, stay
  // inside the buffer and end in two NULs.
  WriteFile(ini, "[S]\nab=1\nc=2\n[T]\n");
  for (DWORD size = 2; size <= 8; ++size) {
    std::vector<char> list(size + 4, 'G');
    const DWORD n = GetPrivateProfileStringA("S", nullptr, "", list.data(), size, ini.c_str());
    EXPECT_EQ(std::string(4, 'G'), std::string(list.data() + size, 4)) << size;
    ASSERT_LT(n, size) << size;
    EXPECT_EQ('\0', list[n]) << size;
    if (size < 6) {
      EXPECT_EQ(size - 2, n) << size;
    } else {
      EXPECT_EQ(std::string("ab\0c\0\0", 6), std::string(list.data(), 6)) << size;
    }
    const DWORD sections = GetPrivateProfileStringA(nullptr, nullptr, "", list.data(), size, ini.c_str());
    EXPECT_EQ(std::string(4, 'G'), std::string(list.data() + size, 4)) << size;
    EXPECT_LE(sections, size - 1) << size;
  }
}

// Lists with empty names, cut after them: the section list leaves "[]" out
// as Windows does, an empty key is an item, and nothing lands past the cut.
TEST_F(ProfileTest, ListsWithEmptyNamesStayInsideTheBuffer) {
  struct Row {
    std::string file;
    const char* section;
    DWORD size;
    std::string list;
    DWORD result;
  };
  const Row rows[] = {
      {"[abcdefghijklm]\n[]\n[]\n[]\n", nullptr, 16, std::string("abcdefghijklm\0\0", 15), 14},
      {std::string("[P\xffier]\xfflceeHos\x10[h\r\n[Folder]\r\x02" "Co~\x91t\rFor\n[]\r\n[]\r\nA=2\rFor\n[]=2\r"
                   "For\n[]\r\n[]\r\nA=\r\n"),
       nullptr, 16, std::string("P\xffier\0Folder\0\0", 14), 13},
      {"[S]\n=1\n=2\nab=3\n=4\n= 5\n", "S", 6, std::string("\0\0ab\0\0", 6), 4},
  };
  for (const Row& row : rows) {
    WriteFile(ini, row.file);
    std::vector<char> list(row.size + 4, 'G');
    EXPECT_EQ(row.result, GetPrivateProfileStringA(row.section, nullptr, "", list.data(), row.size, ini.c_str()));
    EXPECT_EQ(row.list, std::string(list.data(), row.list.size()));
    EXPECT_EQ(std::string(4, 'G'), std::string(list.data() + row.size, 4)) << row.file;
  }
}

}  // namespace
