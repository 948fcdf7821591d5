#include "HotmailPOP.h"

// Placeholder until the POP server is built: it starts nothing.
CHotmailPOP::CHotmailPOP() {}
CHotmailPOP::~CHotmailPOP() {}
bool CHotmailPOP::InitWinsock() { return true; }
bool CHotmailPOP::Listen() { return false; }
LRESULT CHotmailPOP::OnMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }
void CHotmailPOP::CloseAll() {}
