#include "HotmailPOP.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "config/Log.h"
#include "httpmail/HotmailHTTP.h"
#include "httpmail/Mail.h"
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"
#include "pop3/MultiLineReply.h"

static const char kSourceModule[] = "HotmailPOP.cpp";

namespace {

const char kOk[] = "+OK\r\n";
const char kEnd[] = ".\r\n";
const char kUnknown[] = "-ERR Unknown command\r\n";
const char kNotAuthorizationState[] = "-ERR not authorization state\r\n";
const char kAuthorizationFirst[] = "-ERR authorization first\r\n";
const char kMissingNumber[] = "-ERR missing required message number parameter\r\n";
const char kCannotConnect[] = "-ERR Can't connect to Hotmail server\r\n";
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

// A header value from the service as one line of TOP's header: a line
// break (or NUL) inside it would end the line, and could end the reply early
// and pass the rest off as replies to later commands.
std::string HeaderValue(const std::string& value) {
  std::string line = value;
  for (char& c : line)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return line;
}

// A message id as a POP3 unique id, which may hold only the printable
// characters 0x21 to 0x7E: others (and "%") are written as %XX, so ids stay
// distinct and the usual ones unchanged.
std::string UniqueId(const std::string& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uid;
  for (char c : id) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && byte != '%') {
      uid += c;
    } else {
      uid += '%';
      uid += kHex[byte >> 4];
      uid += kHex[byte & 0xF];
    }
  }
  return uid;
}

}  // namespace

const CommandEntry<CHotmailPOP> CHotmailPOP::kCommands[12] = {
    {&CHotmailPOP::User, "USER"}, {&CHotmailPOP::Pass, "PASS"}, {&CHotmailPOP::Apop, "APOP"},
    {&CHotmailPOP::Quit, "QUIT"}, {&CHotmailPOP::Noop, "NOOP"}, {&CHotmailPOP::Stat, "STAT"},
    {&CHotmailPOP::List, "LIST"}, {&CHotmailPOP::Retr, "RETR"}, {&CHotmailPOP::Top, "TOP"},
    {&CHotmailPOP::Dele, "DELE"}, {&CHotmailPOP::Rset, "RSET"}, {&CHotmailPOP::Uidl, "UIDL"},
};

CHotmailPOP::CHotmailPOP() {}

CHotmailPOP::~CHotmailPOP() {}

int CHotmailPOP::ListenPort() const { return thePlugin.settings.popPortNumber; }

LRESULT CHotmailPOP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_POP_JOB_DONE) {
    ReplyBatch batch(*this);
    OnJobDone(wParam, lParam);
  } else if (message == WM_POP_SOCKET) {
    OnSocketEvent(wParam, lParam);
  }
  return 0;
}

// --- Commands -----------------------------------------------------------

void CHotmailPOP::DispatchLine(const char* line) {
  theLog.Write("[以下のコマンドを Becky から受信しました]\n");
  // A log must not hold the password in clear.
  theLog.Write(StartsWithName(line, "PASS ") ? std::string(line, 5) + "********" : std::string(line));
  if (!RunCommand(*this, kCommands, line)) Reply(kUnknown);
}

bool CHotmailPOP::InAuthorization() {
  if (state_ == SessionState::Authorization) return true;
  Reply(kNotAuthorizationState);
  return false;
}

bool CHotmailPOP::InTransaction() {
  if (state_ == SessionState::Transaction) return true;
  Reply(kAuthorizationFirst);
  return false;
}

// The HTTPMail client runs one job for this server at a time, and the
// credentials belong to the job until it ends; a job of a connection that
// has gone away counts too.
bool CHotmailPOP::JobFree() {
  if (!JobRunning()) return true;
  Reply(kJobRunning);
  return false;
}

void CHotmailPOP::User(const char* argument) {
  if (!InAuthorization()) return;
  if (*argument == '\0') {
    Reply("-ERR missing user name argument\r\n");
    return;
  }
  if (!JobFree()) return;
  http_->userName = argument;
  Reply(kOk);
}

void CHotmailPOP::Pass(const char* argument) {
  if (!InAuthorization()) return;
  if (http_->userName.empty()) {
    Reply("-ERR USER first\r\n");
    return;
  }
  if (!JobFree()) return;
  http_->password = argument;
  StartJob(POP_JOB_LOGIN);
  http_->Login(CHotmailHTTP::FRONT_POP);
}

void CHotmailPOP::Apop(const char*) {
  if (!InAuthorization()) return;
  Reply("-ERR Can't use APOP to Hotmail server\r\n");
}

void CHotmailPOP::Quit(const char*) {
  if (state_ != SessionState::Transaction) {
    Reply(kAuthorizationFirst);
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
  Reply(kOk);
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
  Reply(Format("+OK %d %lld\r\n", count, octets).c_str());
}

void CHotmailPOP::List(const char* argument) {
  if (!InTransaction()) return;
  const std::vector<CMail*>& mails = http_->GetMails();
  if (*argument == '\0') {
    Reply(kOk);
    for (size_t i = 0; i < mails.size(); ++i)
      if (Listed(*mails[i])) Reply(Format("%d %d\r\n", static_cast<int>(i + 1), mails[i]->size).c_str());
    Reply(kEnd);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  Reply(Format("+OK %d %d\r\n", number, MailAt(number)->size).c_str());
}

void CHotmailPOP::Retr(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kMissingNumber);
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
    Reply(kMissingNumber);
    return;
  }
  const int number = ReadNumber(argument);  // the line count is not used
  if (!CheckMessageNumber(number)) return;
  const CMail* mail = MailAt(number);
  Reply(kOk);
  const std::string header = "Date: " + HeaderValue(mail->date) + "\r\n" + "From: " + HeaderValue(mail->from) +
                             "\r\n" + "Subject: " + HeaderValue(mail->subject) + "\r\n" + "\r\n.\r\n";
  Reply(header);
}

void CHotmailPOP::Dele(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kMissingNumber);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  MailAt(number)->deleted = true;
  Reply(kOk);
}

void CHotmailPOP::Rset(const char*) {
  if (!InTransaction()) return;
  http_->ClearDeletionMarks();
  Reply(kOk);
}

void CHotmailPOP::Uidl(const char* argument) {
  if (!InTransaction()) return;
  const std::vector<CMail*>& mails = http_->GetMails();
  if (*argument == '\0') {
    Reply(kOk);
    for (size_t i = 0; i < mails.size(); ++i)
      if (Listed(*mails[i])) Reply(std::to_string(i + 1) + " " + UniqueId(mails[i]->id) + "\r\n");
    Reply(kEnd);
    return;
  }
  const int number = ReadNumber(argument);
  if (!CheckMessageNumber(number)) return;
  Reply("+OK " + std::to_string(number) + " " + UniqueId(MailAt(number)->id) + "\r\n");
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
    Reply(Format("-ERR message %d does not exist\r\n", number).c_str());
    return false;
  }
  if (MailAt(number)->deleted) {
    Reply(Format("-ERR message %d has been deleted\r\n", number).c_str());
    return false;
  }
  return true;
}

// --- Job completions ----------------------------------------------------

void CHotmailPOP::OnJobDone(WPARAM kind, LPARAM result) {
  if (!TakeJobDone(kind)) return;
  switch (kind) {
    case POP_JOB_LOGIN: OnLoginDone(result); break;
    case POP_JOB_RETRIEVE: OnRetrieveDone(result); break;
    case POP_JOB_COMMIT: OnCommitDone(result); break;
    default: break;
  }
}

bool CHotmailPOP::CheckReachable(LPARAM result) {
  if (result != -1) return true;
  Reply(kCannotConnect);
  return false;
}

void CHotmailPOP::SendStatusError(LPARAM result) {
  Reply(Format("-ERR Hotmail server returned %03d status\r\n", static_cast<int>(result)).c_str());
}

void CHotmailPOP::OnLoginDone(LPARAM result) {
  if (result == 207) {
    Reply(kOk);
    state_ = SessionState::Transaction;
    return;
  }
  if (result == 401)
    Reply("-ERR authentication failure\r\n");
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
    Reply(Format("-ERR message %lld does not exist\r\n", number).c_str());
    return;
  }
  // The reply is built in the text's storage and holds it from now on; a
  // later RETR fetches the message again.
  std::string reply = MultiLineReply(kOk, std::move(mail->content));
  mail->content.clear();
  Reply(std::move(reply));  // the output queue takes it over where it can
  mail->retrieved = true;
}

void CHotmailPOP::OnCommitDone(LPARAM result) {
  if (result / 100 == 2)
    Reply(kOk);
  else if (CheckReachable(result))
    SendStatusError(result);
  CloseClient();
}
