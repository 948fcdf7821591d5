// Reading a response body: InternetQueryDataAvailable and InternetReadFile
// take it from the request handle, receiving more as they need it.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "WinInetHandle.h"

using namespace kwin32::wininet;

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // Linux 5.14; older headers lack the name
#endif

namespace {

// A reader's buffer at least this large is made present before the body
// lands in it.
constexpr size_t kPrefaultSize = size_t{1} << 20;

// Makes the whole pages of a buffer present in one call: a large body
// landing in fresh memory would otherwise take a page fault every 4 KiB,
// which costs more than copying it. Only a hint; kernels without it say no.
void Prefault(char* buffer, size_t length) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(buffer) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + length) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
}

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
  const DWORD error = WaitForBody(*request);
  if (error != ERROR_SUCCESS) return Fail(error);
  const Response& r = request->response;
  const size_t left = r.body.Unread();
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
  // What was read is gone from the handle. The call returns with the
  // buffer full or at the body's end; an error after some bytes waits for
  // the next call.
  auto* out = static_cast<char*>(lpBuffer);
  const size_t want = dwNumberOfBytesToRead;
  if (want > r.body.Unread() + kPrefaultSize) Prefault(out, want);
  size_t n = 0;
  while (n < want) {
    n += r.body.Read(out + n, want - n);
    if (n == want) break;
    // The rest lands in the caller's buffer as it arrives, with no copy
    // held in between.
    r.body.Lend(out + n, want - n);
    const DWORD error = WaitForBody(*request);
    const size_t landed = r.body.TakeBack();
    n += landed;
    if (error != ERROR_SUCCESS && n == 0) return Fail(error);
    if (error != ERROR_SUCCESS || (landed == 0 && r.body.Unread() == 0)) break;
  }
  *lpdwNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

namespace kwin32::wininet {

namespace {
// Pieces are at most this large, so each is freed soon after it was read.
constexpr size_t kPieceSize = size_t{1} << 20;
}  // namespace

void BodyBuffer::Clear() {
  pieces_.clear();
  head_ = unread_ = received_ = expected_ = 0;
  lentFilled_ = 0;  // a new response starts at the reader's buffer again
}

void BodyBuffer::Append(const char* data, size_t length) {
  if (unread_ == 0 && lentFilled_ < lentRoom_) {
    const size_t take = std::min(length, lentRoom_ - lentFilled_);
    memcpy(lent_ + lentFilled_, data, take);
    lentFilled_ += take;
    received_ += take;
    data += take;
    length -= take;
  }
  while (length > 0) {
    if (pieces_.empty() || pieces_.back().size() >= kPieceSize) {
      pieces_.emplace_back(std::move(spare_));
      spare_ = std::string();
      const size_t coming = expected_ > received_ ? expected_ - received_ : length;
      pieces_.back().reserve(std::min(kPieceSize, std::max(coming, length)));
    }
    std::string& piece = pieces_.back();
    const size_t take = std::min(length, kPieceSize - piece.size());
    piece.append(data, take);
    data += take;
    length -= take;
    unread_ += take;
    received_ += take;
  }
}

void BodyBuffer::Lend(char* out, size_t length) {
  lent_ = out;
  lentRoom_ = length;
  lentFilled_ = 0;
}

size_t BodyBuffer::TakeBack() {
  const size_t filled = lentFilled_;
  lent_ = nullptr;
  lentRoom_ = lentFilled_ = 0;
  return filled;
}

size_t BodyBuffer::Read(char* out, size_t length) {
  size_t copied = 0;
  while (copied < length && !pieces_.empty()) {
    const std::string& piece = pieces_.front();
    const size_t take = std::min(length - copied, piece.size() - head_);
    memcpy(out + copied, piece.data() + head_, take);
    copied += take;
    head_ += take;
    if (head_ == piece.size()) {
      if (piece.capacity() > spare_.capacity()) {
        spare_ = std::move(pieces_.front());
        spare_.clear();
      }
      pieces_.pop_front();
      head_ = 0;
    }
  }
  unread_ -= copied;
  return copied;
}

}  // namespace kwin32::wininet
