#include "HotmailPOP.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/Log.h"
#include "httpmail/HotmailHTTP.h"
#include "httpmail/Mail.h"
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"

static const char kSourceModule[] = "HotmailPOP.cpp";

namespace {

constexpr long kListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 0x2B
constexpr long kClientEvents = FD_READ | FD_WRITE | FD_CLOSE;              // 0x23
constexpr int kShutdownBoth = 2;  // SD_BOTH, which only winsock2.h names

const char kGreeting[] = "+OK POP3 to HTTP proxy server ready\r\n";
const char kBusy[] = "-ERR Socket is already used.\r\n";
const char kOk[] = "+OK\r\n";
const char kEnd[] = ".\r\n";
const char kUnknown[] = "-ERR Unknown command\r\n";
const char kNotAuthorizationState[] = "-ERR not authorization state\r\n";
const char kAuthorizationFirst[] = "-ERR authorization first\r\n";
const char kMissingNumber[] = "-ERR missing required message number parameter\r\n";
const char kCannotConnect[] = "-ERR Can't connect to Hotmail server\r\n";
const char kLineTooLong[] = "-ERR command line too long\r\n";
const char kJobRunning[] = "-ERR a Hotmail request is still in progress\r\n";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char small[128];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> large(static_cast<size_t>(n) + 1);
  va_start(args, format);
  vsnprintf(large.data(), large.size(), format, args);
  va_end(args);
  return std::string(large.data(), static_cast<size_t>(n));
}

// A number in an argument: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits reads as 0.
// Values beyond the 32-bit range stop at its ends.
int ReadNumber(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

// Whether `line` starts with `name`, letters A-Z compared without case.
bool StartsWithName(const char* line, const char* name) {
  for (; *name != '\0'; ++line, ++name) {
    char c = *line;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *name) return false;
  }
  return true;
}

// A message text as a POP3 multi-line body, without the final ".\r\n":
// a "." that starts a line gets another in front of it, and the body ends
// with CR LF. Clients also end lines at a bare LF, so a line starts after
// either; the terminating "." can then never appear inside a message.
std::string StuffedBody(const std::string& text) {
  std::string body;
  body.reserve(text.size() + text.size() / 64 + 2);
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') body += '.';
    body += c;
    lineStart = c == '\n';
  }
  if (body.size() < 2 || body.compare(body.size() - 2, 2, "\r\n") != 0) body += "\r\n";
  return body;
}

}  // namespace

const CommandEntry<CHotmailPOP> CHotmailPOP::kCommands[12] = {
    {&CHotmailPOP::User, "USER"}, {&CHotmailPOP::Pass, "PASS"}, {&CHotmailPOP::Apop, "APOP"},
    {&CHotmailPOP::Quit, "QUIT"}, {&CHotmailPOP::Noop, "NOOP"}, {&CHotmailPOP::Stat, "STAT"},
    {&CHotmailPOP::List, "LIST"}, {&CHotmailPOP::Retr, "RETR"}, {&CHotmailPOP::Top, "TOP"},
    {&CHotmailPOP::Dele, "DELE"}, {&CHotmailPOP::Rset, "RSET"}, {&CHotmailPOP::Uidl, "UIDL"},
};

CHotmailPOP::CHotmailPOP() : input_(kMaxCommandLine), wsaData_{} {}

CHotmailPOP::~CHotmailPOP() {
  CloseAll();
  if (winsockStarted_) {
    WSACleanup();
    winsockStarted_ = false;
  }
}

bool CHotmailPOP::InitWinsock() {
  if (winsockStarted_) return true;
  if (WSAStartup(0x0101, &wsaData_) == 0) {
    winsockStarted_ = true;
    return true;
  }
  REPORT_ERROR("WSAStartup の初期化に失敗しました。", 0);
  return false;
}

bool CHotmailPOP::Listen() {
  if (listener_ != 0) {
    REPORT_ERROR("POP サーバの２重起動です。", 0);
    CloseSocket(listener_);
    listener_ = 0;
    return false;
  }
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
    listener_ = 0;
    return false;
  }
  bool ok = false;
  if (WSAAsyncSelect(listener_, window_, WM_POP_SOCKET, kListenEvents) != 0) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
  } else {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(thePlugin.settings.popPortNumber));
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      REPORT_SYSTEM_ERROR(WSAGetLastError());
    else if (listen(listener_, 5) != 0)
      REPORT_SYSTEM_ERROR(WSAGetLastError());
    else
      ok = true;
  }
  if (!ok) {
    CloseSocket(listener_);
    listener_ = 0;
    return false;
  }
  theLog.Write("[POP の待機を開始しました]\n");
  return true;
}

LRESULT CHotmailPOP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_POP_JOB_DONE) {
    OnJobDone(wParam, lParam);
    return 0;
  }
  if (message != WM_POP_SOCKET) return 0;
  const SOCKET s = static_cast<SOCKET>(wParam);
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_ACCEPT: OnAccept(); break;
    case FD_READ: OnReceive(s); break;
    case FD_WRITE: FlushPending(); break;
    case FD_CLOSE:
      // Only the client is closed here: any other socket of this server
      // was closed when it was done with, and its handle may since name a
      // new socket.
      if (s == client_ && client_ != 0) CloseClient();
      break;
    default: break;
  }
  return 0;
}

void CHotmailPOP::CloseAll() {
  CloseClient();
  CloseSocket(listener_);
  listener_ = 0;
}

// --- Connection ---------------------------------------------------------

void CHotmailPOP::OnAccept() {
  if (listener_ == 0) return;
  // A client that hung up just before this one connected may not have had
  // its FD_CLOSE handled yet (clients that reconnect at once do this); it is
  // gone, and the newcomer is no second client.
  if (client_ != 0 && ClientHasGone()) CloseClient();
  if (client_ != 0) {
    RefuseConnection();
    return;
  }
  sockaddr_in peer;
  int length = sizeof peer;
  SOCKET s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) {
    // No connection waiting any more (the peer gave up) is no failure.
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) REPORT_SYSTEM_ERROR(error);
    return;
  }
  if (WSAAsyncSelect(s, window_, WM_POP_SOCKET, kClientEvents) != 0) {
    REPORT_SYSTEM_ERROR(WSAGetLastError());
    CloseSocket(s);
    return;
  }
  client_ = s;
  ++connection_;
  input_.Clear();
  output_.Clear();
  SendString(client_, kGreeting);
  state_ = SessionState::Authorization;
}

bool CHotmailPOP::ClientHasGone() {
  char byte;
  int n = recv(client_, &byte, 1, MSG_PEEK);
  return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

void CHotmailPOP::RefuseConnection() {
  sockaddr_in peer;
  int length = sizeof peer;
  SOCKET s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return;
  SendString(s, kBusy);
  CloseSocket(s);
}

void CHotmailPOP::OnReceive(SOCKET s) {
  if (s != client_ || client_ == 0) return;
  // Lines are taken as they arrive, so a client that never ends its line
  // is stopped at the line limit instead of filling memory.
  while (!OutputBacklogged()) {
    size_t room;
    char* space = input_.Space(&room);
    int n = recv(client_, space, static_cast<int>(room < INT_MAX ? room : INT_MAX), 0);
    if (n <= 0) return;  // drained, or the end, which FD_CLOSE reports
    input_.Commit(static_cast<size_t>(n));
    if (!DispatchLines()) return;
  }
  // A client that sends commands without reading the replies waits, with
  // its commands unread, until the replies have gone (FlushPending).
}

// Runs the complete lines received; false once the connection has ended.
bool CHotmailPOP::DispatchLines() {
  std::string line;
  while (!OutputBacklogged()) {
    switch (input_.NextLine(line)) {
      case CLineBuffer::Next::None: return true;
      case CLineBuffer::Next::TooLong:
        SendString(client_, kLineTooLong);
        CloseClient();
        return false;
      case CLineBuffer::Next::Line: {
        const unsigned connection = connection_;
        DispatchLine(line.c_str());  // a NUL byte ends the line's text
        if (client_ == 0 || connection != connection_) return false;
        break;
      }
    }
  }
  return true;
}

bool CHotmailPOP::OutputBacklogged() const { return output_.Queued().size() > kMaxQueuedOutput; }

void CHotmailPOP::Send(SOCKET s, const char* data, size_t length) {
  if (s == 0) return;
  int error;
  if (s == client_) {
    error = output_.Write(s, data, length);
  } else {
    // Not the client (a refused connection): nothing waits for it.
    COutputQueue once;
    error = once.Write(s, data, length);
  }
  if (error != 0) REPORT_SYSTEM_ERROR(error);
  theLog.Write("[以下の文字列を Becky に送信しました]\n");
  theLog.Write(std::string_view(data, length));
}

void CHotmailPOP::SendString(SOCKET s, const char* text) { Send(s, text, strlen(text)); }

// The queued text was logged when it was given to Send; logging it again at
// each FD_WRITE would repeat a large reply to a slow client many times over.
void CHotmailPOP::FlushPending() {
  if (client_ == 0 || output_.Empty()) return;
  int error = output_.Flush(client_);
  if (error != 0) REPORT_SYSTEM_ERROR(error);
  // Commands held back behind a backlog of replies go on now.
  if (!OutputBacklogged() && DispatchLines()) OnReceive(client_);
}

void CHotmailPOP::CloseSocket(SOCKET s) {
  if (s == 0) return;
  WSAAsyncSelect(s, window_, 0, 0);
  shutdown(s, kShutdownBoth);
  closesocket(s);
  theLog.Write("[ソケットを閉じました]\n");
}

void CHotmailPOP::CloseClient() {
  CloseSocket(client_);
  client_ = 0;
  input_.Clear();
  output_.Clear();
}

// --- Commands -----------------------------------------------------------

void CHotmailPOP::DispatchLine(const char* line) {
  theLog.Write("[以下のコマンドを Becky から受信しました]\n");
  theLog.Write(line);
  for (const CommandEntry<CHotmailPOP>& row : kCommands) {
    if (!StartsWithName(line, row.name)) continue;
    const char* rest = line + strlen(row.name);
    if (*rest != '\0' && *rest != ' ') break;
    (this->*row.handler)(*rest == ' ' ? rest + 1 : rest);
    return;
  }
  SendString(client_, kUnknown);
}

bool CHotmailPOP::InAuthorization() {
  if (state_ == SessionState::Authorization) return true;
  SendString(client_, kNotAuthorizationState);
  return false;
}

bool CHotmailPOP::InTransaction() {
  if (state_ == SessionState::Transaction) return true;
  SendString(client_, kAuthorizationFirst);
  return false;
}

// The HTTPMail client runs one job for this server at a time, and the
// credentials belong to the job until it ends; a job of a connection that
// has gone away counts too.
bool CHotmailPOP::JobFree() {
  if (waitingJob_ == 0) return true;
  SendString(client_, kJobRunning);
  return false;
}

void CHotmailPOP::StartJob(WPARAM kind) {
  waitingJob_ = kind;
  jobConnection_ = connection_;
}

void CHotmailPOP::User(const char* argument) {
  if (!InAuthorization()) return;
  if (*argument == '\0') {
    SendString(client_, "-ERR missing user name argument\r\n");
    return;
  }
  if (!JobFree()) return;
  http_->userName = argument;
  SendString(client_, kOk);
}

void CHotmailPOP::Pass(const char* argument) {
  if (!InAuthorization()) return;
  if (http_->userName.empty()) {
    SendString(client_, "-ERR USER first\r\n");
    return;
  }
  if (!JobFree()) return;
  http_->password = argument;
  StartJob(POP_JOB_LOGIN);
  http_->Login(CHotmailHTTP::FRONT_POP);
}

void CHotmailPOP::Apop(const char*) {
  if (!InAuthorization()) return;
  SendString(client_, "-ERR Can't use APOP to Hotmail server\r\n");
}

void CHotmailPOP::Quit(const char*) {
  if (state_ != SessionState::Transaction) {
    SendString(client_, kAuthorizationFirst);
    CloseClient();
    return;
  }
  if (!JobFree()) return;
  state_ = SessionState::Update;
  StartJob(POP_JOB_COMMIT);
  http_->Commit();
}

void CHotmailPOP::Noop(const char*) {
  if (!InTransaction()) return;
  SendString(client_, kOk);
}

void CHotmailPOP::Stat(const char*) {
  if (!InTransaction()) return;
  int count = 0;
  long long octets = 0;  // a large mailbox must not wrap to a negative size
  for (const CMail* mail : http_->GetMails()) {
    if (!Listed(*mail)) continue;
    ++count;
    octets += mail->size;
  }
  SendString(client_, Format("+OK %d %lld\r\n", count, octets).c_str());
}

void CHotmailPOP::List(const char* argument) {
  if (!InTransaction()) return;
  const std::vector<CMail*>& mails = http_->GetMails();
  if (*argument == '\0') {
    SendString(client_, kOk);
    for (size_t i = 0; i < mails.size(); ++i)
      if (Listed(*mails[i])) SendString(client_, Format("%d %d\r\n", static_cast<int>(i + 1), mails[i]->size).c_str());
    SendString(client_, kEnd);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  SendString(client_, Format("+OK %d %d\r\n", number, MailAt(number)->size).c_str());
}

void CHotmailPOP::Retr(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    SendString(client_, kMissingNumber);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number) || !JobFree()) return;
  StartJob(POP_JOB_RETRIEVE);
  http_->Retrieve(number);
}

void CHotmailPOP::Top(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    SendString(client_, kMissingNumber);
    return;
  }
  const int number = ReadNumber(argument);  // the line count is not used
  if (!CheckMessageNumber(number)) return;
  const CMail* mail = MailAt(number);
  SendString(client_, kOk);
  const std::string header = "Date: " + mail->date + "\r\n" + "From: " + mail->from + "\r\n" + "Subject: " +
                             mail->subject + "\r\n" + "\r\n.\r\n";
  Send(client_, header.data(), header.size());
}

void CHotmailPOP::Dele(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    SendString(client_, kMissingNumber);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  MailAt(number)->deleted = true;
  SendString(client_, kOk);
}

void CHotmailPOP::Rset(const char*) {
  if (!InTransaction()) return;
  http_->ClearDeletionMarks();
  SendString(client_, kOk);
}

void CHotmailPOP::Uidl(const char* argument) {
  if (!InTransaction()) return;
  const std::vector<CMail*>& mails = http_->GetMails();
  if (*argument == '\0') {
    SendString(client_, kOk);
    for (size_t i = 0; i < mails.size(); ++i)
      if (Listed(*mails[i])) SendString(client_, (std::to_string(i + 1) + " " + mails[i]->id + "\r\n").c_str());
    SendString(client_, kEnd);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  SendString(client_, ("+OK " + std::to_string(number) + " " + MailAt(number)->id + "\r\n").c_str());
}

bool CHotmailPOP::Listed(const CMail& mail) const {
  return !mail.deleted && !(thePlugin.settings.onlyNotRead && mail.read);
}

CMail* CHotmailPOP::MailAt(int number) const {
  const std::vector<CMail*>& mails = http_->GetMails();
  if (number < 1 || static_cast<size_t>(number) > mails.size()) return nullptr;
  return mails[static_cast<size_t>(number) - 1];
}

bool CHotmailPOP::CheckMessageNumber(int number) {
  const size_t count = http_->GetMails().size();
  if (number == 0 || static_cast<unsigned>(number) > count) {
    SendString(client_, Format("-ERR message %d does not exist\r\n", number).c_str());
    return false;
  }
  if (MailAt(number)->deleted) {
    SendString(client_, Format("-ERR message %d has been deleted\r\n", number).c_str());
    return false;
  }
  return true;
}

// --- Job completions ----------------------------------------------------

void CHotmailPOP::OnJobDone(WPARAM kind, LPARAM result) {
  if (waitingJob_ == 0 || kind != waitingJob_) return;  // no command waits for it
  waitingJob_ = 0;
  if (client_ == 0 || jobConnection_ != connection_) return;  // its connection has ended
  switch (kind) {
    case POP_JOB_LOGIN: OnLoginDone(result); break;
    case POP_JOB_RETRIEVE: OnRetrieveDone(result); break;
    case POP_JOB_COMMIT: OnCommitDone(result); break;
    default: break;
  }
}

bool CHotmailPOP::CheckReachable(LPARAM result) {
  if (result != -1) return true;
  SendString(client_, kCannotConnect);
  return false;
}

void CHotmailPOP::SendStatusError(LPARAM result) {
  SendString(client_, Format("-ERR Hotmail server returned %03d status\r\n", static_cast<int>(result)).c_str());
}

void CHotmailPOP::OnLoginDone(LPARAM result) {
  if (result == 207) {
    SendString(client_, kOk);
    state_ = SessionState::Transaction;
    return;
  }
  if (result == 401)
    SendString(client_, "-ERR authentication failure\r\n");
  else if (CheckReachable(result))
    SendStatusError(result);
  // The next PASS needs a new USER.
  http_->userName.clear();
}

void CHotmailPOP::OnRetrieveDone(LPARAM result) {
  if (!CheckReachable(result)) return;
  if (result < RETRIEVE_OK_BASE) {
    SendStatusError(result);
    return;
  }
  const long long number = result - RETRIEVE_OK_BASE;
  CMail* mail = number <= INT_MAX ? MailAt(static_cast<int>(number)) : nullptr;
  if (mail == nullptr) {
    SendString(client_, Format("-ERR message %lld does not exist\r\n", number).c_str());
    return;
  }
  SendString(client_, kOk);
  const std::string body = StuffedBody(mail->content);
  Send(client_, body.data(), body.size());
  SendString(client_, kEnd);
  mail->retrieved = true;
}

void CHotmailPOP::OnCommitDone(LPARAM result) {
  if (result / 100 == 2)
    SendString(client_, kOk);
  else if (CheckReachable(result))
    SendStatusError(result);
  CloseClient();
}
