// The three PROPFIND readers on any reply body: each answers a result and
// leaves its lists consistent.
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "httpmail/HotmailHTTP.h"
#include "config/Settings.h"

namespace {

std::unique_ptr<CHotmailRequest> Reply(const uint8_t* data, size_t size) {
  std::unique_ptr<CHotmailRequest> r(new CHotmailRequest);
  r->completed = true;
  r->status = 207;
  r->response.assign(reinterpret_cast<const char*>(data), size);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CSettings settings;
  settings.iniPath.clear();  // folders seen are not saved
  CHotmailHTTP http(settings);
  http.ParseRootReply(*Reply(data, size));
  http.ParseFolderReply(*Reply(data, size));
  http.ParseMailReply(*Reply(data, size));
  int number = 1;
  for (const CMail* mail : http.GetMails())
    if (mail->number != number++) abort();
  return 0;
}
