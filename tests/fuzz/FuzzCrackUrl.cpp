// InternetCrackUrlA with buffers of every size and with pointers into the
// URL: components stay inside their buffers and inside the URL.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t room = data[0] % 64 + 1;
  const std::string url(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<char> host(room), path(room), extra(room), user(room);
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = static_cast<DWORD>(room);
  uc.lpszUrlPath = path.data();
  uc.dwUrlPathLength = static_cast<DWORD>(room);
  uc.lpszUserName = user.data();
  uc.dwUserNameLength = static_cast<DWORD>(room);
  if (data[0] & 0x80) {
    uc.lpszExtraInfo = extra.data();
    uc.dwExtraInfoLength = static_cast<DWORD>(room);
  }
  if (InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &uc)) {
    // Each copy fits its buffer with its terminating zero.
    if (uc.dwHostNameLength >= room || host[uc.dwHostNameLength] != '\0') abort();
    if (uc.dwUrlPathLength >= room || path[uc.dwUrlPathLength] != '\0') abort();
  }
  // Pointer form: lengths without buffers.
  URL_COMPONENTSA up{};
  up.dwStructSize = sizeof up;
  up.dwHostNameLength = up.dwUrlPathLength = up.dwSchemeLength = up.dwExtraInfoLength = 1;
  if (InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &up)) {
    const char* begin = url.c_str();
    const char* end = begin + url.size();
    for (auto part : {std::make_pair(up.lpszHostName, up.dwHostNameLength), std::make_pair(up.lpszUrlPath, up.dwUrlPathLength),
                      std::make_pair(up.lpszScheme, up.dwSchemeLength), std::make_pair(up.lpszExtraInfo, up.dwExtraInfoLength)}) {
      if (part.first == nullptr) continue;
      if (part.first < begin || part.first + part.second > end) abort();
    }
  }
  return 0;
}
