#include "HotmailPOP.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/DecimalNumber.h"
#include "config/Log.h"
#include "config/LogMask.h"
#include "config/Settings.h"

namespace {

const char kOk[] = "+OK\r\n";
const char kEnd[] = ".\r\n";
const char kUnknown[] = "-ERR Unknown command\r\n";
const char kNotAuthorizationState[] = "-ERR not authorization state\r\n";
const char kAuthorizationFirst[] = "-ERR authorization first\r\n";
const char kMissingNumber[] = "-ERR missing required message number parameter\r\n";
const char kCannotConnect[] = "-ERR Can't connect to Hotmail server\r\n";
const char kMissingLineCount[] = "-ERR missing required line count parameter\r\n";
const char kJobRunning[] = "-ERR a Hotmail request is still in progress\r\n";
const char kBadUserName[] = "-ERR user name must not contain CR, LF or NUL\r\n";
const char kBadPassword[] = "-ERR password must not contain CR, LF or NUL\r\n";

// A received line as the log shows it: whatever follows a command word that
// begins with PASS is left out, however it is spelt or separated.
std::string LoggedLine(const std::string& line) {
  if (!StartsWithName(line.c_str(), "PASS") || line.size() <= 4) return line;
  return MaskedAfter(std::string_view(line).substr(0, 4));
}

// TOP with a few lines of a large message asks for only its start; when the
// header or the lines go past it, the whole message follows.
constexpr size_t kTopStartBytes = 32 * 1024;
constexpr int kTopStartLines = 100;
constexpr int kStatusRangeNotSatisfiable = 416;
constexpr int kStatusUnauthorized = 401;
const char kNoDeleteTarget[] = "[削除先のフォルダが見つかりません]";

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

// TOP's line count: white space after the message number, a number that
// is not negative, and nothing after it but white space.
bool ReadLineCount(const char* text, int& count) {
  if (!IsBlank(*text)) return false;
  while (IsBlank(*text)) ++text;
  if (*text == '-' || !ReadDecimal(text, count)) return false;
  while (IsBlank(*text)) ++text;
  return *text == '\0';
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

// Where TOP cuts a message text: after its header, the empty line that
// ends it, and at most `lines` lines of the body. Lines end at LF, as for
// the dot-stuffing of a multi-line reply; a text without an empty line is
// all header. A cut after a bare LF leaves the LF out: the reply ends the
// part with CR LF, which would otherwise add an empty line.
struct TopCut {
  size_t length;  // bytes of the text to send
  bool limited;   // the line count ended it, after a complete line
};

TopCut CutForTop(const std::string& text, int lines) {
  size_t at = 0;
  bool inBody = false;
  int bodyLines = 0;
  while (at < text.size() && !(inBody && bodyLines >= lines)) {
    const size_t lf = text.find('\n', at);
    if (lf == std::string::npos) return {text.size(), false};
    if (inBody)
      ++bodyLines;
    else
      inBody = lf == at || (lf == at + 1 && text[at] == '\r');
    at = lf + 1;
  }
  const bool limited = inBody && bodyLines >= lines;
  if (at < text.size() && (at < 2 || text[at - 2] != '\r')) --at;
  return {at, limited};
}

// Whether a message's text as held answers TOP: all of it does; only its
// start does when the lines asked for end inside it.
bool HoldsTop(const CMail& mail, int lines) {
  if (mail.held == CMail::Held::Whole) return true;
  return mail.held == CMail::Held::Start && CutForTop(mail.content, lines).limited;
}

}  // namespace

const CommandEntry<CHotmailPOP> CHotmailPOP::kCommands[12] = {
    {&CHotmailPOP::User, "USER"}, {&CHotmailPOP::Pass, "PASS"}, {&CHotmailPOP::Apop, "APOP"},
    {&CHotmailPOP::Quit, "QUIT"}, {&CHotmailPOP::Noop, "NOOP"}, {&CHotmailPOP::Stat, "STAT"},
    {&CHotmailPOP::List, "LIST"}, {&CHotmailPOP::Retr, "RETR"}, {&CHotmailPOP::Top, "TOP"},
    {&CHotmailPOP::Dele, "DELE"}, {&CHotmailPOP::Rset, "RSET"}, {&CHotmailPOP::Uidl, "UIDL"},
};

CHotmailPOP::CHotmailPOP(CSettings& settings) : settings_(settings) {}

CHotmailPOP::~CHotmailPOP() {}

int CHotmailPOP::ListenPort() const { return settings_.popPortNumber; }

LRESULT CHotmailPOP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_POP_SOCKET) OnSocketEvent(wParam, lParam);
  return 0;
}

// --- Commands -----------------------------------------------------------

void CHotmailPOP::OnConnected() {
  SetState(SessionState::Authorization);
  credentials_ = CCredentials();
  folders_.clear();
  mails_.clear();
}

void CHotmailPOP::DispatchLine(const std::string& line) {
  theLog.Write("[以下のコマンドを Becky から受信しました]\n");
  theLog.Write(LoggedLine(line));  // a log must not hold the password in clear
  lineEnd_ = line.data() + line.size();
  if (!RunCommand(*this, kCommands, line.c_str())) Reply(kUnknown);
  lineEnd_ = nullptr;
}

// A command's argument up to the end of its line: the text a handler is
// given stops at the first NUL.
std::string CHotmailPOP::WholeArgument(const char* argument) const {
  return lineEnd_ != nullptr ? std::string(argument, lineEnd_) : std::string(argument);
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

// One job runs for this server at a time, and the credentials belong to
// the job until it ends; a job of a connection that has gone away counts
// too.
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
  // A user name goes into an HTTP header: one that could end the line is
  // refused here, before it reaches any request.
  const std::string userName = WholeArgument(argument);
  if (!FitsInHeader(userName)) {
    Reply(kBadUserName);
    return;
  }
  credentials_.userName = userName;
  Reply(kOk);
}

void CHotmailPOP::Pass(const char* argument) {
  if (!InAuthorization()) return;
  if (credentials_.userName.empty()) {
    Reply("-ERR USER first\r\n");
    return;
  }
  if (!JobFree()) return;
  const std::string password = WholeArgument(argument);
  if (!FitsInHeader(password)) {
    Reply(kBadPassword);
    return;
  }
  credentials_.password = password;
  StartJob();
  const unsigned serial = ServedConnection();
  // Credentials that discovered their account before need not again; the
  // folder list that follows carries them, so wrong ones still fail there.
  if (service_->Discovered(credentials_)) return ListFolders(serial, true);
  Discover(serial);
}

void CHotmailPOP::Discover(unsigned serial) {
  service_->Discover(credentials_, [this, serial](const MailResult& result) {
    if (!result.Ok() || !Connected(serial)) return EndLogIn(serial, result);
    ListFolders(serial, false);
  });
}

void CHotmailPOP::ListFolders(unsigned serial, bool discoveredBefore) {
  service_->ListFolders(credentials_, [this, serial, discoveredBefore](const MailResult& result,
                                                                       std::vector<CFolder>& folders) {
    // A folder root the service no longer answers for (it moved the
    // account) is found again by discovery.
    if (discoveredBefore && result.RefusedOtherwise() && Connected(serial)) return Discover(serial);
    if (!result.Ok() || !Connected(serial)) return EndLogIn(serial, result);
    bool registered = false;
    for (CFolder& folder : folders) registered = folder.Normalize(settings_) || registered;
    // Folders seen for the first time reach the INI file in one save.
    if (registered) settings_.SaveFolders();
    folders_ = std::move(folders);
    ListMails(serial);
  });
}

// The listings of the folders chosen for download, all asked for at once;
// the messages are numbered in the order of the folders once every listing
// is in. The first failure is the log-in's.
struct CHotmailPOP::Listing {
  std::vector<std::vector<CMail>> parts;
  size_t pending = 1;
  MailResult result = MailResult::Done(207);
};

void CHotmailPOP::ListMails(unsigned serial) {
  auto listing = std::make_shared<Listing>();
  auto end = [this, serial, listing] {
    if (--listing->pending > 0) return;
    if (listing->result.Ok() && Connected(serial)) {
      // A folder of 100,000 messages makes a long list: the first part
      // becomes the list as it is, the others are moved onto its end, and
      // each part is let go at once (no second list beside the parts).
      size_t total = 0;
      for (const std::vector<CMail>& part : listing->parts) total += part.size();
      mails_.clear();
      for (std::vector<CMail>& part : listing->parts) {
        if (mails_.empty()) {
          mails_.swap(part);
          mails_.reserve(total);
        } else {
          std::move(part.begin(), part.end(), std::back_inserter(mails_));
        }
        std::vector<CMail>().swap(part);
      }
      for (size_t i = 0; i < mails_.size(); ++i) {
        mails_[i].ConvertDate();
        mails_[i].number = static_cast<int>(i + 1);
      }
    }
    EndLogIn(serial, listing->result);
  };
  for (const CFolder& folder : folders_) {
    if (!folder.download) continue;
    const size_t index = listing->parts.size();
    listing->parts.emplace_back();
    ++listing->pending;
    service_->ListMails(credentials_, folder, [listing, index, end](const MailResult& result, std::vector<CMail>& mails) {
      if (!result.Ok() && listing->result.Ok()) listing->result = result;
      listing->parts[index].swap(mails);
      end();
    });
  }
  end();
}

void CHotmailPOP::EndLogIn(unsigned serial, const MailResult& result) {
  EndJob(serial, [this, result] {
    if (result.Ok()) {
      Reply(kOk);
      SetState(SessionState::Transaction);
      return;
    }
    if (result.Refused(kStatusUnauthorized))
      Reply("-ERR authentication failure\r\n");
    else if (CheckReachable(result))
      SendStatusError(result);
    // The next PASS needs a new USER.
    credentials_ = CCredentials();
  });
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
  SetState(SessionState::Update);
  StartJob();
  Commit();
}

// Every request of the commit is started at once; the first failure is
// what QUIT reports.
struct CHotmailPOP::Commit {
  size_t pending = 1;
  MailResult result = MailResult::Done(207);
  bool notRemoved = false;
};

void CHotmailPOP::Commit() {
  const unsigned serial = ServedConnection();
  auto commit = std::make_shared<struct Commit>();
  auto settle = [this, serial, commit](const MailResult& result) {
    if (!result.Ok() && commit->result.Ok() && !commit->notRemoved) commit->result = result;
    if (--commit->pending > 0) return;
    EndJob(serial, [this, commit] { OnCommitted(commit->result, commit->notRemoved); });
  };
  const int mode = settings_.deleteMode;
  const bool marked = std::any_of(mails_.begin(), mails_.end(), [](const CMail& mail) { return mail.deleted; });
  // The deleted-items folder is looked for only when something is to go
  // there: a missing one is worth a box only then.
  const int target = mode == 1 && marked ? FindDeleteTarget() : -1;
  for (const CMail& mail : mails_) {
    if (mail.read || !mail.retrieved) continue;
    ++commit->pending;
    service_->SetRead(credentials_, mail, true, settle);
  }
  if (mode == 1 && marked && target < 0) commit->notRemoved = commit->result.Ok();
  for (const CMail& mail : mails_) {
    if (!mail.deleted || (mode == 1 && target < 0) || (mode != 1 && mode != 2)) continue;
    ++commit->pending;
    if (mode == 1)
      service_->MoveAway(credentials_, mail, folders_[static_cast<size_t>(target)], settle);
    else
      service_->Delete(credentials_, mail, settle);
  }
  settle(MailResult::Done(207));
}

// The index of the first folder of the delete target kind, or -1 (reported)
// when there is none.
int CHotmailPOP::FindDeleteTarget() const {
  for (size_t i = 0; i < folders_.size(); ++i)
    if (folders_[i].special == settings_.deleteTarget) return static_cast<int>(i);
  REPORT_ERROR(kNoDeleteTarget, 0);
  return -1;
}

void CHotmailPOP::Noop(const char*) {
  if (!InTransaction()) return;
  Reply(kOk);
}

void CHotmailPOP::Stat(const char*) {
  if (!InTransaction()) return;
  int count = 0;
  long long octets = 0;  // a large mailbox must not wrap to a negative size
  for (const CMail& mail : mails_) {
    if (!Listed(mail)) continue;
    ++count;
    octets += mail.size;
  }
  Reply(Format("+OK %d %lld\r\n", count, octets).c_str());
}

void CHotmailPOP::List(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kOk);
    for (size_t i = 0; i < mails_.size(); ++i)
      if (Listed(mails_[i])) Reply(Format("%d %d\r\n", static_cast<int>(i + 1), mails_[i].size).c_str());
    Reply(kEnd);
    return;
  }
  const int number = LeadingDecimal(argument);
  if (!CheckMessageNumber(number)) return;
  Reply(Format("+OK %d %d\r\n", number, MailAt(number)->size).c_str());
}

void CHotmailPOP::Retr(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kMissingNumber);
    return;
  }
  const int number = LeadingDecimal(argument);
  if (!CheckMessageNumber(number) || !JobFree()) return;
  StartDownload(number, Download::Retr, 0, 0);
}

void CHotmailPOP::Top(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kMissingNumber);
    return;
  }
  const char* rest = argument;
  int number = 0;  // no digits: 0, which names no message
  ReadDecimal(rest, number);
  if (!CheckMessageNumber(number)) return;
  int lines = 0;
  if (!ReadLineCount(rest, lines)) {
    Reply(kMissingLineCount);
    return;
  }
  const CMail* mail = MailAt(number);
  if (HoldsTop(*mail, lines)) {
    SendTop(*mail, lines);
    return;
  }
  // Downloaded as RETR downloads it; only what is sent differs.
  if (!JobFree()) return;
  const bool large = mail->size > 0 && static_cast<size_t>(mail->size) > kTopStartBytes;
  StartDownload(number, Download::Top, lines, large && lines <= kTopStartLines ? kTopStartBytes : 0);
}

void CHotmailPOP::StartDownload(int number, Download kind, int lines, size_t startBytes) {
  download_ = {kind, number, lines, startBytes};
  StartJob();
  const unsigned serial = ServedConnection();
  service_->Fetch(credentials_, *MailAt(number), startBytes,
                  [this, serial](const MailResult& result, std::string& text, CMail::Held held) {
                    EndJob(serial, [&] { OnRetrieved(result, text, held); });
                  });
}

// TOP leaves the retrieved flag alone: only a RETR marks a message read at
// QUIT.
void CHotmailPOP::SendTop(const CMail& mail, int lines) {
  const size_t length = CutForTop(mail.content, lines).length;
  Reply(kOk);
  ReplyMultiLine(mail.content.substr(0, length));
}

void CHotmailPOP::Dele(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kMissingNumber);
    return;
  }
  const int number = LeadingDecimal(argument);
  if (!CheckMessageNumber(number)) return;
  MailAt(number)->deleted = true;
  Reply(kOk);
}

void CHotmailPOP::Rset(const char*) {
  if (!InTransaction()) return;
  for (CMail& mail : mails_) mail.deleted = false;
  Reply(kOk);
}

void CHotmailPOP::Uidl(const char* argument) {
  if (!InTransaction()) return;
  if (*argument == '\0') {
    Reply(kOk);
    for (size_t i = 0; i < mails_.size(); ++i)
      if (Listed(mails_[i])) Reply(std::to_string(i + 1) + " " + UniqueId(mails_[i].id) + "\r\n");
    Reply(kEnd);
    return;
  }
  const int number = LeadingDecimal(argument);
  if (!CheckMessageNumber(number)) return;
  Reply("+OK " + std::to_string(number) + " " + UniqueId(MailAt(number)->id) + "\r\n");
}

bool CHotmailPOP::Listed(const CMail& mail) const {
  return !mail.deleted && !(settings_.onlyNotRead && mail.read);
}

CMail* CHotmailPOP::MailAt(int number) {
  if (number < 1 || static_cast<size_t>(number) > mails_.size()) return nullptr;
  return &mails_[static_cast<size_t>(number) - 1];
}

bool CHotmailPOP::CheckMessageNumber(int number) {
  const size_t count = mails_.size();
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

bool CHotmailPOP::CheckReachable(const MailResult& result) {
  if (!result.Unreachable()) return true;
  Reply(kCannotConnect);
  return false;
}

void CHotmailPOP::SendStatusError(const MailResult& result) {
  Reply(Format("-ERR Hotmail server returned %03d status\r\n", result.status).c_str());
}

void CHotmailPOP::OnRetrieved(const MailResult& result, std::string& text, CMail::Held held) {
  if (result.Refused(kStatusRangeNotSatisfiable) && download_.startBytes > 0) {
    // Only an empty message has no first byte; the whole of it settles that.
    StartDownload(download_.number, download_.kind, download_.lines, 0);
    return;
  }
  if (!CheckReachable(result)) return;
  if (!result.Ok()) {
    SendStatusError(result);
    return;
  }
  CMail* mail = MailAt(download_.number);
  mail->content = std::move(text);
  mail->held = held;
  if (download_.kind == Download::Top) {
    if (!HoldsTop(*mail, download_.lines)) {
      // The start the service sent ends before the lines asked for.
      StartDownload(download_.number, Download::Top, download_.lines, 0);
      return;
    }
    SendTop(*mail, download_.lines);
    return;
  }
  // The output queue sends the text from its own storage and frees it once
  // sent; a later RETR or TOP fetches the message again.
  std::string whole = std::move(mail->content);
  mail->content.clear();
  mail->held = CMail::Held::Nothing;
  Reply(kOk);
  ReplyMultiLine(std::move(whole));
  mail->retrieved = true;
}

void CHotmailPOP::OnCommitted(const MailResult& result, bool notRemoved) {
  if (notRemoved)
    Reply("-ERR some deleted messages not removed\r\n");
  else if (result.Ok())
    Reply(kOk);
  else if (CheckReachable(result))
    SendStatusError(result);
  CloseClient();
}
