// InternetQueryOptionA for a request: its security flags, and the server's
// certificate as the chain context WinInet gives (the server's own
// certificate alone; CertFreeCertificateChain frees it).
#include <wincrypt.h>
#include <stdlib.h>
#include <string.h>

#include "WinInetHandle.h"

using namespace kwin32::wininet;

namespace {

// One allocation: the structures, then the certificate's bytes.
struct ChainBlock {
  CERT_CHAIN_CONTEXT chain;
  CERT_SIMPLE_CHAIN simple;
  PCERT_SIMPLE_CHAIN simpleList[1];
  CERT_CHAIN_ELEMENT element;
  PCERT_CHAIN_ELEMENT elementList[1];
  CERT_CONTEXT certificate;
};

PCCERT_CHAIN_CONTEXT NewChain(const std::string& der) {
  auto* block = static_cast<ChainBlock*>(calloc(1, sizeof(ChainBlock) + der.size()));
  if (block == nullptr) return nullptr;
  auto* bytes = reinterpret_cast<BYTE*>(block + 1);
  memcpy(bytes, der.data(), der.size());
  block->certificate = {X509_ASN_ENCODING, bytes, static_cast<DWORD>(der.size()), nullptr, nullptr};
  block->element.cbSize = sizeof block->element;
  block->element.pCertContext = &block->certificate;
  block->elementList[0] = &block->element;
  block->simple.cbSize = sizeof block->simple;
  block->simple.cElement = 1;
  block->simple.rgpElement = block->elementList;
  block->simpleList[0] = &block->simple;
  block->chain.cbSize = sizeof block->chain;
  block->chain.cChain = 1;
  block->chain.rgpChain = block->simpleList;
  return &block->chain;
}

BOOL Answer(const void* value, DWORD size, LPVOID buffer, LPDWORD length) {
  if (*length < size || buffer == nullptr) {
    *length = size;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(buffer, value, size);
  *length = size;
  return TRUE;
}

}  // namespace

BOOL WINAPI InternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
  if (lpdwBufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (dwOption != INTERNET_OPTION_SECURITY_FLAGS && dwOption != INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT)
    return Fail(ERROR_INTERNET_INVALID_OPTION);
  ObjectRef object = Lookup(hInternet, HandleKind::Request);
  if (!object) return FALSE;
  const Request& request = *static_cast<Request*>(object.Get());
  const std::string& der = request.response.serverCertificate;
  if (dwOption == INTERNET_OPTION_SECURITY_FLAGS) {
    const DWORD flags = request.securityFlags | (der.empty() ? 0 : SECURITY_FLAG_SECURE);
    return Answer(&flags, sizeof flags, lpBuffer, lpdwBufferLength);
  }
  if (der.empty()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (*lpdwBufferLength < sizeof(PCCERT_CHAIN_CONTEXT) || lpBuffer == nullptr) {
    *lpdwBufferLength = sizeof(PCCERT_CHAIN_CONTEXT);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  PCCERT_CHAIN_CONTEXT chain = NewChain(der);
  if (chain == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  return Answer(&chain, sizeof chain, lpBuffer, lpdwBufferLength);
}

void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  free(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));  // the first member of its block
}
