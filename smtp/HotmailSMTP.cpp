#include "HotmailSMTP.h"

// Placeholder until the SMTP server is built: it starts nothing.
CHotmailSMTP::CHotmailSMTP() {}
CHotmailSMTP::~CHotmailSMTP() {}
bool CHotmailSMTP::InitWinsock() { return true; }
bool CHotmailSMTP::Listen() { return false; }
LRESULT CHotmailSMTP::OnMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }
void CHotmailSMTP::CloseAll() {}
