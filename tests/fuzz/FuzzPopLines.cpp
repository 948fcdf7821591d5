// Received bytes, cut into pieces of any size, through the line buffer and
// the POP3 command table, over a real loopback connection. The first byte
// chooses the piece size. Job completions come back as the HTTPMail client
// would send them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fuzz/LineWorld.h"
#include "lineserver/LineBuffer.h"
#include "pop3/HotmailPOP.h"

namespace {

const char kListing[] =
    "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\" "
    "xmlns:m=\"urn:schemas:mailheader:\"><D:response><D:href>http://h/f/1</D:href><D:propstat><D:prop>"
    "<D:id>A1</D:id><m:subject>s</m:subject><D:getcontentlength>12</D:getcontentlength></D:prop></D:propstat>"
    "</D:response><D:response><D:href>http://h/f/2</D:href><D:propstat><D:prop><D:id>A2</D:id>"
    "<hm:read>1</hm:read></D:prop></D:propstat></D:response></D:multistatus>";

using World = LineWorld<CHotmailPOP, WM_POP_SOCKET>;

World& TheWorld() {
  static World* world = [] {  // lives for the process
    World* w = new World("FuzzPop", &CSettings::popPortNumber);
    CHotmailRequest listing;
    listing.completed = true;
    listing.status = 207;
    listing.response = kListing;
    w->http.ParseMailReply(listing);
    return w;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  World& w = TheWorld();
  const HWND window = w.window;
  if (w.server.ClientSocket() == 0 || !w.client) w.Connect();
  const size_t piece = data[0] % 16 + 1;
  CLineBuffer buffer(CHotmailPOP::kMaxCommandLine);
  for (size_t at = 1; at < size; at += piece) {
    size_t room = 0;
    char* space = buffer.Space(&room);
    const size_t n = std::min(std::min(piece, size - at), room);
    memcpy(space, data + at, n);
    buffer.Commit(n);
    std::string line;
    for (;;) {
      const CLineBuffer::Next next = buffer.NextLine(line);
      if (next == CLineBuffer::Next::None) break;
      if (next == CLineBuffer::Next::TooLong) {
        buffer.Clear();
        break;
      }
      if (line.find("\r\n") != std::string::npos) abort();
      w.server.DispatchLine(line);
      // What the HTTPMail client would answer to a job the line started.
      w.server.OnMessage(window, WM_POP_JOB_DONE, POP_JOB_LOGIN, 207);
      w.server.OnMessage(window, WM_POP_JOB_DONE, POP_JOB_RETRIEVE, 404);
      w.server.OnMessage(window, WM_POP_JOB_DONE, POP_JOB_COMMIT, 207);
      if (w.server.ClientSocket() == 0) return 0;  // QUIT: the next input connects anew
    }
    w.client->Drain();
    w.client->Take();
  }
  loopback::PumpOnce();  // the client's own completions, posted to no window
  w.client->Drain();
  w.client->Take();
  return 0;
}
