// File handles and code page conversion of the Linux layer, with the
// results and error codes Windows gives.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/TempDir.h"

namespace {

TEST(FileTest, HandlesReadWriteReplaceAndFailAsWindowsDoes) {
  TempDir dir;
  std::string a = dir.File("a"), b = dir.File("b");
  HANDLE file = CreateFileA(a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD done = 0;
  char buffer[16];
  EXPECT_TRUE(WriteFile(file, "hello", 5, &done, nullptr));
  EXPECT_EQ(5u, done);
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(CloseHandle(file));
  WriteFile(b, "old");
  auto opens = [](const std::string& path, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileA(path.c_str(), access, 0, nullptr, disposition, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(h);
    return TRUE;
  };
  const struct {
    const char* what;
    std::function<BOOL()> call;
    DWORD error;
  } kCalls[] = {
      {"create-new over a file", [&] { return opens(a, GENERIC_WRITE, CREATE_NEW); }, ERROR_FILE_EXISTS},
      {"open a missing file", [&] { return opens(dir.File("none"), GENERIC_READ, OPEN_EXISTING); },
       ERROR_FILE_NOT_FOUND},
      {"create in a missing folder", [&] { return opens(dir.File("none/x"), GENERIC_WRITE, CREATE_ALWAYS); },
       ERROR_PATH_NOT_FOUND},
      {"move onto a file without replace", [&] { return MoveFileExA(a.c_str(), b.c_str(), 0); },
       ERROR_ALREADY_EXISTS},
      {"delete a missing file", [&] { return DeleteFileA(dir.File("none").c_str()); }, ERROR_FILE_NOT_FOUND},
      {"read through no handle", [&] { return ReadFile(INVALID_HANDLE_VALUE, buffer, 1, &done, nullptr); },
       ERROR_INVALID_HANDLE},
  };
  for (const auto& c : kCalls) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  EXPECT_EQ("old", ReadFile(b));
  EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  file = CreateFileA(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ("hello", std::string(buffer, done));
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(0u, done);  // the end
  CloseHandle(file);
}

TEST(FileTest, CodePage932ToUtf16AndBack) {
  const char* text = "受信ソ";  // the build makes this code page 932; "ソ" ends in 0x5C
  WCHAR wide[8];
  int count = MultiByteToWideChar(932, 0, text, -1, wide, 8);
  ASSERT_EQ(4, count);
  EXPECT_EQ(0x53D7, static_cast<int>(wide[0]));
  EXPECT_EQ(0x30BD, static_cast<int>(wide[2]));
  EXPECT_EQ(0, static_cast<int>(wide[3]));
  char back[16];
  EXPECT_EQ(7, WideCharToMultiByte(932, 0, wide, -1, back, sizeof back, nullptr, nullptr));
  EXPECT_STREQ(text, back);
  EXPECT_EQ(0, MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, "\x81", 1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(932, 0, text, -1, wide, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

}  // namespace
