// Opening handles: InternetOpenA (with the proxy choice), InternetConnectA
// and HttpOpenRequestA. Nothing touches the network before a send.
#include <stdlib.h>

#include "WinInetHandle.h"

using namespace kwin32::wininet;

namespace {

// The first of two environment variables that is set, as Linux programs
// read their proxy configuration.
std::string Environment(const char* lower, const char* upper) {
  const char* value = getenv(lower);
  if (value == nullptr || *value == '\0') value = getenv(upper);
  return value ? value : "";
}

std::string Text(LPCSTR text) { return text ? text : ""; }

}  // namespace

HINTERNET WINAPI InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR lpszProxyBypass,
                               DWORD) {
  auto* internet = new Internet;
  internet->agent = Text(lpszAgent);
  switch (dwAccessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
      // The system's own settings: on Linux, the proxy environment.
      internet->httpProxy = Environment("http_proxy", "HTTP_PROXY");
      internet->httpsProxy = Environment("https_proxy", "HTTPS_PROXY");
      internet->noProxy = Environment("no_proxy", "NO_PROXY");
      break;
    case INTERNET_OPEN_TYPE_DIRECT: break;
    case INTERNET_OPEN_TYPE_PROXY:
      if (lpszProxy == nullptr || *lpszProxy == '\0') {
        internet->Release();
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      internet->httpProxy = internet->httpsProxy = lpszProxy;
      internet->noProxy = Text(lpszProxyBypass);
      break;
    default:
      internet->Release();
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  InitializeCurl();
  return Register(internet);
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                                  LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD, DWORD_PTR) {
  ObjectRef internet = Lookup(hInternet, HandleKind::Internet);
  if (!internet) return nullptr;
  if (dwService != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_INTERNET_INVALID_OPERATION);
    return nullptr;
  }
  if (lpszServerName == nullptr || *lpszServerName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (internet.Get()->Closed()) {
    SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
    return nullptr;
  }
  auto* connection = new Connection(static_cast<Internet*>(internet.Get()));
  connection->host = lpszServerName;
  connection->port = nServerPort == INTERNET_INVALID_PORT_NUMBER ? INTERNET_DEFAULT_HTTP_PORT : nServerPort;
  connection->userName = Text(lpszUserName);
  connection->password = Text(lpszPassword);
  return Register(connection);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR lpszVersion,
                                  LPCSTR, LPCSTR*, DWORD dwFlags, DWORD_PTR) {
  ObjectRef connection = Lookup(hConnect, HandleKind::Connection);
  if (!connection) return nullptr;
  if (connection.Get()->Closed()) {
    SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
    return nullptr;
  }
  auto* request = new Request(static_cast<Connection*>(connection.Get()));
  request->verb = (lpszVerb && *lpszVerb) ? lpszVerb : "GET";
  request->object = (lpszObjectName && *lpszObjectName) ? lpszObjectName : "/";
  request->version = (lpszVersion && *lpszVersion) ? lpszVersion : "HTTP/1.1";
  request->flags = dwFlags;
  return Register(request);
}
