// The private window messages that carry socket events and HTTP session
// ends to the host's main window.
#ifndef KESTRELON_PRIVATE_MESSAGES_H
#define KESTRELON_PRIVATE_MESSAGES_H

#include <windows.h>

constexpr UINT WM_POP_SOCKET = WM_USER + 600;
constexpr UINT WM_SMTP_SOCKET = WM_USER + 602;
constexpr UINT WM_HTTP_SESSION_DONE = WM_USER + 605;
constexpr UINT WM_IMAP_SOCKET = WM_USER + 606;
// Values once used for job completions and log-in steps (WM_USER + 601,
// 603, 604, 607): an operation's completion now runs from the worker's
// WM_HTTP_SESSION_DONE. They stay unused, so an old message never means
// something new.

#endif
