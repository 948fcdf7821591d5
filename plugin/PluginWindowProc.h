// PluginWindowProc: the procedure installed on the host's main window. It
// routes the six private messages to their owners and ties the plug-in's
// shut-down to WM_DESTROY; everything else goes to the host's procedure.
#ifndef KESTRELON_PLUGIN_WINDOW_PROC_H
#define KESTRELON_PLUGIN_WINDOW_PROC_H

#include <windows.h>

enum class MessageRoute { Pop, Smtp, Imap, Http, Destroy, Retired, Previous };

MessageRoute RouteOf(UINT message);
LRESULT CALLBACK PluginWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

#endif
