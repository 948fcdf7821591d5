// SMTP's base64 decoder: never writes past the room its contract names.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "smtp/HotmailSMTP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<char> output(size);  // exactly the room promised, so ASan sees one byte more
  const size_t written = CHotmailSMTP::DecodeBase64(output.data(), input.c_str(), size);
  if (written > size) abort();
  return 0;
}
