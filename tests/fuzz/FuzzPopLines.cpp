// Received bytes, cut into pieces of any size, through the line buffer and
// the POP3 command table, over a real loopback connection. The first byte
// chooses the piece size. The mail service answers every operation with
// success.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fuzz/LineWorld.h"
#include "lineserver/LineBuffer.h"
#include "pop3/HotmailPOP.h"

namespace {

using World = LineWorld<CHotmailPOP, WM_POP_SOCKET>;

World& TheWorld() {
  static World* world = [] {  // lives for the process
    World* w = new World("FuzzPop", &CSettings::popPortNumber);
    w->settings.iniPath.clear();  // folders seen are not saved
    w->service.folders.resize(1);
    w->service.folders[0].id = w->service.folders[0].special = "inbox";
    w->service.mails.resize(2);
    w->service.mails[0].id = "A1";
    w->service.mails[0].size = 12;
    w->service.mails[1].id = "A2";
    w->service.mails[1].read = true;
    return w;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  World& w = TheWorld();
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
      w.service.Complete(207);  // whatever the line asked of the service
      if (w.server.ClientSocket() == 0) return 0;  // QUIT: the next input connects anew
    }
    w.client->Drain();
    w.client->Take();
  }
  loopback::PumpOnce();
  w.client->Drain();
  w.client->Take();
  return 0;
}
