// HttpQueryInfoA: raw header blocks, the status line's parts and single
// headers of the last request sent or response received.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "WinInetHandle.h"

using namespace kwin32::wininet;

namespace kwin32::wininet {

bool FindHeader(const std::string& block, std::string_view name, DWORD index, std::string* value) {
  size_t pos = block.find("\r\n");  // past the request or status line
  while (pos != std::string::npos && pos + 2 < block.size()) {
    const size_t start = pos + 2;
    const size_t end = block.find("\r\n", start);
    std::string_view line(block.data() + start, (end == std::string::npos ? block.size() : end) - start);
    pos = end;
    const size_t colon = line.find(':');
    if (colon != name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0) continue;
    if (index-- > 0) continue;
    std::string_view v = line.substr(colon + 1);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    if (value) value->assign(v);
    return true;
  }
  return false;
}

}  // namespace kwin32::wininet

namespace {

struct NamedHeader {
  DWORD level;
  const char* name;
};

const NamedHeader kNamedHeaders[] = {
    {HTTP_QUERY_CONTENT_TYPE, "Content-Type"},
    {HTTP_QUERY_CONTENT_LENGTH, "Content-Length"},
    {HTTP_QUERY_LOCATION, "Location"},
    {HTTP_QUERY_CONTENT_RANGE, "Content-Range"},
};

const char* NameOf(DWORD level) {
  for (const NamedHeader& h : kNamedHeaders)
    if (h.level == level) return h.name;
  return nullptr;
}

// Part `n` (0, 1, 2) of the first line; the third part runs to the line end.
// A status line reads version, code, text; a request line verb, target,
// version.
std::string FirstLinePart(const std::string& block, int n) {
  std::string line = block.substr(0, block.find("\r\n"));
  size_t first = line.find(' ');
  size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
  switch (n) {
    case 0: return line.substr(0, first);
    case 1:
      if (first == std::string::npos) return "";
      return line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    default: return second == std::string::npos ? "" : line.substr(second + 1);
  }
}

// Raw headers with NUL separators, the list ending in two NULs.
std::string NulSeparated(const std::string& block) {
  std::string out;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find("\r\n", pos);
    if (end == std::string::npos) end = block.size();
    if (end > pos) out.append(block, pos, end - pos).push_back('\0');
    pos = end + 2;
  }
  out.push_back('\0');
  return out;
}

// The text asked for; false with the error set when there is none.
bool Select(const std::string& block, bool requestHeaders, DWORD level, LPDWORD index, std::string* value) {
  if (block.empty()) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  switch (level) {
    case HTTP_QUERY_RAW_HEADERS_CRLF: *value = block; return true;
    case HTTP_QUERY_RAW_HEADERS: *value = NulSeparated(block); return true;
    case HTTP_QUERY_VERSION: *value = FirstLinePart(block, requestHeaders ? 2 : 0); return true;
    case HTTP_QUERY_STATUS_CODE:
    case HTTP_QUERY_STATUS_TEXT:
      if (requestHeaders) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      *value = FirstLinePart(block, level == HTTP_QUERY_STATUS_CODE ? 1 : 2);
      return true;
    default: break;
  }
  const char* name = NameOf(level);
  if (name == nullptr) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
  if (!FindHeader(block, name, index ? *index : 0, value)) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  if (index) ++*index;
  return true;
}

BOOL CopyNumber(const std::string& value, LPVOID buffer, LPDWORD length) {
  char* end = nullptr;
  unsigned long number = strtoul(value.c_str(), &end, 10);
  if (value.empty() || end == value.c_str()) return Fail(ERROR_HTTP_INVALID_HEADER);
  if (buffer == nullptr || *length < sizeof(DWORD)) {
    *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *static_cast<DWORD*>(buffer) = static_cast<DWORD>(number);
  *length = sizeof(DWORD);
  return TRUE;
}

BOOL CopyText(const std::string& value, LPVOID buffer, LPDWORD length) {
  // The size asked for includes the terminating zero; the size returned on
  // success does not.
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *length < needed) {
    *length = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *length = static_cast<DWORD>(value.size());
  return TRUE;
}

}  // namespace

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                           LPDWORD lpdwIndex) {
  ObjectRef object = Lookup(hRequest, HandleKind::Request);
  if (!object) return FALSE;
  if (lpdwBufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const Response& response = static_cast<Request*>(object.Get())->response;
  const bool requestHeaders = (dwInfoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
  const DWORD modifiers = dwInfoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK & ~HTTP_QUERY_FLAG_REQUEST_HEADERS;
  if (modifiers != 0 && modifiers != HTTP_QUERY_FLAG_NUMBER) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);

  const std::string& block = requestHeaders ? response.requestHeaders : response.headers;
  std::string value;
  DWORD index = lpdwIndex ? *lpdwIndex : 0;
  if (!Select(block, requestHeaders, dwInfoLevel & HTTP_QUERY_HEADER_MASK, lpdwIndex ? &index : nullptr, &value))
    return FALSE;
  BOOL ok = modifiers == HTTP_QUERY_FLAG_NUMBER ? CopyNumber(value, lpBuffer, lpdwBufferLength)
                                                : CopyText(value, lpBuffer, lpdwBufferLength);
  if (ok && lpdwIndex) *lpdwIndex = index;
  return ok;
}
