#include "StreamedBody.h"

#include <string_view>

#include "config/Log.h"

namespace {

const char kResponseTooLarge[] = "[レスポンスが大きすぎます]";
// What one read of the part a consumer left takes.
constexpr int kDrainPiece = 16 * 1024;

}  // namespace

CStreamedBody::CStreamedBody(HINTERNET request, size_t cap) : request_(request), cap_(cap) {}

bool CStreamedBody::DeliverTo(CBodyConsumer& consumer, const CHTTPSession& session) {
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (cap_ != 0 &&
      HttpQueryInfoA(request_, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size, nullptr) &&
      announced > cap_) {
    REPORT_ERROR(kResponseTooLarge, 0);
    return false;
  }
  theLog.Write("[レスポンスの本文は以下のとおりです]\n");
  consumer.Consume(*this, session);
  char rest[kDrainPiece];
  while (!ended_ && !failed_) Read(rest, sizeof rest);
  if (lineOpen_) theLog.Write("\n");
  return !failed_;
}

int CStreamedBody::Read(char* buffer, int size) noexcept {
  if (failed_) return -1;
  if (ended_ || size <= 0) return 0;
  try {
    return ReadPiece(buffer, size);
  } catch (...) {  // out of memory in the log or a box: no exception may reach a parser written in C
    failed_ = true;
    return -1;
  }
}

int CStreamedBody::ReadPiece(char* buffer, int size) {
  DWORD read = 0;
  if (!InternetReadFile(request_, buffer, static_cast<DWORD>(size), &read)) {
    failed_ = true;
    REPORT_SYSTEM_ERROR(GetLastError());
    return -1;
  }
  if (read == 0) {
    ended_ = true;
    return 0;
  }
  taken_ += read;
  if (cap_ != 0 && taken_ > cap_) {
    failed_ = true;
    REPORT_ERROR(kResponseTooLarge, 0);
    return -1;
  }
  theLog.WritePart(std::string_view(buffer, read));
  lineOpen_ = buffer[read - 1] != '\n';
  return static_cast<int>(read);
}
