#include "HotmailSMTP.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "config/Base64.h"
#include "config/Log.h"
#include "config/LogMask.h"
#include "config/SaslPlain.h"
#include "config/Settings.h"
#include "httpmail/MailService.h"

namespace {

const char kOk[] = "250 ok\r\n";
// Success of AUTH is 235 (RFC 4954): clients that check it, as most do,
// take any other code for a refusal and give up before MAIL.
const char kAuthenticated[] = "235 Authentication successful\r\n";
const char kAuthFailed[] = "535 Authentications failed\r\n";
const char kAlreadyAuthenticated[] = "503 Already authenticated\r\n";
const char kAuthUnavailable[] = "454 Temporary authentication failure\r\n";
const char kAuthCancelled[] = "501 Authentication cancelled\r\n";
const char kBadCredentials[] = "501 User name and password must not contain CR, LF or NUL\r\n";
const char kNoMechanism[] = "504 Unrecognized authentications type\r\n";
const char kUnimplemented[] = "502 unimplemented\r\n";
const char kJobRunning[] = "451 Requested action aborted: a Hotmail request is still in progress\r\n";
const char kTooBig[] = "552 Message size exceeds fixed maximum message size\r\n";
const char kCheckAuthentication[] =
    "「メールボックスの設定」－「詳細」－「SMTP 認証」にチェックを入れてください。";
const char kPlain[] = "PLAIN";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A received command line as the log shows it: for AUTH, only the
// mechanism's name is kept and whatever follows it is left out, however the
// words are separated or run together.
std::string LoggedCommand(const std::string& line) {
  const size_t command = strlen("AUTH");
  if (!StartsWithName(line.c_str(), "AUTH") || line.size() <= command) return line;
  const std::string masked = MaskedAfter("AUTH");
  if (!IsBlank(line[command])) return masked;
  size_t begin = command;
  while (begin < line.size() && IsBlank(line[begin])) ++begin;
  size_t end = begin;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  const std::string mechanism = line.substr(begin, end - begin);
  const bool name = mechanism.size() <= 20 && mechanism.find_first_not_of(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
  if (!name) return masked;
  while (end < line.size() && IsBlank(line[end])) ++end;
  return end < line.size() ? MaskedAfter("AUTH " + mechanism) : "AUTH " + mechanism;
}

}  // namespace

const CommandEntry<CHotmailSMTP> CHotmailSMTP::kCommands[9] = {
    {&CHotmailSMTP::Data, "DATA"}, {&CHotmailSMTP::Ehlo, "EHLO"}, {&CHotmailSMTP::Helo, "HELO"},
    {&CHotmailSMTP::Mail, "MAIL"}, {&CHotmailSMTP::Noop, "NOOP"}, {&CHotmailSMTP::Quit, "QUIT"},
    {&CHotmailSMTP::Rcpt, "RCPT"}, {&CHotmailSMTP::Rset, "RSET"}, {&CHotmailSMTP::Auth, "AUTH"},
};

CHotmailSMTP::CHotmailSMTP(const CSettings& settings) : settings_(settings) {}

CHotmailSMTP::~CHotmailSMTP() {}

int CHotmailSMTP::ListenPort() const { return settings_.smtpPortNumber; }

LRESULT CHotmailSMTP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SMTP_SOCKET) OnSocketEvent(wParam, lParam);
  return 0;
}

// A client that stays connected after QUIT does not keep the next away.
void CHotmailSMTP::BeforeAccept() {
  if (state_ == SessionState::Quit && ClientSocket() != 0) CloseClient();
}

// A new session starts with no transaction and no credentials: nothing
// that an earlier client left half sent can go out with this one's message,
// and nothing goes out in another client's name.
void CHotmailSMTP::OnConnected() {
  SetState(SessionState::Idle);
  ClearTransaction();
  credentials_ = CCredentials();
  checking_ = CCredentials();
  authenticated_ = false;
  awaitingResponse_ = false;
}

// --- Lines and commands -------------------------------------------------

void CHotmailSMTP::DispatchLine(const std::string& line) {
  LogReceived(line);
  if (awaitingResponse_) {
    awaitingResponse_ = false;
    if (line == "*")
      Reply(kAuthCancelled);
    else
      CheckPlainResponse(line);
    return;
  }
  if (state_ == SessionState::Text) {
    AddTextLine(line);
    return;
  }
  if (!RunCommand(*this, kCommands, line.c_str())) Reply(kUnimplemented);
}

// The received line as the log shows it, since a log must not hold a
// password in clear: the credentials of AUTH are left out, and so is the
// whole line that answers a 334.
void CHotmailSMTP::LogReceived(const std::string& line) const {
  if (!theLog.Enabled()) return;  // a text of many lines costs nothing here
  theLog.Write("[以下のコマンドを Becky から受信しました]\n");
  if (awaitingResponse_)
    theLog.Write(kMaskedSecret);
  else if (state_ == SessionState::Text)
    theLog.Write(line);
  else
    theLog.Write(LoggedCommand(line));
}

// Only a connection that has authenticated itself may send, and it sends
// as the account it authenticated as.
void CHotmailSMTP::Data(const char*) {
  if (!authenticated_) {
    REPORT_ERROR(kCheckAuthentication, 0);
    Reply("503 authentications are requierd\r\n");
    return;
  }
  // One job at a time: a send still running holds the text.
  if (JobRunning()) {
    Reply(kJobRunning);
    return;
  }
  BeginText();
  Reply("354 Start mail input; end with <CRLF>.<CRLF>\r\n");
}

void CHotmailSMTP::Ehlo(const char*) {
  Reply("250-localhost\r\n");
  Reply("250 AUTH PLAIN\r\n");
}

void CHotmailSMTP::Helo(const char*) { Reply("250 localhost\r\n"); }

void CHotmailSMTP::Mail(const char* argument) {
  ClearTransaction();
  senderLine_ = std::string("MAIL ") + argument + "\r\n";
  Reply(kOk);
  SetState(SessionState::Sender);
}

void CHotmailSMTP::Noop(const char*) { Reply(kOk); }

// The client closes the connection; the next one closes it otherwise.
void CHotmailSMTP::Quit(const char*) {
  SetState(SessionState::Quit);
  Reply("221 localhost Service is closing\r\n");
}

void CHotmailSMTP::Rcpt(const char* argument) {
  if (recipients_ >= kMaxRecipients) {
    Reply("452 Too many recipients\r\n");
    return;
  }
  ++recipients_;
  recipientLines_ += std::string("RCPT ") + argument + "\r\n";
  Reply(kOk);
  SetState(SessionState::Recipient);
}

void CHotmailSMTP::Rset(const char*) {
  ClearTransaction();
  SetState(SessionState::Idle);
  Reply(kOk);
}

// AUTH PLAIN, with its initial response or, without one, a 334 and the
// response on the next line: authorization identity, NUL, user name, NUL,
// password.
void CHotmailSMTP::Auth(const char* argument) {
  // A connection authenticates once (RFC 4954): a second AUTH could only
  // change whose mail it sends.
  if (authenticated_) {
    Reply(kAlreadyAuthenticated);
    return;
  }
  const char* rest = argument + strlen(kPlain);
  if (!StartsWithName(argument, kPlain) || (*rest != '\0' && *rest != ' ')) {
    Reply(kNoMechanism);
    return;
  }
  // A log-in job running would leave the first AUTH unanswered.
  if (JobRunning()) {
    Reply(kJobRunning);
    return;
  }
  while (*rest == ' ') ++rest;
  if (*rest == '\0') {
    awaitingResponse_ = true;
    Reply("334 \r\n");
    return;
  }
  CheckPlainResponse(rest);
}

// Decodes a PLAIN response and starts the log-in job that checks it with
// the service. Until the job has succeeded the connection is not
// authenticated, whatever it was before.
void CHotmailSMTP::CheckPlainResponse(const std::string& response) {
  authenticated_ = false;
  credentials_ = CCredentials();
  const SaslPlain plain = SaslPlain::Split(DecodeBase64Loosely(response));
  const std::string& authorization = plain.authorization;
  std::string user = plain.user;
  const std::string& password = plain.password;
  // A third NUL is a NUL in the password; CR or LF in either would end the
  // HTTP header they go into.
  const bool nulInPassword = plain.separators > 2;
  if (nulInPassword || !FitsInHeader(user) || !FitsInHeader(password)) {
    Reply(kBadCredentials);
    return;
  }
  const size_t slash = user.find('/');
  if (slash != std::string::npos) user.erase(slash);
  theLog.Write("[Auth: UserID]\n");
  theLog.Write(user);
  theLog.Write("[Auth: PassWord]\n");
  theLog.Write(kMaskedSecret);
  // No account has no name, and no account may act as another: nothing to
  // ask the service.
  if (user.empty() || (!authorization.empty() && authorization != plain.user)) {
    Reply(kAuthFailed);
    return;
  }
  checking_ = CCredentials{user, password};
  StartJob();
  // The service is asked every time: it is the only check of them.
  const unsigned serial = ServedConnection();
  service_->Discover(checking_, [this, serial](const MailResult& result) {
    EndJob(serial, [&] { OnLoginDone(result); });
  });
}

// --- Message text -------------------------------------------------------

void CHotmailSMTP::AddTextLine(const std::string& line) {
  const bool dotted = !line.empty() && line[0] == '.';
  if (dotted && line.size() == 1) {
    EndText();
    return;
  }
  const size_t length = line.size() - (dotted ? 1 : 0);
  if (oversized_ || bodySize_ - textStart_ + length + 2 > kMaxMessageSize) {
    if (!oversized_) ClearBody();  // gives the memory back
    oversized_ = true;
    return;
  }
  if (postBody_.size() + length + 2 > kBodyPiece && !postBody_.empty()) {
    bodyPieces_.push_back(std::move(postBody_));
    postBody_ = std::string();
    postBody_.reserve(kBodyPiece);
  }
  postBody_.append(line, dotted ? 1 : 0, std::string::npos).append("\r\n");
  bodySize_ += length + 2;
}

// The pieces joined into one body, each freed once copied and its memory
// given back at once, so the text is never held twice.
std::string CHotmailSMTP::TakeBody() {
  std::string body;
  if (bodyPieces_.empty()) {
    body = std::move(postBody_);
  } else {
    body.reserve(bodySize_ + 2);
    for (std::string& piece : bodyPieces_) {
      body.append(piece);
      std::string().swap(piece);
      HeapCompact(GetProcessHeap(), 0);
    }
    body.append(postBody_);
  }
  ClearBody();
  body.append("\r\n");
  return body;
}

void CHotmailSMTP::ClearBody() {
  std::vector<std::string>().swap(bodyPieces_);
  std::string().swap(postBody_);
  bodySize_ = 0;
  textStart_ = 0;
}

void CHotmailSMTP::EndText() {
  if (oversized_) {
    // The transaction is over; the client may start the next one.
    oversized_ = false;
    ClearTransaction();
    SetState(SessionState::Idle);
    Reply(kTooBig);
    return;
  }
  SetState(SessionState::Submitted);
  SubmitMessage();
}

std::string CHotmailSMTP::MessageBody() const {
  if (bodySize_ == 0) return senderLine_ + recipientLines_ + "\r\n\r\n";
  std::string body;
  for (const std::string& piece : bodyPieces_) body += piece;
  return body + postBody_ + "\r\n";
}

// The envelope stays with the connection until the next MAIL or RSET; the
// body built from it and the text goes to the send job, with this
// connection's credentials.
void CHotmailSMTP::SubmitMessage() {
  StartJob();
  Post(TakeBody());
}

void CHotmailSMTP::Post(std::string body) {
  const unsigned serial = ServedConnection();
  service_->Send(credentials_, std::move(body), [this, serial](const MailResult& result) {
    EndJob(serial, [&] { OnSendDone(result); });
  });
}

// The text of a DATA is only its own: after a message was submitted, a DATA
// without a new MAIL sends the same envelope with the new text.
void CHotmailSMTP::BeginText() {
  ClearBody();
  // Memory the heap keeps for reuse (an earlier message's) goes back first:
  // the new text and its joined copy are not held on top of it.
  HeapCompact(GetProcessHeap(), 0);
  postBody_ = senderLine_ + recipientLines_ + "\r\n";
  bodySize_ = textStart_ = postBody_.size();
  oversized_ = false;
  SetState(SessionState::Text);
}

// Gives the memory of the envelope and the text back.
void CHotmailSMTP::ClearTransaction() {
  std::string().swap(senderLine_);
  std::string().swap(recipientLines_);
  ClearBody();
  oversized_ = false;
  recipients_ = 0;
}

// --- Job completions ----------------------------------------------------

// The answer to AUTH: the service took the credentials (235), refused them
// (535), or could not tell (454). A client that has said QUIT meanwhile is
// not answered.
void CHotmailSMTP::OnLoginDone(const MailResult& result) {
  const CCredentials checked = checking_;
  checking_ = CCredentials();
  if (state_ == SessionState::Quit) return;
  if (result.Ok()) {
    credentials_ = checked;
    authenticated_ = true;
    Reply(kAuthenticated);
  } else {
    Reply(result.Refused(401) ? kAuthFailed : kAuthUnavailable);
  }
}

// A refusal that the same upload cannot overcome is permanent (554), so the
// client does not retry it for days; the rest may pass later (451).
void CHotmailSMTP::OnSendDone(const MailResult& result) {
  // The text went with the send job; a DATA without a new MAIL still
  // reuses the envelope.
  if (result.Ok()) {
    Reply(kOk);
    return;
  }
  const char* code = result.PermanentRefusal() ? "554" : "451";
  char reply[96];
  snprintf(reply, sizeof reply, "%s Requested action aborted: Hotmail server returned %03d status\r\n", code,
           result.Unreachable() ? -1 : result.status);
  Reply(reply);
}
