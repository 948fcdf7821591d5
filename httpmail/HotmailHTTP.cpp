#include "HotmailHTTP.h"

#include <objbase.h>

// Placeholder until the HTTPMail client is built.
CHotmailHTTP::CHotmailHTTP() { CoInitialize(nullptr); }
CHotmailHTTP::~CHotmailHTTP() { CoUninitialize(); }
void CHotmailHTTP::Login(int) {}
void CHotmailHTTP::Retrieve(int) {}
void CHotmailHTTP::Commit() {}
void CHotmailHTTP::SendMail() {}
void CHotmailHTTP::ClearDeletionMarks() {}
LRESULT CHotmailHTTP::OnMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }
