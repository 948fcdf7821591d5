#include "WinInetTls.h"

#include <wininet.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "WinInetHandle.h"

namespace kwin32::wininet {

namespace {

struct Refusal {
  DWORD error;
  DWORD ignoredBy;  // the SECURITY_FLAG_ bit that lets it pass; 0: none
};

// An OpenSSL verification error as the WinInet error of the same fault.
Refusal RefusalOf(int x509Error) {
  switch (x509Error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return {ERROR_INTERNET_INVALID_CA, SECURITY_FLAG_IGNORE_UNKNOWN_CA};
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return {ERROR_INTERNET_SEC_CERT_DATE_INVALID, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return {ERROR_INTERNET_SEC_CERT_CN_INVALID, SECURITY_FLAG_IGNORE_CERT_CN_INVALID};
    case X509_V_ERR_CERT_REVOKED:
      return {ERROR_INTERNET_SEC_CERT_REVOKED, SECURITY_FLAG_IGNORE_REVOCATION};
    case X509_V_ERR_INVALID_PURPOSE:
      return {ERROR_INTERNET_SEC_INVALID_CERT, SECURITY_FLAG_IGNORE_WRONG_USAGE};
    default:
      return {ERROR_INTERNET_SEC_INVALID_CERT, 0};
  }
}

}  // namespace

void TlsCheck::Configure(CURL* curl, DWORD securityFlags) {
  ignored_ = securityFlags;
  failure_ = ERROR_SUCCESS;
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, (securityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &TlsCheck::OnContext);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, this);
}

// Each new connection's context gets this check; a reused connection was
// checked under the same flags (they are part of the pool key).
CURLcode TlsCheck::OnContext(CURL*, void* context, void* self) {
  auto* ctx = static_cast<SSL_CTX*>(context);
  SSL_CTX_set_app_data(ctx, self);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &TlsCheck::OnVerify);
  return CURLE_OK;
}

int TlsCheck::OnVerify(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = static_cast<TlsCheck*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const Refusal refusal = RefusalOf(X509_STORE_CTX_get_error(store));
  if (refusal.ignoredBy != 0 && (self->ignored_ & refusal.ignoredBy) != 0) {
    X509_STORE_CTX_set_error(store, X509_V_OK);  // curl reads the result again
    return 1;
  }
  if (self->failure_ == ERROR_SUCCESS) self->failure_ = refusal.error;
  return 0;
}

DWORD TlsCheck::ErrorOf(CURLcode code) const {
  if (failure_ != ERROR_SUCCESS) return failure_;
  // The chain passed: what curl refused after it is the host name.
  if (code == CURLE_PEER_FAILED_VERIFICATION) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
  return ErrorFromCurl(code);
}

std::string TlsCheck::ServerCertificate(CURL* curl) {
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
      info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr)
    return std::string();
  X509* cert = SSL_get1_peer_certificate(static_cast<SSL*>(info->internals));
  if (cert == nullptr) return std::string();
  std::string der;
  const int length = i2d_X509(cert, nullptr);
  if (length > 0) {
    der.resize(static_cast<size_t>(length));
    auto* out = reinterpret_cast<unsigned char*>(&der[0]);
    i2d_X509(cert, &out);
  }
  X509_free(cert);
  return der;
}

}  // namespace kwin32::wininet
