// Reading a response body: InternetQueryDataAvailable and InternetReadFile
// take it from the request handle, where HttpSendRequestA left it.
#include <string.h>

#include <algorithm>

#include "WinInetHandle.h"

using namespace kwin32::wininet;

namespace {

// The request behind a handle that has a response to read, or null with the
// last error set.
Request* Readable(const ObjectRef& object) {
  if (!object) return nullptr;
  auto* request = static_cast<Request*>(object.Get());
  if (!request->response.sent || !request->response.complete) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return nullptr;
  }
  if (request->Closed()) {
    SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
    return nullptr;
  }
  return request;
}

}  // namespace

BOOL WINAPI InternetQueryDataAvailable(HINTERNET hFile, LPDWORD lpdwNumberOfBytesAvailable, DWORD, DWORD_PTR) {
  if (lpdwNumberOfBytesAvailable == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ObjectRef object = Lookup(hFile, HandleKind::Request);
  Request* request = Readable(object);
  if (request == nullptr) return FALSE;
  const Response& r = request->response;
  const size_t left = r.body.size() - r.readOffset;
  *lpdwNumberOfBytesAvailable = static_cast<DWORD>(std::min<size_t>(left, 0xFFFFFFFFu));
  return TRUE;
}

BOOL WINAPI InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                             LPDWORD lpdwNumberOfBytesRead) {
  if (lpdwNumberOfBytesRead == nullptr || (lpBuffer == nullptr && dwNumberOfBytesToRead > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  *lpdwNumberOfBytesRead = 0;
  ObjectRef object = Lookup(hFile, HandleKind::Request);
  Request* request = Readable(object);
  if (request == nullptr) return FALSE;
  Response& r = request->response;
  const size_t n = std::min<size_t>(dwNumberOfBytesToRead, r.body.size() - r.readOffset);
  if (n > 0) memcpy(lpBuffer, r.body.data() + r.readOffset, n);
  r.readOffset += n;
  // What was read is gone from the handle, as WinInet streams it: the
  // memory goes back once the reader has taken the whole body.
  if (r.readOffset == r.body.size() && n > 0) {
    std::string().swap(r.body);
    r.readOffset = 0;
  }
  *lpdwNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}
