// The world of a line server's fuzz target, set up once per process: the
// settings, a scripted mail service, the server listening on a free port of
// 127.0.0.1 with a window of its own, and one client connection.
#ifndef KESTRELON_FUZZ_LINE_WORLD_H
#define KESTRELON_FUZZ_LINE_WORLD_H

#include <stdlib.h>

#include <memory>

#include "config/Settings.h"
#include "pop3/Loopback.h"
#include "support/ScriptedService.h"

template <class Server, UINT kSocketMessage>
struct LineWorld {
  CSettings settings;
  ScriptedService service;
  Server server{settings};
  HWND window = nullptr;
  int CSettings::*port;
  std::unique_ptr<loopback::Client> client;

  LineWorld(const char* windowClass, int CSettings::*portKey) : port(portKey) {
    Current() = this;
    window = loopback::CreateTestWindow(windowClass, Proc);
    if (!server.InitWinsock()) abort();
    settings.*port = loopback::FreePort();
    server.SetService(&service);
    server.SetWindow(window);
    if (!server.Listen()) abort();
  }

  void Connect() {
    client.reset(new loopback::Client(settings.*port));
    if (!loopback::PumpUntil([this] { return server.ClientSocket() != 0; })) abort();
    if (client->ReadLine().empty()) abort();
  }

  static LineWorld*& Current() {
    static LineWorld* world = nullptr;
    return world;
  }

  // Socket events go to the server.
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kSocketMessage && Current() != nullptr) return Current()->server.OnMessage(hwnd, message, wParam, lParam);
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }
};

#endif
