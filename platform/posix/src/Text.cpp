// Code page conversion, buffer copies and errno mapping.
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include "Internal.h"

namespace kwin32 {

namespace {

std::string Convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out;
  std::string in = text;
  char* inp = in.data();
  size_t inLeft = in.size();
  char buf[1024];
  while (inLeft > 0) {
    char* outp = buf;
    size_t outLeft = sizeof buf;
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    out.append(buf, static_cast<size_t>(outp - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // Keep an unconvertible byte as it is and go on after it.
      out.push_back(*inp++);
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Cp932ToUtf8(const std::string& text) { return Convert(text, "UTF-8", "CP932"); }
std::string Utf8ToCp932(const std::string& text) { return Convert(text, "CP932", "UTF-8"); }

DWORD CopyToBuffer(const std::string& text, char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  size_t n = text.size() < size ? text.size() : size - 1;
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;  // pthread_create's "no resources"
    case EIO: return ERROR_WRITE_FAULT;
    default: return ERROR_INVALID_FUNCTION;
  }
}

BOOL FailWithErrno(int err) {
  SetLastError(ErrorFromErrno(err));
  return FALSE;
}

}  // namespace kwin32
