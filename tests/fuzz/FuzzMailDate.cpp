// The service's date texts: any text converts or stays as it was.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "httpmail/Mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CMail mail;
  mail.date.assign(reinterpret_cast<const char*>(data), size);
  const std::string before = mail.date;
  mail.ConvertDate();
  // A converted date has the fixed asctime layout.
  if (mail.date != before && mail.date.size() != 24) abort();
  return 0;
}
