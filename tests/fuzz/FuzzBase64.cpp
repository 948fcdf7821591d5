// The base64 decoder on any input: the loose reading never gives more bytes
// than the digits hold, and where the strict reading accepts, both agree.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "config/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string loose = DecodeBase64Loosely(input);
  if (loose.size() > size / 4 * 3 + 2) abort();
  std::string strict;
  if (DecodeBase64(input, strict) && strict != loose) abort();
  return 0;
}
