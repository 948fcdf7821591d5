#include "HotmailSMTP.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>
#include <vector>

#include "config/Log.h"
#include "httpmail/HotmailHTTP.h"
#include "plugin/Plugin.h"
#include "plugin/PrivateMessages.h"

static const char kSourceModule[] = "HotmailSMTP.cpp";

namespace {

const char kOk[] = "250 ok\r\n";
// Success of AUTH is 235 (RFC 4954): clients that check it, as most do,
// take any other code for a refusal and give up before MAIL.
const char kAuthenticated[] = "235 Authentication successful\r\n";
const char kUnimplemented[] = "502 unimplemented\r\n";
const char kJobRunning[] = "451 Requested action aborted: a Hotmail request is still in progress\r\n";
const char kTooBig[] = "552 Message size exceeds fixed maximum message size\r\n";
const char kCheckAuthentication[] =
    "「メールボックスの設定」－「詳細」－「SMTP 認証」にチェックを入れてください。";
// What the log shows in place of a password, whatever its length.
const char kMaskedPassword[] = "********";
const char kPlain[] = "PLAIN ";

constexpr unsigned char kNoDigit = 0xFF;
constexpr unsigned char kPadding = 64;

// The value of one base64 digit of RFC 4648, kPadding for "=", kNoDigit
// for a character outside the alphabet.
unsigned char DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPadding;
  return kNoDigit;
}

// Part `index` of NUL-separated data; a missing part is empty. A part ends
// at the next NUL or at the end of the data.
std::string NulPart(std::string_view data, int index) {
  size_t begin = 0;
  for (int i = 0; i < index; ++i) {
    const size_t nul = data.find('\0', begin);
    if (nul == std::string_view::npos) return std::string();
    begin = nul + 1;
  }
  const size_t end = data.find('\0', begin);
  return std::string(data.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
}

}  // namespace

const CommandEntry<CHotmailSMTP> CHotmailSMTP::kCommands[9] = {
    {&CHotmailSMTP::Data, "DATA"}, {&CHotmailSMTP::Ehlo, "EHLO"}, {&CHotmailSMTP::Helo, "HELO"},
    {&CHotmailSMTP::Mail, "MAIL"}, {&CHotmailSMTP::Noop, "NOOP"}, {&CHotmailSMTP::Quit, "QUIT"},
    {&CHotmailSMTP::Rcpt, "RCPT"}, {&CHotmailSMTP::Rset, "RSET"}, {&CHotmailSMTP::Auth, "AUTH"},
};

CHotmailSMTP::CHotmailSMTP() {}

CHotmailSMTP::~CHotmailSMTP() {}

int CHotmailSMTP::ListenPort() const { return thePlugin.settings.smtpPortNumber; }

LRESULT CHotmailSMTP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SMTP_JOB_DONE) {
    CompleteJob(wParam, lParam);
  } else if (message == WM_SMTP_SOCKET) {
    OnSocketEvent(wParam, lParam);
  }
  return 0;
}

// A client that stays connected after QUIT does not keep the next away.
void CHotmailSMTP::BeforeAccept() {
  if (state_ == SessionState::Quit && ClientSocket() != 0) CloseClient();
}

// A new session starts with no transaction: nothing that an earlier client
// left half sent can go out with this one's message.
void CHotmailSMTP::OnConnected() {
  state_ = SessionState::Idle;
  ClearTransaction();
}

// --- Lines and commands -------------------------------------------------

void CHotmailSMTP::DispatchLine(const std::string& line) {
  LogReceived(line);
  if (state_ == SessionState::Text) {
    AddTextLine(line);
    return;
  }
  if (!RunCommand(*this, kCommands, line.c_str())) Reply(kUnimplemented);
}

// The received line as the log shows it: the credentials of AUTH PLAIN are
// left out, since a log must not hold a password in clear.
void CHotmailSMTP::LogReceived(const std::string& line) const {
  theLog.Write("[以下のコマンドを Becky から受信しました]\n");
  const size_t prefix = strlen("AUTH ") + strlen(kPlain);
  if (state_ != SessionState::Text && StartsWithName(line.c_str(), "AUTH ") &&
      StartsWithName(line.c_str() + strlen("AUTH "), kPlain)) {
    theLog.Write(line.substr(0, prefix) + kMaskedPassword);
    return;
  }
  theLog.Write(line);
}

void CHotmailSMTP::Data(const char*) {
  if (http_->userName.empty()) {
    REPORT_ERROR(kCheckAuthentication, 0);
    Reply("503 authentications are requierd\r\n");
    return;
  }
  // One job at a time: a second would take the job record of the first,
  // whose answer would then never come.
  if (JobRunning()) {
    Reply(kJobRunning);
    return;
  }
  StartJob(SMTP_JOB_LOGIN);
  http_->Login(CHotmailHTTP::FRONT_SMTP);
}

void CHotmailSMTP::Ehlo(const char*) {
  Reply("250-localhost\r\n");
  Reply("250 AUTH PLAIN\r\n");
}

void CHotmailSMTP::Helo(const char*) { Reply("250 localhost\r\n"); }

void CHotmailSMTP::Mail(const char* argument) {
  ClearTransaction();
  http_->senderLine = std::string("MAIL ") + argument + "\r\n";
  Reply(kOk);
  state_ = SessionState::Sender;
}

void CHotmailSMTP::Noop(const char*) { Reply(kOk); }

// The client closes the connection; the next one closes it otherwise.
void CHotmailSMTP::Quit(const char*) {
  state_ = SessionState::Quit;
  Reply("221 localhost Service is closing\r\n");
}

void CHotmailSMTP::Rcpt(const char* argument) {
  if (recipients_ >= kMaxRecipients) {
    Reply("452 Too many recipients\r\n");
    return;
  }
  ++recipients_;
  http_->recipientLines += std::string("RCPT ") + argument + "\r\n";
  Reply(kOk);
  state_ = SessionState::Recipient;
}

void CHotmailSMTP::Rset(const char*) {
  ClearTransaction();
  state_ = SessionState::Idle;
  Reply(kOk);
}

// AUTH PLAIN with its initial response: authorization identity, NUL, user
// name, NUL, password. The credentials are checked by the log-in that DATA
// starts.
void CHotmailSMTP::Auth(const char* argument) {
  if (!StartsWithName(argument, kPlain)) {
    Reply("504 Unrecognized authentications type\r\n");
    return;
  }
  const char* response = argument + strlen(kPlain);
  const size_t length = strlen(response);
  std::vector<char> decoded(length + 1, '\0');
  const std::string_view data(decoded.data(), DecodeBase64(decoded.data(), response, length));
  std::string user = NulPart(data, 1);
  const size_t slash = user.find('/');
  if (slash != std::string::npos) user.erase(slash);
  http_->userName = user;
  http_->password = NulPart(data, 2);
  theLog.Write("[Auth: UserID]\n");
  theLog.Write(http_->userName);
  theLog.Write("[Auth: PassWord]\n");
  theLog.Write(kMaskedPassword);
  Reply(kAuthenticated);
}

size_t CHotmailSMTP::DecodeBase64(char* output, const char* input, size_t length) {
  size_t written = 0;
  unsigned long group = 0;
  int digits = 0;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char value = DigitValue(input[i]);
    if (value == kNoDigit) continue;
    if (value == kPadding) break;
    group = group << 6 | value;
    if (++digits < 4) continue;
    output[written++] = static_cast<char>(group >> 16);
    output[written++] = static_cast<char>(group >> 8);
    output[written++] = static_cast<char>(group);
    group = 0;
    digits = 0;
  }
  // An unfinished group is completed with zero bits; only whole bytes count.
  if (digits >= 2) {
    group <<= 6 * (4 - digits);
    output[written++] = static_cast<char>(group >> 16);
    if (digits == 3) output[written++] = static_cast<char>(group >> 8);
  }
  return written;
}

// --- Message text -------------------------------------------------------

void CHotmailSMTP::AddTextLine(const std::string& line) {
  const bool dotted = !line.empty() && line[0] == '.';
  if (dotted && line.size() == 1) {
    EndText();
    return;
  }
  std::string& text = http_->messageData;
  const size_t length = line.size() - (dotted ? 1 : 0);
  if (oversized_ || text.size() + length + 2 > kMaxMessageSize) {
    if (!oversized_) std::string().swap(text);  // gives the memory back
    oversized_ = true;
    return;
  }
  text.append(line, dotted ? 1 : 0, std::string::npos).append("\r\n");
}

void CHotmailSMTP::EndText() {
  if (oversized_) {
    // The transaction is over; the client may start the next one.
    oversized_ = false;
    ClearTransaction();
    state_ = SessionState::Idle;
    Reply(kTooBig);
    return;
  }
  state_ = SessionState::Submitted;
  SubmitMessage();
}

void CHotmailSMTP::SubmitMessage() {
  http_->recipientLines += "\r\n";
  http_->messageData += "\r\n";
  StartJob(SMTP_JOB_SEND);
  http_->SendMail();
}

// The text of a DATA is only its own: after a message was submitted, a DATA
// without a new MAIL sends the same envelope with the new text, not the
// earlier message with the new one behind it.
void CHotmailSMTP::BeginText() {
  if (state_ == SessionState::Submitted) {
    std::string& recipients = http_->recipientLines;
    if (recipients.size() >= 2) recipients.erase(recipients.size() - 2);  // the empty line of the submission
  }
  http_->messageData.clear();
  oversized_ = false;
  state_ = SessionState::Text;
}

// Gives the memory of the envelope and the text back.
void CHotmailSMTP::ClearTransaction() {
  std::string().swap(http_->senderLine);
  std::string().swap(http_->recipientLines);
  std::string().swap(http_->messageData);
  oversized_ = false;
  recipients_ = 0;
}

// --- Job completions ----------------------------------------------------

void CHotmailSMTP::OnJobDone(WPARAM kind, LPARAM result) {
  if (kind == SMTP_JOB_LOGIN)
    OnLoginDone(result);
  else if (kind == SMTP_JOB_SEND)
    OnSendDone(result);
}

void CHotmailSMTP::OnLoginDone(LPARAM result) {
  // A client that has said QUIT meanwhile gets no text started: it stays
  // in the state that lets the next connection close it.
  if (state_ == SessionState::Quit) return;
  if (result != 207) {
    Reply("535 Authentications failed\r\n");
    return;
  }
  BeginText();
  Reply("354 Start mail input; end with <CRLF>.<CRLF>\r\n");
}

void CHotmailSMTP::OnSendDone(LPARAM result) {
  // The text has gone to the service (or failed to): its memory goes back.
  // A DATA without a new MAIL still reuses the envelope.
  std::string().swap(http_->messageData);
  if (result == 201) {
    Reply(kOk);
    return;
  }
  char reply[96];
  snprintf(reply, sizeof reply, "451 Requested action aborted: Hotmail server returned %03d status\r\n",
           static_cast<int>(result));
  Reply(reply);
}
