#include "imap/ImapSession.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <set>

#include "config/Base64.h"
#include "config/LogMask.h"
#include "imap/ImapBody.h"
#include "imap/ImapSearch.h"
#include "imap/ImapWriter.h"
#include "imap/MailboxName.h"

namespace {

constexpr unsigned kNotAuthenticated = 1u << static_cast<int>(CImapSession::State::NotAuthenticated);
constexpr unsigned kAuthenticated = 1u << static_cast<int>(CImapSession::State::Authenticated);
constexpr unsigned kSelected = 1u << static_cast<int>(CImapSession::State::Selected);
constexpr unsigned kAny = kNotAuthenticated | kAuthenticated | kSelected;
constexpr unsigned kLoggedIn = kAuthenticated | kSelected;

const char kDelimiter[] = "/";
// A message up to this size stays in memory for the next FETCH of it.
constexpr size_t kLargestKeptMessage = 1024 * 1024;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// "*" any text, "%" any text without the hierarchy delimiter. Matched row by
// row over the name, so a pattern of many wildcards costs its length times
// the name's, never a search through every way to split the name.
bool Matches(const std::string& pattern, const std::string& name) {
  // matched[j]: the pattern so far matches the first j characters of name.
  std::vector<char> matched(name.size() + 1, 0), next(name.size() + 1, 0);
  matched[0] = 1;
  for (char p : pattern) {
    if (p == '*' || p == '%') {
      next[0] = matched[0];
      for (size_t j = 1; j <= name.size(); ++j) {
        next[j] = matched[j] || (next[j - 1] && (p == '*' || name[j - 1] != kDelimiter[0]));
      }
    } else {
      next[0] = 0;
      for (size_t j = 1; j <= name.size(); ++j) next[j] = matched[j - 1] && name[j - 1] == p;
    }
    matched.swap(next);
  }
  return matched[name.size()] != 0;
}

std::string InternalDate(int64_t seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(seconds);
  struct tm tm = *gmtime(&t);
  char text[40];
  snprintf(text, sizeof text, "\"%02d-%s-%04d %02d:%02d:%02d +0000\"", tm.tm_mday, kMonths[tm.tm_mon],
           tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

// A set of UIDs in the short form "1:3,7".
std::string UidSet(const std::vector<uint32_t>& uids) {
  std::string out;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ",";
    out += std::to_string(uids[i]);
    if (j > i) out += ":" + std::to_string(uids[j]);
    i = j + 1;
  }
  return out;
}

bool NeedsText(const ImapFetchItem& item) {
  using K = ImapFetchItem::Kind;
  return item.kind == K::Envelope || item.kind == K::BodyStructure || item.kind == K::Body ||
         item.kind == K::BodySection || item.kind == K::Rfc822 || item.kind == K::Rfc822Header ||
         item.kind == K::Rfc822Text;
}

// Expunged: carried out now, or by another session before (the service
// no longer has it, which is what was asked).
bool Gone(BackendResult result) { return result == BackendResult::Ok || result == BackendResult::NotFound; }

bool SetsSeen(const ImapFetchItem& item) {
  using K = ImapFetchItem::Kind;
  return (item.kind == K::BodySection && !item.peek) || item.kind == K::Rfc822 || item.kind == K::Rfc822Text;
}

// A command as the log shows it. Only a command of the table that carries
// no secret is shown whole; a log-in, and any text that is not such a
// command, only up to its name as parsed (the tag alone could be a password
// sent where a command was expected).
std::string LoggedCommand(const std::string& text, bool parsed, const std::string& tag, const std::string& name,
                          bool known) {
  if (name.empty()) return kMaskedSecret;
  if (parsed && known && name != "LOGIN" && name != "AUTHENTICATE") return text;
  return MaskedAfter(tag + " " + name);
}

}  // namespace

struct CImapSession::FetchJob {
  std::string tag;
  bool uid = false;
  std::vector<ImapFetchItem> items;
  std::vector<size_t> indexes;  // into the selected folder's messages
  std::vector<uint32_t> uidsLeft;  // the messages by UID: an index may move meanwhile
  size_t next = 0;
  bool failed = false;
};

struct CImapSession::SearchJob {
  std::string tag;
  bool uid = false;
  ImapSearchKey key;
  std::vector<uint32_t> uids;  // the folder's messages when the search began
  size_t next = 0;
  std::string found;
  bool failed = false;
};

struct CImapSession::StoreJob {
  std::string tag;
  bool silent = false;
  bool uid = false;
  std::string folderId;
  std::vector<uint32_t> touched;
  std::vector<std::pair<uint32_t, bool>> pending;  // UID, read flag wanted
  size_t next = 0;
  bool failed = false;
};

struct CImapSession::TransferJob {
  enum class Kind { Copy, Move, Expunge, Close };
  Kind kind;
  std::string tag;
  std::vector<uint32_t> uids;
  size_t next = 0;
  Mailbox destination;
  std::vector<uint32_t> doneSource;
  std::vector<uint32_t> doneDestination;
  std::vector<std::string> expunged;
  bool failed = false;
};

const CImapSession::Entry CImapSession::kCommands[] = {
    {"CAPABILITY", kAny, &CImapSession::Capability},
    {"NOOP", kAny, &CImapSession::Noop},
    {"LOGOUT", kAny, &CImapSession::Logout},
    {"LOGIN", kNotAuthenticated, &CImapSession::Login},
    {"AUTHENTICATE", kNotAuthenticated, &CImapSession::Authenticate},
    {"ID", kAny, &CImapSession::Id},
    {"ENABLE", kLoggedIn, &CImapSession::Enable},
    {"NAMESPACE", kLoggedIn, &CImapSession::Namespace},
    {"SELECT", kLoggedIn, &CImapSession::Select},
    {"EXAMINE", kLoggedIn, &CImapSession::Select},
    {"LIST", kLoggedIn, &CImapSession::List},
    {"LSUB", kLoggedIn, &CImapSession::List},
    {"STATUS", kLoggedIn, &CImapSession::Status},
    {"SUBSCRIBE", kLoggedIn, &CImapSession::Subscribe},
    {"UNSUBSCRIBE", kLoggedIn, &CImapSession::Subscribe},
    {"CREATE", kLoggedIn, &CImapSession::Refuse},
    {"DELETE", kLoggedIn, &CImapSession::Refuse},
    {"RENAME", kLoggedIn, &CImapSession::Refuse},
    {"APPEND", kLoggedIn, &CImapSession::Append},
    {"IDLE", kLoggedIn, &CImapSession::Idle},
    {"CHECK", kSelected, &CImapSession::Noop},
    {"CLOSE", kSelected, &CImapSession::Close},
    {"UNSELECT", kSelected, &CImapSession::Unselect},
    {"EXPUNGE", kSelected, &CImapSession::Expunge},
    {"UID EXPUNGE", kSelected, &CImapSession::Expunge},
    {"SEARCH", kSelected, &CImapSession::Search},
    {"UID SEARCH", kSelected, &CImapSession::Search},
    {"FETCH", kSelected, &CImapSession::Fetch},
    {"UID FETCH", kSelected, &CImapSession::Fetch},
    {"STORE", kSelected, &CImapSession::Store},
    {"UID STORE", kSelected, &CImapSession::Store},
    {"COPY", kSelected, &CImapSession::Copy},
    {"UID COPY", kSelected, &CImapSession::Copy},
    {"MOVE", kSelected, &CImapSession::Move},
    {"UID MOVE", kSelected, &CImapSession::Move},
};

CImapSession::CImapSession(CImapBackend& backend, CUidStore& uids, Hooks hooks, DeleteMode deleteMode, Limits limits)
    : backend_(backend),
      uids_(uids),
      hooks_(std::move(hooks)),
      deleteMode_(deleteMode),
      reader_(limits.maxLine, limits.maxLiteral, limits.maxCommand),
      life_(std::make_shared<int>(0)) {}

CImapSession::~CImapSession() {}

const char* CImapSession::Capabilities() {
  return "IMAP4rev1 LITERAL+ SASL-IR AUTH=PLAIN ID ENABLE IDLE NAMESPACE UIDPLUS MOVE UNSELECT CHILDREN "
         "SPECIAL-USE";
}

template <typename F>
auto CImapSession::Guard(F f) {
  std::weak_ptr<int> alive = life_;
  return [alive, f](auto&&... args) {
    if (alive.expired()) return;
    f(std::forward<decltype(args)>(args)...);
  };
}

// Downloads one message's text for a FETCH or SEARCH job, keeps it, and
// goes on with `next`; a message that cannot be had counts as failed and is
// passed over. The folder closed meanwhile ends the job.
template <typename Job, typename Next>
void CImapSession::DownloadText(const std::shared_ptr<Job>& job, const std::string& id, Next next) {
  const std::string folderId = selected_->FolderId();
  backend_.FetchMessage(credentials_, folderId, id,
                        Guard([this, job, id, folderId, next](BackendResult result, const std::string& text) {
                          if (!selected_ || selected_->FolderId() != folderId) {
                            Tagged(job->tag, "NO The folder was closed");
                            return Finish();
                          }
                          if (result == BackendResult::Ok) {
                            KeepText(id, text);
                          } else {
                            job->failed = true;
                            ++job->next;
                          }
                          next();
                        }));
}

void CImapSession::SetState(State state) { state_ = state; }

void CImapSession::Send(const std::string& text) {
  if (hooks_.send) hooks_.send(text);
}

void CImapSession::Tagged(const std::string& tag, const std::string& text) { Send(tag + " " + text + "\r\n"); }

void CImapSession::Log(const std::string& text) const {
  if (hooks_.log) hooks_.log(text);
}

void CImapSession::Start() {
  Send(std::string("* OK [CAPABILITY ") + Capabilities() + "] IMAP4rev1 server ready\r\n");
}

void CImapSession::Receive(const char* data, size_t size) {
  if (state_ == State::Logout) return;
  reader_.Feed(data, size);
  ProcessInput();
}

void CImapSession::Finish() {
  running_ = false;
  ProcessInput();
}

void CImapSession::ProcessInput() {
  if (processing_) return;
  processing_ = true;
  std::string text;
  while (!running_ && state_ != State::Logout) {
    CImapCommandReader::Next next = reader_.Poll(text);
    if (next == CImapCommandReader::Next::None) break;
    if (next == CImapCommandReader::Next::Continuation) {
      Send("+ Ready for literal data\r\n");
    } else if (next == CImapCommandReader::Next::TooLong) {
      std::string tag, name, error;
      std::vector<ImapArg> args;
      CImapParser::ParseCommand(text.substr(0, text.find(' ', text.find(' ') + 1)), tag, name, args, error);
      Log(idling_ || !authTag_.empty() ? std::string(kMaskedSecret) : LoggedCommand(text, false, tag, name, false));
      if (idling_ || !authTag_.empty()) tag = idling_ ? idleTag_ : authTag_;
      idling_ = false;
      authTag_.clear();
      afterRefusal_ = true;
      Tagged(tag, "BAD Command line too long");
    } else {
      Dispatch(text);
    }
  }
  processing_ = false;
}

void CImapSession::Dispatch(const std::string& text) {
  const bool afterRefusal = afterRefusal_;
  afterRefusal_ = false;
  if (idling_) {
    idling_ = false;
    if (Upper(text) == "DONE") {
      Log(text);
      Tagged(idleTag_, "OK IDLE terminated");
    } else {
      Log(kMaskedSecret);
      Tagged(idleTag_, "BAD Expected DONE");
    }
    return;
  }
  if (!authTag_.empty()) {
    Log(kMaskedSecret);
    std::string tag;
    tag.swap(authTag_);
    AuthenticateResponse(tag, text);
    return;
  }
  Command c;
  std::string error;
  const bool parsed = CImapParser::ParseCommand(text, c.tag, c.name, c.args, error);
  const Entry* entry = nullptr;
  for (const Entry& e : kCommands) {
    if (c.name == e.name) entry = &e;
  }
  Log(LoggedCommand(text, parsed, c.tag, c.name, entry != nullptr));
  // What follows a refused literal and is no command is taken for that
  // literal: the reply does not repeat it as a tag.
  if (afterRefusal && (!parsed || entry == nullptr)) c.tag = "*";
  if (!parsed) return Tagged(c.tag, "BAD " + error);
  if (entry == nullptr) return Tagged(c.tag, "BAD Unknown command");
  c.uid = c.name.compare(0, 4, "UID ") == 0;
  if ((entry->states & (1u << static_cast<int>(state_))) == 0) {
    return Tagged(c.tag, state_ == State::NotAuthenticated ? "BAD Log in first" : "BAD Not valid in this state");
  }
  // What other sessions stored is told before each command works.
  if (selected_) for (const std::string& line : selected_->SyncFlags()) Send(line);
  (this->*entry->handler)(c);
}

// --- Any state ------------------------------------------------------------

void CImapSession::Capability(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  Send(std::string("* CAPABILITY ") + Capabilities() + "\r\n");
  Tagged(c.tag, "OK CAPABILITY completed");
}

void CImapSession::Noop(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  if (state_ != State::Selected) return Tagged(c.tag, "OK " + c.name + " completed");
  running_ = true;
  std::string tag = c.tag, name = c.name;
  Relist(false, [this, tag, name](bool ok, std::vector<std::string> announce) {
    for (const std::string& line : announce) Send(line);
    Tagged(tag, ok ? "OK " + name + " completed" : "NO [UNAVAILABLE] The folder could not be listed");
    Finish();
  });
}

void CImapSession::Logout(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  Send("* BYE Logging out\r\n");
  Tagged(c.tag, "OK LOGOUT completed");
  SetState(State::Logout);
  selected_.reset();
  if (hooks_.close) hooks_.close();
}

void CImapSession::Id(Command& c) {
  if (c.args.size() != 1) return Tagged(c.tag, "BAD ID takes one argument");
  Send("* ID (\"name\" \"Kestrelon\")\r\n");
  Tagged(c.tag, "OK ID completed");
}

// --- Logging in -------------------------------------------------------------

void CImapSession::Login(Command& c) {
  if (c.args.size() != 2 || !c.args[0].IsAstring() || !c.args[1].IsAstring()) {
    return Tagged(c.tag, "BAD LOGIN takes a user name and a password");
  }
  LogIn(c.tag, {c.args[0].text, c.args[1].text});
}

void CImapSession::Authenticate(Command& c) {
  if (c.args.empty() || c.args.size() > 2 || c.args[0].kind != ImapArg::Kind::Atom) {
    return Tagged(c.tag, "BAD AUTHENTICATE takes a mechanism and an optional initial response");
  }
  if (!c.args[0].IsAtom("PLAIN")) return Tagged(c.tag, "NO Unsupported authentication mechanism");
  if (c.args.size() == 2) {
    // SASL-IR: "=" stands for an empty response.
    AuthenticateResponse(c.tag, c.args[1].text == "=" ? "" : c.args[1].text);
    return;
  }
  authTag_ = c.tag;
  Send("+ \r\n");
}

void CImapSession::AuthenticateResponse(const std::string& tag, const std::string& base64) {
  if (base64 == "*") return Tagged(tag, "BAD AUTHENTICATE cancelled");
  std::string plain;
  if (!DecodeBase64(base64, plain)) return Tagged(tag, "BAD Invalid base64 data");
  size_t first = plain.find('\0');
  size_t second = first == std::string::npos ? first : plain.find('\0', first + 1);
  if (second == std::string::npos || plain.find('\0', second + 1) != std::string::npos) {
    return Tagged(tag, "BAD Invalid PLAIN response");
  }
  std::string authz = plain.substr(0, first);
  ImapCredentials credentials{plain.substr(first + 1, second - first - 1), plain.substr(second + 1)};
  if (!authz.empty() && authz != credentials.userName) {
    return Tagged(tag, "NO [AUTHORIZATIONFAILED] Cannot act as another user");
  }
  LogIn(tag, credentials);
}

void CImapSession::LogIn(const std::string& tag, const ImapCredentials& credentials) {
  if (credentials.userName.empty()) return Tagged(tag, "NO [AUTHENTICATIONFAILED] Authentication failed");
  // CR or LF would end the HTTP header they go into, NUL would cut them short.
  static const char kUnsafe[] = {'\r', '\n', '\0'};
  const std::string unsafe(kUnsafe, sizeof kUnsafe);
  if (credentials.userName.find_first_of(unsafe) != std::string::npos ||
      credentials.password.find_first_of(unsafe) != std::string::npos) {
    return Tagged(tag, "BAD User name and password must not contain CR, LF or NUL");
  }
  running_ = true;
  backend_.Login(credentials, Guard([this, tag, credentials](BackendResult result) {
    if (result == BackendResult::Ok) {
      credentials_ = credentials;
      mailboxes_.clear();
      SetState(State::Authenticated);
      Tagged(tag, std::string("OK [CAPABILITY ") + Capabilities() + "] Logged in");
    } else if (result == BackendResult::AuthFailed) {
      Tagged(tag, "NO [AUTHENTICATIONFAILED] Authentication failed");
    } else {
      Tagged(tag, "NO [UNAVAILABLE] The mail service cannot be reached");
    }
    Finish();
  }));
}

// --- Authenticated state ----------------------------------------------------

void CImapSession::Enable(Command& c) {
  if (c.args.empty()) return Tagged(c.tag, "BAD ENABLE takes capability names");
  Send("* ENABLED\r\n");
  Tagged(c.tag, "OK ENABLE completed");
}

void CImapSession::Namespace(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  Send(std::string("* NAMESPACE ((\"\" \"") + kDelimiter + "\")) NIL NIL\r\n");
  Tagged(c.tag, "OK NAMESPACE completed");
}

void CImapSession::WithFolders(std::function<void(bool)> then) {
  backend_.ListFolders(credentials_, Guard([this, then](BackendResult result,
                                                          const std::vector<ImapFolderInfo>& folders) {
    if (result != BackendResult::Ok) return then(false);
    mailboxes_.clear();
    for (const ImapFolderInfo& folder : folders) {
      Mailbox mailbox{folder.kind == "inbox" ? "INBOX" : CMailboxName::FromUtf8(folder.displayName), folder};
      if (mailbox.name.empty()) mailbox.name = folder.id;
      mailboxes_.push_back(mailbox);
    }
    NameApart(mailboxes_);
    then(true);
  }));
}

// Two folders must never answer to one name, and a name must not pass to
// another folder when the listing's order changes: every folder of a shared
// name is told apart by its id and none keeps the bare name; of several
// inboxes, the one of the lowest id is INBOX.
void CImapSession::NameApart(std::vector<Mailbox>& mailboxes) {
  const Mailbox* inbox = nullptr;
  for (const Mailbox& m : mailboxes) {
    if (m.name == "INBOX" && (inbox == nullptr || m.folder.id < inbox->folder.id)) inbox = &m;
  }
  // A name made with an id may meet another folder's own: a few rounds.
  for (int round = 0; round < 3; ++round) {
    std::map<std::string, std::set<std::string>> ids;  // name -> the folders that have it
    for (const Mailbox& m : mailboxes) ids[m.name].insert(m.folder.id);
    bool renamed = false;
    for (Mailbox& m : mailboxes) {
      if (&m == inbox) continue;
      if (ids[m.name].size() > 1 || Upper(m.name) == "INBOX") {
        m.name += " [" + m.folder.id + "]";
        renamed = true;
      }
    }
    if (!renamed) break;
  }
}

const CImapSession::Mailbox* CImapSession::FindMailbox(const std::string& name) const {
  std::string wanted = Upper(name) == "INBOX" ? "INBOX" : name;
  for (const Mailbox& mailbox : mailboxes_) {
    if (mailbox.name == wanted) return &mailbox;
  }
  return nullptr;
}

const CImapSession::Mailbox* CImapSession::FindKind(const char* kind) const {
  for (const Mailbox& mailbox : mailboxes_) {
    if (mailbox.folder.kind == kind) return &mailbox;
  }
  return nullptr;
}

void CImapSession::Select(Command& c) {
  if (c.args.size() != 1 || !c.args[0].IsAstring()) return Tagged(c.tag, "BAD " + c.name + " takes a mailbox name");
  // A failed SELECT leaves no folder selected.
  selected_.reset();
  SetState(State::Authenticated);
  running_ = true;
  std::string tag = c.tag, name = c.args[0].text;
  bool readOnly = c.name == "EXAMINE";
  WithFolders([this, tag, name, readOnly](bool ok) {
    const Mailbox* mailbox = ok ? FindMailbox(name) : nullptr;
    if (mailbox == nullptr) {
      Tagged(tag, ok ? "NO [NONEXISTENT] No such mailbox" : "NO [UNAVAILABLE] The folder list could not be read");
      return Finish();
    }
    const CUidStore::FolderRecord& record = uids_.Folder(credentials_.userName, mailbox->folder.id);
    selected_.reset(new CImapMailbox(mailbox->folder.id, mailbox->name, readOnly, record.validity));
    if (hooks_.flags) {
      selected_->ShareFlags(hooks_.flags(credentials_.userName + "\n" + mailbox->folder.id, record.validity));
    }
    Relist(true, [this, tag, readOnly](bool ok, std::vector<std::string>) {
      if (!ok) {
        selected_.reset();
        Tagged(tag, "NO [UNAVAILABLE] The folder could not be listed");
        return Finish();
      }
      SetState(State::Selected);
      const auto& messages = selected_->Messages();
      Send("* FLAGS " + selected_->FlagList() + "\r\n");
      Send("* OK [PERMANENTFLAGS (\\Seen)] Only \\Seen is kept on the service\r\n");
      Send("* " + std::to_string(messages.size()) + " EXISTS\r\n* " + std::to_string(selected_->Recent()) +
           " RECENT\r\n");
      for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].info.read) continue;
        Send("* OK [UNSEEN " + std::to_string(i + 1) + "] First unseen\r\n");
        break;
      }
      Send("* OK [UIDVALIDITY " + std::to_string(selected_->UidValidity()) + "] UIDs valid\r\n");
      Send("* OK [UIDNEXT " + std::to_string(selected_->UidNext()) + "] Predicted next UID\r\n");
      Tagged(tag, readOnly ? "OK [READ-ONLY] EXAMINE completed" : "OK [READ-WRITE] SELECT completed");
      Finish();
    });
  });
}

void CImapSession::Relist(bool initial, std::function<void(bool, std::vector<std::string>)> then) {
  std::string folderId = selected_->FolderId();
  backend_.ListMessages(credentials_, folderId, Guard([this, then, folderId, initial](BackendResult result,
                                                                             const std::vector<ImapMessageInfo>& list) {
    if (result != BackendResult::Ok || !selected_ || selected_->FolderId() != folderId) {
      return then(false, {});
    }
    std::vector<std::string> ids;
    for (const ImapMessageInfo& message : list) ids.push_back(message.id);
    std::vector<uint32_t> uids;
    if (uids_.Assign(credentials_.userName, folderId, ids, uids)) uids_.Save();
    const CUidStore::FolderRecord& record = uids_.Folder(credentials_.userName, folderId);
    if (record.validity != selected_->UidValidity()) {
      // The record was started over: the client's UIDs mean nothing now.
      Send("* BYE The folder's UIDs were reset; select it again\r\n");
      SetState(State::Logout);
      if (hooks_.close) hooks_.close();
      return;
    }
    std::vector<std::string> announce;
    size_t recentBefore = selected_->Recent();
    selected_->Merge(list, uids, record.next, initial ? nullptr : &announce);
    uint32_t claimed = hooks_.recent ? hooks_.recent(credentials_.userName + "\n" + folderId,
                                                     selected_->LargestUid(), !selected_->ReadOnly())
                                     : UINT32_MAX;
    size_t recent = selected_->MarkRecent(claimed);
    if (!initial && recent != recentBefore) announce.push_back("* " + std::to_string(recent) + " RECENT\r\n");
    then(true, announce);
  }));
}

void CImapSession::List(Command& c) {
  size_t count = c.args.size();
  bool returnOptions = count == 4 && c.args[2].IsAtom("RETURN") && c.args[3].kind == ImapArg::Kind::List;
  if ((count != 2 && !returnOptions) || !c.args[0].IsAstring() || !c.args[1].IsAstring()) {
    return Tagged(c.tag, "BAD " + c.name + " takes a reference and a mailbox pattern");
  }
  std::string tag = c.tag, name = c.name, pattern = c.args[0].text + c.args[1].text;
  if (c.args[1].text.empty()) {
    Send("* " + name + " (\\Noselect) \"" + kDelimiter + "\" \"\"\r\n");
    return Tagged(tag, "OK " + name + " completed");
  }
  running_ = true;
  WithFolders([this, tag, name, pattern](bool ok) {
    if (!ok) {
      Tagged(tag, "NO [UNAVAILABLE] The folder list could not be read");
      return Finish();
    }
    for (const Mailbox& mailbox : mailboxes_) {
      bool match = Matches(pattern, mailbox.name) ||
                   (mailbox.name == "INBOX" && Upper(pattern) == "INBOX");
      if (!match) continue;
      std::string attributes = "\\HasNoChildren";
      const char* use = CMailboxName::SpecialUse(mailbox.folder.kind);
      if (*use != '\0') attributes += std::string(" ") + use;
      Send("* " + name + " (" + attributes + ") \"" + kDelimiter + "\" " + CImapWriter::Astring(mailbox.name) +
           "\r\n");
    }
    Tagged(tag, "OK " + name + " completed");
    Finish();
  });
}

void CImapSession::Status(Command& c) {
  if (c.args.size() != 2 || !c.args[0].IsAstring() || c.args[1].kind != ImapArg::Kind::List ||
      c.args[1].list.empty()) {
    return Tagged(c.tag, "BAD STATUS takes a mailbox name and a list of items");
  }
  std::vector<std::string> items;
  for (const ImapArg& item : c.args[1].list) {
    std::string upper = Upper(item.text);
    if (item.kind != ImapArg::Kind::Atom || (upper != "MESSAGES" && upper != "UNSEEN" && upper != "UIDNEXT" &&
                                             upper != "UIDVALIDITY" && upper != "RECENT")) {
      return Tagged(c.tag, "BAD Unknown STATUS item");
    }
    items.push_back(upper);
  }
  running_ = true;
  std::string tag = c.tag, name = c.args[0].text;
  WithFolders([this, tag, name, items](bool ok) {
    const Mailbox* mailbox = ok ? FindMailbox(name) : nullptr;
    if (mailbox == nullptr) {
      Tagged(tag, ok ? "NO [NONEXISTENT] No such mailbox" : "NO [UNAVAILABLE] The folder list could not be read");
      return Finish();
    }
    std::string folderId = mailbox->folder.id, shown = mailbox->name;
    backend_.ListMessages(credentials_, folderId, Guard([this, tag, items, folderId, shown](
                                                            BackendResult result, const std::vector<ImapMessageInfo>& list) {
      if (result != BackendResult::Ok) {
        Tagged(tag, "NO [UNAVAILABLE] The folder could not be listed");
        return Finish();
      }
      std::vector<std::string> ids;
      size_t unseen = 0;
      for (const ImapMessageInfo& message : list) {
        ids.push_back(message.id);
        if (!message.read) ++unseen;
      }
      std::vector<uint32_t> uids;
      if (uids_.Assign(credentials_.userName, folderId, ids, uids)) uids_.Save();
      const CUidStore::FolderRecord& record = uids_.Folder(credentials_.userName, folderId);
      uint32_t claimed =
          hooks_.recent ? hooks_.recent(credentials_.userName + "\n" + folderId, 0, false) : UINT32_MAX;
      uint32_t recent = 0;
      for (uint32_t uid : uids) recent += uid > claimed ? 1 : 0;
      std::string out;
      for (const std::string& item : items) {
        uint32_t value = item == "MESSAGES"      ? static_cast<uint32_t>(list.size())
                         : item == "RECENT"      ? recent
                         : item == "UNSEEN"      ? static_cast<uint32_t>(unseen)
                         : item == "UIDNEXT"     ? record.next
                         : item == "UIDVALIDITY" ? record.validity
                                                 : 0;
        out += (out.empty() ? "" : " ") + item + " " + std::to_string(value);
      }
      Send("* STATUS " + CImapWriter::Astring(shown) + " (" + out + ")\r\n");
      Tagged(tag, "OK STATUS completed");
      Finish();
    }));
  });
}

void CImapSession::Subscribe(Command& c) {
  if (c.args.size() != 1 || !c.args[0].IsAstring()) return Tagged(c.tag, "BAD " + c.name + " takes a mailbox name");
  // Every folder counts as subscribed.
  Tagged(c.tag, "OK " + c.name + " completed");
}

void CImapSession::Refuse(Command& c) {
  Tagged(c.tag, "NO [CANNOT] Folders cannot be created, deleted or renamed through this server");
}

void CImapSession::Append(Command& c) {
  Tagged(c.tag, "NO [CANNOT] The mail service cannot store a message into a folder");
}

void CImapSession::Idle(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  idling_ = true;
  idleTag_ = c.tag;
  Send("+ idling\r\n");
}

void CImapSession::OnIdleTimer() {
  if (!idling_ || running_ || state_ != State::Selected) return;
  running_ = true;
  Relist(false, [this](bool, std::vector<std::string> announce) {
    for (const std::string& line : announce) Send(line);
    Finish();
  });
}

// --- Selected state ---------------------------------------------------------

void CImapSession::Unselect(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  selected_.reset();
  SetState(State::Authenticated);
  Tagged(c.tag, "OK UNSELECT completed");
}

bool CImapSession::ResolveSet(Command& c, size_t argIndex, std::vector<size_t>& indexes) {
  CSequenceSet set;
  if (c.args.size() <= argIndex || c.args[argIndex].kind != ImapArg::Kind::Atom ||
      !CImapParser::ParseSequenceSet(c.args[argIndex].text, set)) {
    Tagged(c.tag, "BAD Invalid sequence set");
    return false;
  }
  if (!selected_->Resolve(set, c.uid, indexes)) {
    Tagged(c.tag, "BAD Message sequence number out of range");
    return false;
  }
  return true;
}

void CImapSession::Search(Command& c) {
  ImapSearchKey key;
  std::string error;
  if (!CImapParser::ParseSearch(c.args, 0, key, error)) {
    return Tagged(c.tag, error.compare(0, 11, "[BADCHARSET") == 0 ? "NO " + error : "BAD " + error);
  }
  auto job = std::make_shared<SearchJob>();
  job->tag = c.tag;
  job->uid = c.uid;
  job->key = std::move(key);
  for (const ImapMessage& m : selected_->Messages()) job->uids.push_back(m.uid);
  running_ = true;
  SearchStep(job);
}

// Keys that read texts take the messages one at a time, each held only
// until the next one comes (the last one as FETCH keeps it).
void CImapSession::SearchStep(std::shared_ptr<SearchJob> job) {
  bool needText = CImapSearch::NeedsText(job->key);
  while (job->next < job->uids.size()) {
    uint32_t uid = job->uids[job->next];
    const ImapMessage* m = selected_->Find(uid);
    if (m == nullptr) {
      ++job->next;  // expunged meanwhile
      continue;
    }
    size_t index = static_cast<size_t>(m - selected_->Messages().data());
    if (needText && cachedId_ != m->info.id) {
      return DownloadText(job, m->info.id, [this, job] { SearchStep(job); });
    }
    ++job->next;
    bool match = false;
    if (needText) {
      CImapSearch::Text text{cachedText_, *cachedTree_};
      match = CImapSearch::Matches(job->key, *selected_, index, &text);
    } else {
      match = CImapSearch::Matches(job->key, *selected_, index);
    }
    if (match) {
      job->found += " " + std::to_string(job->uid ? uid : static_cast<uint32_t>(index + 1));
    }
  }
  Send("* SEARCH" + job->found + "\r\n");
  Tagged(job->tag, job->failed ? "NO Some messages could not be read for the search" : "OK SEARCH completed");
  DropLargeText();
  Finish();
}

void CImapSession::KeepText(const std::string& id, const std::string& text) {
  cachedId_ = id;
  cachedText_ = text;
  cachedTree_ = CMimePart::Parse(cachedText_);
}

void CImapSession::DropLargeText() {
  if (cachedText_.size() <= kLargestKeptMessage) return;
  // Not held beyond the command that needed it.
  cachedId_.clear();
  std::string().swap(cachedText_);
  cachedTree_.reset();
}

void CImapSession::Fetch(Command& c) {
  auto job = std::make_shared<FetchJob>();
  std::string error;
  std::vector<size_t> indexes;
  if (!ResolveSet(c, 0, indexes)) return;
  if (!CImapParser::ParseFetchItems(c.args, 1, job->items, error)) return Tagged(c.tag, "BAD " + error);
  job->tag = c.tag;
  job->uid = c.uid;
  for (size_t index : indexes) job->uidsLeft.push_back(selected_->Messages()[index].uid);
  running_ = true;
  FetchStep(job);
}

void CImapSession::ResumeOutput() {
  if (!pausedFetch_) return;
  std::shared_ptr<FetchJob> job = std::move(pausedFetch_);
  FetchStep(job);
}

void CImapSession::FetchStep(std::shared_ptr<FetchJob> job) {
  while (job->next < job->uidsLeft.size()) {
    if (hooks_.congested && hooks_.congested()) {
      // No more messages are downloaded while the client leaves them unread.
      pausedFetch_ = job;
      return;
    }
    uint32_t uid = job->uidsLeft[job->next];
    auto& messages = selected_->Messages();
    size_t index = 0;
    while (index < messages.size() && messages[index].uid != uid) ++index;
    if (index == messages.size()) {
      ++job->next;  // expunged meanwhile
      continue;
    }
    bool needText = false;
    for (const ImapFetchItem& item : job->items) needText = needText || NeedsText(item);
    const std::string id = messages[index].info.id;
    if (needText && cachedId_ != id) {
      return DownloadText(job, id, [this, job] { FetchStep(job); });
    }
    bool markRead = false;
    std::string response = FetchResponse(*job, index, &markRead);
    ++job->next;
    if (markRead) {
      // A body read without PEEK: the message is read on the service too.
      std::string folderId = selected_->FolderId();
      backend_.SetRead(credentials_, folderId, id, true, Guard([this, job, response, uid, folderId](BackendResult result) {
        if (!selected_ || selected_->FolderId() != folderId) {
          Tagged(job->tag, "NO The folder was closed");
          return Finish();
        }
        std::string text = response;
        if (result != BackendResult::Ok) job->failed = true;
        // The flags as they are now, \Seen set or not.
        size_t close = text.rfind(")\r\n");
        for (ImapMessage& m : selected_->Messages()) {
          if (m.uid != uid) continue;
          if (result == BackendResult::Ok) m.info.read = true;
          text.insert(close, " FLAGS " + selected_->Flags(m));
        }
        Send(text);
        FetchStep(job);
      }));
      return;
    }
    Send(response);
  }
  Tagged(job->tag, job->failed ? "NO Some messages could not be fetched" : "OK FETCH completed");
  DropLargeText();
  Finish();
}

std::string CImapSession::WholeMessagePart(ImapSection::Text part) const {
  ImapSection section;
  section.text = part;
  std::string bytes;
  CImapBody::Section(cachedText_, *cachedTree_, section, bytes);
  return bytes;
}

std::string CImapSession::FetchResponse(FetchJob& job, size_t index, bool* markRead) {
  using K = ImapFetchItem::Kind;
  const ImapMessage& m = selected_->Messages()[index];
  std::string out;
  auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
  bool uidShown = false;
  *markRead = false;
  for (const ImapFetchItem& item : job.items) {
    if (SetsSeen(item) && !m.info.read && !selected_->ReadOnly()) *markRead = true;
  }
  for (const ImapFetchItem& item : job.items) {
    switch (item.kind) {
      case K::Flags:
        if (!*markRead) add("FLAGS " + selected_->Flags(m));
        break;
      case K::Uid:
        add("UID " + std::to_string(m.uid));
        uidShown = true;
        break;
      case K::Rfc822Size: add("RFC822.SIZE " + std::to_string(m.info.size)); break;
      case K::InternalDate: add("INTERNALDATE " + InternalDate(m.info.date)); break;
      case K::Envelope: add("ENVELOPE " + CImapBody::Envelope(cachedText_, *cachedTree_)); break;
      case K::BodyStructure: add("BODYSTRUCTURE " + CImapBody::Structure(cachedText_, *cachedTree_, true)); break;
      case K::Body: add("BODY " + CImapBody::Structure(cachedText_, *cachedTree_, false)); break;
      case K::Rfc822: add("RFC822 " + CImapWriter::Literal(cachedText_)); break;
      case K::Rfc822Header:
        add("RFC822.HEADER " + CImapWriter::Literal(WholeMessagePart(ImapSection::Text::Header)));
        break;
      case K::Rfc822Text:
        add("RFC822.TEXT " + CImapWriter::Literal(WholeMessagePart(ImapSection::Text::Text)));
        break;
      case K::BodySection: {
        std::string bytes;
        CImapBody::Section(cachedText_, *cachedTree_, item.section, bytes);
        std::string name = "BODY[" + item.section.sectionText + "]";
        if (item.partial) {
          name += "<" + std::to_string(item.offset) + ">";
          bytes = item.offset < bytes.size() ? bytes.substr(item.offset, item.length) : "";
        }
        add(name + " " + CImapWriter::Literal(bytes));
        break;
      }
    }
  }
  if (job.uid && !uidShown) add("UID " + std::to_string(m.uid));
  return "* " + std::to_string(index + 1) + " FETCH (" + out + ")\r\n";
}

void CImapSession::Store(Command& c) {
  std::vector<size_t> indexes;
  ImapStore store;
  std::string error;
  if (!ResolveSet(c, 0, indexes)) return;
  if (!CImapParser::ParseStore(c.args, 1, store, error)) return Tagged(c.tag, "BAD " + error);
  if (selected_->ReadOnly()) return Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  bool seen = false, deleted = false;
  std::vector<std::string> others;
  for (const std::string& flag : store.flags) {
    std::string upper = Upper(flag);
    if (upper == "\\SEEN") {
      seen = true;
    } else if (upper == "\\DELETED") {
      deleted = true;
    } else if (upper == "\\RECENT" || (flag[0] == '\\' && upper != "\\ANSWERED" && upper != "\\FLAGGED" &&
                                       upper != "\\DRAFT")) {
      return Tagged(c.tag, "BAD Invalid system flag " + flag);
    } else {
      // System flags in their usual spelling, keywords as written.
      others.push_back(upper == "\\ANSWERED" ? "\\Answered"
                       : upper == "\\FLAGGED" ? "\\Flagged"
                       : upper == "\\DRAFT"   ? "\\Draft"
                                               : flag);
    }
  }
  // A keyword new to this session's folder is announced before it shows in
  // a FETCH; PERMANENTFLAGS stays as it was, as keywords are not kept
  // beyond the process.
  const auto added = store.mode == ImapStore::Mode::Remove ? CImapMailbox::KeywordsAdded::None
                                                           : selected_->AddKeywords(others);
  if (added == CImapMailbox::KeywordsAdded::TooMany) {
    return Tagged(c.tag, "NO [LIMIT] Too many keywords in this folder");
  }
  if (added == CImapMailbox::KeywordsAdded::Some) Send("* FLAGS " + selected_->FlagList() + "\r\n");
  // The other flags change at once, for every session on the folder; the
  // read flag through the service, one message after another.
  auto job = std::make_shared<StoreJob>();
  job->tag = c.tag;
  job->silent = store.silent;
  job->uid = c.uid;
  job->folderId = selected_->FolderId();
  for (size_t index : indexes) {
    ImapMessage& m = selected_->Messages()[index];
    job->touched.push_back(m.uid);
    bool wantSeen = m.info.read;
    if (store.mode == ImapStore::Mode::Replace) {
      wantSeen = seen;
      m.deleted = deleted;
      m.otherFlags.clear();
    } else {
      if (seen) wantSeen = store.mode == ImapStore::Mode::Add;
      if (deleted) m.deleted = store.mode == ImapStore::Mode::Add;
    }
    for (const std::string& flag : others) {
      if (store.mode == ImapStore::Mode::Remove) m.otherFlags.erase(flag);
      else m.otherFlags.insert(flag);
    }
    selected_->PublishFlags(m);
    if (wantSeen != m.info.read) job->pending.emplace_back(m.uid, wantSeen);
  }
  running_ = true;
  StoreStep(job);
}

void CImapSession::StoreStep(std::shared_ptr<StoreJob> job) {
  if (!selected_ || selected_->FolderId() != job->folderId) {
    Tagged(job->tag, "NO The folder was closed");
    return Finish();
  }
  while (job->next < job->pending.size()) {
    uint32_t uid = job->pending[job->next].first;
    bool read = job->pending[job->next].second;
    ++job->next;
    const ImapMessage* message = selected_->Find(uid);
    if (message == nullptr || message->info.id.empty()) continue;
    const std::string id = message->info.id;
    backend_.SetRead(credentials_, job->folderId, id, read, Guard([this, job, uid, read](BackendResult result) {
      if (result == BackendResult::Ok && selected_ && selected_->FolderId() == job->folderId) {
        if (ImapMessage* m = selected_->Find(uid)) m->info.read = read;
      } else {
        job->failed = true;
      }
      StoreStep(job);
    }));
    return;
  }
  const auto& all = selected_->Messages();
  for (size_t i = 0; i < all.size() && !job->silent; ++i) {
    bool listed = false;
    for (uint32_t t : job->touched) listed = listed || t == all[i].uid;
    if (!listed) continue;
    Send("* " + std::to_string(i + 1) + " FETCH (" + (job->uid ? "UID " + std::to_string(all[i].uid) + " " : "") +
         "FLAGS " + selected_->Flags(all[i]) + ")\r\n");
  }
  Tagged(job->tag, job->failed ? "NO The read flag of some messages could not be changed on the service"
                               : "OK STORE completed");
  Finish();
}

void CImapSession::Copy(Command& c) {
  std::vector<size_t> indexes;
  if (!ResolveSet(c, 0, indexes)) return;
  if (c.args.size() != 2 || !c.args[1].IsAstring()) return Tagged(c.tag, "BAD " + c.name + " takes a set and a mailbox");
  auto job = std::make_shared<TransferJob>();
  job->kind = c.name.find("MOVE") != std::string::npos ? TransferJob::Kind::Move : TransferJob::Kind::Copy;
  if (job->kind == TransferJob::Kind::Move && selected_->ReadOnly()) {
    return Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  }
  job->tag = c.tag;
  for (size_t index : indexes) job->uids.push_back(selected_->Messages()[index].uid);
  running_ = true;
  std::string name = c.args[1].text;
  WithFolders([this, job, name](bool ok) {
    const Mailbox* mailbox = ok ? FindMailbox(name) : nullptr;
    if (mailbox == nullptr) {
      Tagged(job->tag, ok ? "NO [TRYCREATE] No such mailbox" : "NO [UNAVAILABLE] The folder list could not be read");
      return Finish();
    }
    if (job->kind == TransferJob::Kind::Move && mailbox->folder.id == selected_->FolderId()) {
      Tagged(job->tag, "NO [CANNOT] The message is in that folder already");
      return Finish();
    }
    job->destination = *mailbox;
    TransferStep(job);
  });
}

void CImapSession::Move(Command& c) { Copy(c); }

void CImapSession::TransferStep(std::shared_ptr<TransferJob> job) {
  if (!selected_) return Finish();
  while (job->next < job->uids.size()) {
    uint32_t uid = job->uids[job->next++];
    const ImapMessage* message = selected_->Find(uid);
    if (message == nullptr || message->info.id.empty()) continue;
    const std::string id = message->info.id;
    std::string folderId = selected_->FolderId();
    auto done = Guard([this, job, uid, id, folderId](BackendResult result, const std::string& newId) {
      if (!selected_ || selected_->FolderId() != folderId) {
        Tagged(job->tag, "NO The folder was closed");
        return Finish();
      }
      if (result == BackendResult::Ok && !newId.empty()) {
        if (job->kind == TransferJob::Kind::Move) uids_.Remove(credentials_.userName, folderId, id);
        uint32_t newUid = uids_.Add(credentials_.userName, job->destination.folder.id, newId);
        job->doneSource.push_back(uid);
        job->doneDestination.push_back(newUid);
        if (job->kind == TransferJob::Kind::Move) {
          uint32_t seq = selected_->Expunge(uid);
          if (seq != 0) job->expunged.push_back("* " + std::to_string(seq) + " EXPUNGE\r\n");
        }
      } else {
        job->failed = true;
      }
      TransferStep(job);
    });
    if (job->kind == TransferJob::Kind::Move) {
      backend_.Move(credentials_, folderId, id, job->destination.folder.id, done);
    } else {
      backend_.Copy(credentials_, folderId, id, job->destination.folder.id, done);
    }
    return;
  }
  if (!job->doneSource.empty()) uids_.Save();
  std::string code;
  if (!job->doneSource.empty()) {
    code = "[COPYUID " + std::to_string(uids_.Folder(credentials_.userName, job->destination.folder.id).validity) +
           " " + UidSet(job->doneSource) + " " + UidSet(job->doneDestination) + "] ";
  }
  bool move = job->kind == TransferJob::Kind::Move;
  if (move && !code.empty()) Send("* OK " + code + "Moved\r\n");
  for (const std::string& line : job->expunged) Send(line);
  if (job->failed) {
    Tagged(job->tag, std::string("NO ") + (move ? "" : code) + "Some messages could not be " + (move ? "moved" : "copied"));
  } else {
    Tagged(job->tag, std::string("OK ") + (move ? "" : code) + (move ? "MOVE completed" : "COPY completed"));
  }
  Finish();
}

void CImapSession::Expunge(Command& c) {
  CSequenceSet only;
  if (c.uid) {
    if (c.args.size() != 1 || c.args[0].kind != ImapArg::Kind::Atom ||
        !CImapParser::ParseSequenceSet(c.args[0].text, only)) {
      return Tagged(c.tag, "BAD UID EXPUNGE takes a UID set");
    }
  } else if (!c.args.empty()) {
    return Tagged(c.tag, "BAD Unexpected arguments");
  }
  if (selected_->ReadOnly()) return Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  auto job = std::make_shared<TransferJob>();
  job->kind = TransferJob::Kind::Expunge;
  job->tag = c.tag;
  for (const ImapMessage& m : selected_->Messages()) {
    if (m.deleted && (!c.uid || only.Contains(m.uid, selected_->LargestUid()))) job->uids.push_back(m.uid);
  }
  if (job->uids.empty()) return Tagged(c.tag, "OK EXPUNGE completed");
  if (deleteMode_ != DeleteMode::MoveToDeletedItems && deleteMode_ != DeleteMode::Delete) {
    return Tagged(c.tag, "NO [CANNOT] Messages are kept on the service (DeleteMode); nothing was expunged");
  }
  RunExpunge(job);
}

// Expunge and Close carry deleted messages out once the folder list (where
// deleted items go) is known.
void CImapSession::RunExpunge(std::shared_ptr<TransferJob> job) {
  running_ = true;
  WithFolders([this, job](bool ok) {
    if (!ok) {
      return EndExpunge(*job, "NO [UNAVAILABLE] The folder list could not be read", "; nothing was expunged");
    }
    StartExpunge(job);
  });
}

// CLOSE always ends in the authenticated state; what could not be expunged
// was told in an untagged NO before.
void CImapSession::LeaveFolder(const std::string& tag) {
  selected_.reset();
  SetState(State::Authenticated);
  Tagged(tag, "OK CLOSE completed");
}

// Ends an EXPUNGE with `refusal` (nullptr: it went well) as its tagged
// answer. CLOSE always leaves the folder: its refusal goes untagged first,
// with `closeSuffix` added.
void CImapSession::EndExpunge(const TransferJob& job, const char* refusal, const char* closeSuffix) {
  if (job.kind != TransferJob::Kind::Close) {
    Tagged(job.tag, refusal != nullptr ? refusal : "OK EXPUNGE completed");
  } else {
    if (refusal != nullptr) Send(std::string("* ") + refusal + closeSuffix + "\r\n");
    LeaveFolder(job.tag);
  }
  Finish();
}

void CImapSession::Close(Command& c) {
  if (!c.args.empty()) return Tagged(c.tag, "BAD Unexpected arguments");
  bool any = false;
  for (const ImapMessage& m : selected_->Messages()) any = any || m.deleted;
  bool carryOut = any && !selected_->ReadOnly() &&
                  (deleteMode_ == DeleteMode::MoveToDeletedItems || deleteMode_ == DeleteMode::Delete);
  if (!carryOut) return LeaveFolder(c.tag);
  auto job = std::make_shared<TransferJob>();
  job->kind = TransferJob::Kind::Close;
  job->tag = c.tag;
  for (const ImapMessage& m : selected_->Messages()) {
    if (m.deleted) job->uids.push_back(m.uid);
  }
  RunExpunge(job);
}

void CImapSession::StartExpunge(std::shared_ptr<TransferJob> job) {
  if (deleteMode_ == DeleteMode::MoveToDeletedItems && FindKind("deleteditems") == nullptr) {
    // Nowhere to move them: they stay rather than being deleted for good.
    return EndExpunge(*job, "NO [CANNOT] The account has no deleted-items folder; nothing was expunged");
  }
  ExpungeStep(job);
}

void CImapSession::ExpungeStep(std::shared_ptr<TransferJob> job) {
  if (!selected_) return Finish();
  // In the deleted-items folder itself, expunging deletes.
  const Mailbox* trash = FindKind("deleteditems");
  bool moveToTrash = deleteMode_ == DeleteMode::MoveToDeletedItems && trash->folder.id != selected_->FolderId();
  while (job->next < job->uids.size()) {
    uint32_t uid = job->uids[job->next++];
    const ImapMessage* message = selected_->Find(uid);
    if (message == nullptr || message->info.id.empty()) continue;
    const std::string id = message->info.id;
    std::string folderId = selected_->FolderId();
    auto removed = [this, job, uid, id, folderId](bool ok) {
      if (!selected_ || selected_->FolderId() != folderId) return Finish();
      if (ok) {
        uids_.Remove(credentials_.userName, folderId, id);
        job->doneSource.push_back(uid);
        uint32_t seq = selected_->Expunge(uid);
        if (seq != 0 && job->kind == TransferJob::Kind::Expunge) Send("* " + std::to_string(seq) + " EXPUNGE\r\n");
      } else {
        job->failed = true;
      }
      ExpungeStep(job);
    };
    if (moveToTrash) {
      backend_.Move(credentials_, folderId, id, trash->folder.id,
                    Guard([removed](BackendResult r, const std::string&) { removed(Gone(r)); }));
    } else {
      backend_.Delete(credentials_, folderId, id, Guard([removed](BackendResult r) { removed(Gone(r)); }));
    }
    return;
  }
  if (!job->doneSource.empty()) uids_.Save();
  EndExpunge(*job, job->failed ? "NO Some messages could not be expunged" : nullptr);
}
