// JobResult: what a job of the HTTPMail client reports in the lParam of its
// completion message, and the tests the front ends make on it. A result is
// -1 when the service could not be reached (or its reply not read), an HTTP
// status, RETRIEVE_OK_BASE + n when message n was downloaded, or kNotRemoved
// when a commit had marked messages it could not remove.
#ifndef KESTRELON_JOB_RESULT_H
#define KESTRELON_JOB_RESULT_H

#include <windows.h>

constexpr LPARAM RETRIEVE_OK_BASE = 1024;

namespace JobResult {

constexpr int kUnreachable = -1;
constexpr int kNotRemoved = -2;
constexpr int kOk = 200;
constexpr int kCreated = 201;
constexpr int kPartialContent = 206;
constexpr int kRangeNotSatisfiable = 416;
constexpr int kMultiStatus = 207;
constexpr int kUnauthorized = 401;
constexpr int kRequestTimeout = 408;
constexpr int kTooManyRequests = 429;

inline bool IsUnreachable(LPARAM result) { return result == kUnreachable; }
inline bool IsNotRemoved(LPARAM result) { return result == kNotRemoved; }
// Each log-in step succeeds with 207, the send with 201, the commit with
// any 2xx.
inline bool IsLoggedIn(LPARAM result) { return result == kMultiStatus; }
inline bool IsSent(LPARAM result) { return result == kCreated; }
inline bool IsSuccess(LPARAM result) { return result >= 200 && result <= 299; }
inline bool IsRefusedCredentials(LPARAM result) { return result == kUnauthorized; }
inline bool IsRetrieved(LPARAM result) { return result >= RETRIEVE_OK_BASE; }
inline LPARAM RetrievedNumber(LPARAM result) { return result - RETRIEVE_OK_BASE; }
// A refusal that sending the same request again cannot mend: a 4xx other
// than a credential refusal, a time-out or a rate limit.
inline bool IsPermanentRefusal(LPARAM result) {
  return result >= 400 && result <= 499 && result != kUnauthorized && result != kRequestTimeout &&
         result != kTooManyRequests;
}

}  // namespace JobResult

#endif
