#include "httpmail/CredentialScope.h"

#include <ctype.h>

#include <windows.h>
#include <wininet.h>

std::string UrlOrigin(const std::string& url) {
  char scheme[32];
  char host[1024];
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = sizeof scheme;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  // The parser the transport uses: what it would connect to is what counts.
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) || parts.dwHostNameLength == 0)
    return std::string();
  std::string origin = std::string(scheme, parts.dwSchemeLength) + "://" + std::string(host, parts.dwHostNameLength) +
                       ":" + std::to_string(parts.nPort);
  for (char& c : origin) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return origin;
}

bool MayCarryCredentials(const std::string& url, const std::vector<std::string>& named) {
  const std::string origin = UrlOrigin(url);
  if (origin.empty()) return false;
  for (const std::string& allowed : named)
    if (UrlOrigin(allowed) == origin) return true;
  return false;
}
