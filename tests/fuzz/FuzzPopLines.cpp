// Received bytes, cut into pieces of any size, through the line buffer and
// the POP3 command table, over a real loopback connection. The first byte
// chooses the piece size. The mail service answers every operation with
// success.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "config/Settings.h"
#include "pop3/HotmailPOP.h"
#include "lineserver/LineBuffer.h"
#include "pop3/Loopback.h"
#include "support/ScriptedService.h"

namespace {

CHotmailPOP* pop = nullptr;
HWND window = nullptr;

LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_POP_SOCKET && pop != nullptr) return pop->OnMessage(hwnd, message, wParam, lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

struct World {
  CSettings settings;
  ScriptedService service;
  CHotmailPOP server{settings};
  std::unique_ptr<loopback::Client> client;

  World() {
    window = loopback::CreateTestWindow("FuzzPop", Proc);
    if (!server.InitWinsock()) abort();
    settings.popPortNumber = loopback::FreePort();
    server.SetService(&service);
    server.SetWindow(window);
    pop = &server;
    if (!server.Listen()) abort();
    settings.iniPath.clear();  // folders seen are not saved
    service.folders.resize(1);
    service.folders[0].id = service.folders[0].special = "inbox";
    service.mails.resize(2);
    service.mails[0].id = "A1";
    service.mails[0].size = 12;
    service.mails[1].id = "A2";
    service.mails[1].read = true;
  }

  void Connect() {
    client.reset(new loopback::Client(settings.popPortNumber));
    if (client->ReadLine().empty()) abort();
  }
};

World& TheWorld() {
  static World* world = new World;  // lives for the process
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
