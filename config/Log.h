// CLog: the optional log file and the error boxes.
#ifndef KESTRELON_LOG_H
#define KESTRELON_LOG_H

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

class CSettings;

class CLog {
 public:
  CLog();
  virtual ~CLog();

  // The log file and the settings whose `log` switch is read at each write.
  void SetPath(const std::string& path, const CSettings* settings);
  const std::string& Path() const { return path_; }
  // Whether writes reach the file now; a quick look without the lock, so a
  // large message's lines cost nothing while logging is off.
  bool Enabled() const;

  // Writes a text and ends its line, unless it ends one itself.
  void Write(std::string_view text);
  // Writes a text as it is, for a long text logged piece by piece.
  void WritePart(std::string_view text);
  void WriteMode(std::string_view text, const char* mode, bool endLine = true);
  void ReportError(const char* message, const char* sourceFile, int line, DWORD error);
  void ReportSystemError(DWORD error, const char* sourceFile, int line);

  // The text of an error box, exactly as shown and logged.
  static std::string FormatBoxText(const char* message, const char* sourceFile, int line, DWORD error);
  // The description of a system, Windows Sockets or WinInet error number.
  static std::string SystemErrorText(DWORD error);
  // The same without the line break that ends it, for a line of the log.
  static std::string SystemErrorLine(DWORD error);

 private:
  std::string path_;
  std::atomic<const CSettings*> settings_{nullptr};
  std::mutex lock_;  // one text at a time, whichever thread writes
};

extern CLog theLog;

// The file name of a path, without its folders.
constexpr const char* SourceFileName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

// A report names the file and line of its own site, headers included.
#define REPORT_ERROR(message, error) theLog.ReportError((message), SourceFileName(__FILE__), __LINE__, (error))
#define REPORT_SYSTEM_ERROR(error) theLog.ReportSystemError((error), SourceFileName(__FILE__), __LINE__)

#endif
