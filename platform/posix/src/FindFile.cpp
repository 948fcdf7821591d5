// FindFirstFileA for an exact path (no wildcards): enough to ask whether a
// file exists and what it is.
#include <windows.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "Internal.h"

namespace {
struct FindHandle {
  int magic = 0x46494E44;  // "FIND"
};
}  // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  struct stat st;
  if (lpFileName == nullptr || lpFindFileData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (strpbrk(lpFileName, "*?") != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (stat(lpFileName, &st) != 0) {
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : kwin32::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  memset(lpFindFileData, 0, sizeof *lpFindFileData);
  lpFindFileData->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  lpFindFileData->nFileSizeLow = static_cast<DWORD>(st.st_size & 0xFFFFFFFF);
  lpFindFileData->nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) >> 32);
  std::string path = lpFileName;
  size_t slash = path.find_last_of('/');
  kwin32::CopyToBuffer(slash == std::string::npos ? path : path.substr(slash + 1), lpFindFileData->cFileName, MAX_PATH);
  return new FindHandle;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  auto* h = static_cast<FindHandle*>(hFindFile);
  if (h == nullptr || hFindFile == INVALID_HANDLE_VALUE || h->magic != 0x46494E44) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  h->magic = 0;
  delete h;
  return TRUE;
}
