#include "Log.h"

#include <stdio.h>


#include "MessageText.h"
#include "Settings.h"

namespace {

const char kBoxCaption[] = "Hotmail plug-in";
const char kBoxFormat[] =
    "エラーが発生しました。\n\nソースファイル名: %s\n行番号: %5d\nエラー番号： 0x%08x\nエラー内容: %s\n";
const char kNoDescription[] = "（エラー内容が取得できませんでした。）";

}  // namespace

CLog::CLog() {}

CLog::~CLog() {
  std::lock_guard<std::mutex> guard(lock_);
  path_.clear();
  settings_ = nullptr;
}

void CLog::SetPath(const std::string& path, const CSettings* settings) {
  std::lock_guard<std::mutex> guard(lock_);
  path_ = path;
  settings_ = settings;
}

void CLog::Write(std::string_view text) { WriteMode(text, "ab"); }

bool CLog::Enabled() const {
  const CSettings* settings = settings_.load();
  return settings != nullptr && settings->log;
}

void CLog::WritePart(std::string_view text) { WriteMode(text, "ab", false); }

void CLog::WriteMode(std::string_view text, const char* mode, bool endLine) {
  if (!Enabled()) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (!Enabled() || path_.empty()) return;
  FILE* f = fopen(path_.c_str(), mode);
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  if (endLine && !text.empty() && text.back() != '\n') fputc('\n', f);
  fclose(f);
}

std::string CLog::FormatBoxText(const char* message, const char* sourceFile, int line, DWORD error) {
  int n = snprintf(nullptr, 0, kBoxFormat, sourceFile, line, static_cast<unsigned int>(error), message);
  if (n < 0) return message ? message : "";  // an encoding error: the message alone still tells
  std::string text(static_cast<size_t>(n) + 1, '\0');
  snprintf(&text[0], text.size(), kBoxFormat, sourceFile, line, static_cast<unsigned int>(error), message);
  text.resize(static_cast<size_t>(n));
  return text;
}

void CLog::ReportError(const char* message, const char* sourceFile, int line, DWORD error) {
  std::string text = FormatBoxText(message, sourceFile, line, error);
  MessageBoxA(nullptr, text.c_str(), kBoxCaption, MB_OK | MB_ICONINFORMATION);
  Write(text);
}

std::string CLog::SystemErrorLine(DWORD error) {
  std::string text = SystemErrorText(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string CLog::SystemErrorText(DWORD error) {
  std::string text = MessageText(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error);
  if (text.empty()) {
    HMODULE wininet = GetModuleHandleA("wininet.dll");
    if (wininet != nullptr) text = MessageText(FORMAT_MESSAGE_FROM_HMODULE, wininet, error);
  }
  return text.empty() ? kNoDescription : text;
}

void CLog::ReportSystemError(DWORD error, const char* sourceFile, int line) {
  ReportError(SystemErrorText(error).c_str(), sourceFile, line, error);
}
