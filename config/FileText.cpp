#include "config/FileText.h"

bool ReadWholeFile(const std::string& path, std::string& data, size_t limit, bool* missing) {
  if (missing != nullptr) *missing = false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (missing != nullptr) *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
    if (data.size() + got > limit) {
      ok = false;
      break;
    }
    data.append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

namespace {

// Writes `data` as the whole of `path`, flushed to the disk with `flush`; a
// file that could not be written whole is removed.
DWORD WriteAll(const std::string& path, const std::string& data, bool flush) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  const bool ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) != FALSE &&
                  written == data.size() && (!flush || FlushFileBuffers(file) != FALSE);
  const DWORD error = ok ? ERROR_SUCCESS : written == data.size() ? GetLastError() : ERROR_DISK_FULL;
  CloseHandle(file);
  if (error != ERROR_SUCCESS) DeleteFileA(path.c_str());
  return error;
}

}  // namespace

DWORD ReplaceWholeFile(const std::string& path, const std::string& data) {
  const std::string temp = path + ".tmp";
  DWORD error = WriteAll(temp, data, true);
  if (error != ERROR_SUCCESS) return error;
  if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
    error = GetLastError();
    DeleteFileA(temp.c_str());
  }
  return error;
}

DWORD WriteWholeFile(const std::string& path, const std::string& data) { return WriteAll(path, data, false); }
