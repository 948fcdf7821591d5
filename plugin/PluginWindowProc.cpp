#include "PluginWindowProc.h"

#include "http/HTTPSession.h"
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"

MessageRoute RouteOf(UINT message) {
  switch (message) {
    case WM_POP_SOCKET: return MessageRoute::Pop;
    case WM_SMTP_SOCKET: return MessageRoute::Smtp;
    case WM_IMAP_SOCKET: return MessageRoute::Imap;
    case WM_HTTP_SESSION_DONE: return MessageRoute::Http;
    case WM_DESTROY: return MessageRoute::Destroy;
    default:
      // The plug-in's range, its retired values among them, is its own.
      return message > WM_POP_SOCKET && message < WM_IMAP_SOCKET ? MessageRoute::Retired : MessageRoute::Previous;
  }
}

LRESULT CALLBACK PluginWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (RouteOf(message)) {
    case MessageRoute::Pop: return thePlugin.pop.OnMessage(hwnd, message, wParam, lParam);
    case MessageRoute::Smtp: return thePlugin.smtp.OnMessage(hwnd, message, wParam, lParam);
    case MessageRoute::Imap: return thePlugin.imap.OnMessage(hwnd, message, wParam, lParam);
    case MessageRoute::Http: return thePlugin.http.OnMessage(hwnd, message, wParam, lParam);
    case MessageRoute::Destroy:
      // The host window is going away: stop serving before the host's own
      // procedure sees the message.
      thePlugin.pop.CloseAll();
      thePlugin.smtp.CloseAll();
      thePlugin.imap.CloseAll();
      CHTTPSession::Shutdown();
      break;
    case MessageRoute::Retired: return 0;
    case MessageRoute::Previous: break;
  }
  return CallWindowProcA(thePlugin.previousWindowProc, hwnd, message, wParam, lParam);
}
