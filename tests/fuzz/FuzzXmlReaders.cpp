// The three PROPFIND readers on any reply body: each answers a result and
// leaves its lists consistent. A body streamed in pieces reads as the same
// body held whole.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
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

// The texts of every D:href in a DAV: response, and whether the body read:
// from pieces of `piece` bytes, or (0) held whole.
std::string Walk(const std::string& body, size_t piece, bool& read) {
  std::string texts;
  size_t at = 0;
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  const auto visit = [&](CXmlDocument::Node response) {
    std::string text;
    doc.SelectText(response, "D:href", text);
    texts += text + '\n';
  };
  read = true;
  try {
    if (piece == 0) {
      doc.LoadEach(body, "DAV:", "response", visit);
    } else {
      doc.StreamEach(
          [&](char* buffer, int size) {
            const size_t n = std::min({piece, static_cast<size_t>(size), body.size() - at});
            memcpy(buffer, body.data() + at, n);
            at += n;
            return static_cast<int>(n);
          },
          "DAV:", "response", visit);
    }
  } catch (const CXmlDocument::Error&) {
    read = false;
  }
  return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CSettings settings;
  settings.iniPath.clear();  // folders seen are not saved
  CHotmailHTTP http(settings);
  http.ReadDiscovery(*Reply(data, size));
  std::vector<CFolder> folders;
  http.ReadFolders(*Reply(data, size), folders);
  std::vector<CMail> mails;
  // A listing that could not be read to its end hands nothing over.
  if (!http.ReadMails(*Reply(data, size), mails).Ok() && !mails.empty()) abort();
  const std::string body(reinterpret_cast<const char*>(data), size);
  bool wholeRead = false, piecesRead = false;
  const std::string whole = Walk(body, 0, wholeRead);
  const std::string pieces = Walk(body, size > 0 ? data[size - 1] % 61 + 1 : 1, piecesRead);
  if (wholeRead != piecesRead || (wholeRead && whole != pieces)) abort();
  return 0;
}
