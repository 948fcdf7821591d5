// The private window messages that carry socket events, job completions and
// HTTP session ends to the host's main window, and the values they carry.
#ifndef KESTRELON_PRIVATE_MESSAGES_H
#define KESTRELON_PRIVATE_MESSAGES_H

#include <windows.h>

constexpr UINT WM_POP_SOCKET = WM_USER + 600;
constexpr UINT WM_POP_JOB_DONE = WM_USER + 601;
constexpr UINT WM_SMTP_SOCKET = WM_USER + 602;
constexpr UINT WM_SMTP_JOB_DONE = WM_USER + 603;
constexpr UINT WM_HTTP_STEP = WM_USER + 604;
constexpr UINT WM_HTTP_SESSION_DONE = WM_USER + 605;
// IMAP: socket events, and job completions (wParam the connection's serial,
// lParam the result).
constexpr UINT WM_IMAP_SOCKET = WM_USER + 606;
constexpr UINT WM_IMAP_JOB_DONE = WM_USER + 607;

// Job kinds (wParam of the job messages).
constexpr WPARAM POP_JOB_LOGIN = 1;
constexpr WPARAM POP_JOB_RETRIEVE = 2;
constexpr WPARAM POP_JOB_COMMIT = 3;
constexpr WPARAM SMTP_JOB_LOGIN = 1;
constexpr WPARAM SMTP_JOB_SEND = 2;

// Steps of the POP3 log-in (wParam of WM_HTTP_STEP).
constexpr WPARAM HTTP_STEP_FOLDERS = 8;
constexpr WPARAM HTTP_STEP_MAILS = 9;

#endif
