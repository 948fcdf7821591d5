// Received bytes, cut into pieces of any size, through the line buffer and
// the SMTP commands and message text, over a real loopback connection. The
// first byte chooses the piece size and how the service answers the log-in
// and the send.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fuzz/LineWorld.h"
#include "lineserver/LineBuffer.h"
#include "plugin/PrivateMessages.h"
#include "smtp/HotmailSMTP.h"

namespace {

using State = CHotmailSMTP::SessionState;

using World = LineWorld<CHotmailSMTP, WM_SMTP_SOCKET>;

World& TheWorld() {
  static World* world = new World("FuzzSmtp", &CSettings::smtpPortNumber);  // lives for the process
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  World& w = TheWorld();
  w.Connect();  // each input on a connection of its own, so that it replays alone
  const size_t piece = data[0] % 16 + 1;
  static const LPARAM kLogins[] = {207, 401, 500, 207};
  static const LPARAM kSends[] = {201, 400, 503, 201};
  const LPARAM login = kLogins[(data[0] >> 4) & 3];
  const LPARAM sent = kSends[data[0] >> 6];
  CLineBuffer buffer(CHotmailSMTP::kMaxCommandLine);
  for (size_t at = 1; at < size;) {
    size_t room = 0;
    char* space = buffer.Space(&room);
    const size_t n = std::min(std::min(piece, size - at), room);
    memcpy(space, data + at, n);
    buffer.Commit(n);
    at += n;
    std::string line;
    for (;;) {
      buffer.SetMaxLine(w.server.State() == State::Text ? CHotmailSMTP::kMaxTextLine : CHotmailSMTP::kMaxCommandLine);
      const CLineBuffer::Next next = buffer.NextLine(line);
      if (next == CLineBuffer::Next::None) break;
      if (next == CLineBuffer::Next::TooLong) {
        buffer.Clear();
        break;
      }
      w.server.DispatchLine(line);
      if (w.server.Authenticating()) w.service.Complete(login);
      if (w.server.State() == State::Submitted) w.service.Complete(sent);
      if (w.server.ClientSocket() == 0) return 0;  // QUIT
    }
    w.client->Drain();
    w.client->Take();
  }
  w.server.CloseSocket(w.server.ClientSocket());
  w.client.reset();
  return 0;
}
