// Files through handles: CreateFileA, ReadFile, WriteFile, MoveFileExA and
// DeleteFileA, with the error codes Windows gives.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Handle.h"
#include "Internal.h"

namespace {

class FileObject : public kwin32::KernelObject {
 public:
  explicit FileObject(int fd) : fd_(fd) {}
  ~FileObject() override { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

FileObject* AsFile(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<FileObject*>(static_cast<kwin32::KernelObject*>(handle));
}

// Windows tells a missing file (2) from a missing folder on the way (3).
bool ParentExists(const char* path) {
  std::string parent = path;
  size_t slash = parent.find_last_of('/');
  if (slash == std::string::npos) return true;
  parent.erase(slash == 0 ? 1 : slash);
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A valid handle opened without the access asked for: Windows says 5.
BOOL FailAccess(int err) {
  if (err == EBADF) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return kwin32::FailWithErrno(err);
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)dwFlagsAndAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr || *lpFileName == '\0') {
    SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool read = (dwDesiredAccess & GENERIC_READ) != 0;
  bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
  int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (stat(lpFileName, &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(lpFileName, flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) SetLastError(ERROR_FILE_EXISTS);
    else if (err == ENOENT || err == ENOTDIR) SetLastError(ParentExists(lpFileName) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    else SetLastError(kwin32::ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<kwin32::KernelObject*>(new FileObject(fd));
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPVOID lpOverlapped) {
  FileObject* file = AsFile(hFile);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ssize_t n;
  do {
    n = read(file->fd(), lpBuffer, nNumberOfBytesToRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailAccess(errno);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPVOID lpOverlapped) {
  FileObject* file = AsFile(hFile);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows writes the whole buffer to a disk file or fails.
  const char* data = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = write(file->fd(), data + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      return FailAccess(errno);
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  FileObject* file = AsFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (fsync(file->fd()) != 0) return kwin32::FailWithErrno(errno);
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (stat(lpExistingFileName, &st) != 0) return kwin32::FailWithErrno(errno);
  if ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0 && stat(lpNewFileName, &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (rename(lpExistingFileName, lpNewFileName) != 0) return kwin32::FailWithErrno(errno);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (stat(lpFileName, &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(lpFileName) != 0) return kwin32::FailWithErrno(errno);
  return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (lpPathName == nullptr || lpSecurityAttributes != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (mkdir(lpPathName, 0700) != 0) {
    const int err = errno;
    if (err == ENOENT) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    return kwin32::FailWithErrno(err);
  }
  return TRUE;
}
