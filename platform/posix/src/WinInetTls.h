// The certificate checks of a request opened with INTERNET_FLAG_SECURE, as
// WinInet makes them on libcurl's OpenSSL: the chain against the system's
// store, its dates and use, and (by curl) the host name; a caller's
// SECURITY_FLAG_IGNORE_ bits relax each check alone.
#ifndef KWIN32_WININET_TLS_H
#define KWIN32_WININET_TLS_H

#include <windows.h>

#include <curl/curl.h>

#include <string>

struct x509_store_ctx_st;

namespace kwin32::wininet {

class TlsCheck {
 public:
  // Sets the handle's checks for one transfer under `securityFlags`.
  void Configure(CURL* curl, DWORD securityFlags);
  // The WinInet error of a refused certificate; ERROR_SUCCESS while none.
  DWORD Failure() const { return failure_; }
  // The error a failed TLS transfer gives, refused certificate or not.
  DWORD ErrorOf(CURLcode code) const;
  // The DER encoding of the server's certificate on the connection the
  // transfer uses, or "".
  static std::string ServerCertificate(CURL* curl);

 private:
  static CURLcode OnContext(CURL* curl, void* context, void* self);
  static int OnVerify(int ok, ::x509_store_ctx_st* store);

  DWORD ignored_ = 0;
  DWORD failure_ = ERROR_SUCCESS;
};

}  // namespace kwin32::wininet

#endif
