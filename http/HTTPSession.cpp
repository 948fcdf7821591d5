#include "HTTPSession.h"

// Placeholder until the transport is built: nothing is ever started.
std::string CHTTPSession::lastUserName;
std::string CHTTPSession::lastPassword;

CHTTPSession::CHTTPSession() : completed(false), allowAuth(true), kind(0), status(0) {}
CHTTPSession::~CHTTPSession() {}
bool CHTTPSession::Submit(CHTTPSession*) { return false; }
void CHTTPSession::Shutdown() {}
void CHTTPSession::Finish() {}
