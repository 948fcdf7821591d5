#include "imap/ImapSession.h"

#include <map>
#include <set>

#include "config/Ascii.h"
#include "config/LogMask.h"
#include "imap/MailboxName.h"
#include "imap/commands/Commands.h"

namespace {

// A message up to this size stays in memory for the next FETCH of it.
constexpr size_t kLargestKeptMessage = 1024 * 1024;

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

// Two folders must never answer to one name, and a name must not pass to
// another folder when the listing's order changes: every folder of a shared
// name is told apart by its id and none keeps the bare name; of several
// inboxes, the one of the lowest id is INBOX.
void NameApart(std::vector<CImapSession::Mailbox>& mailboxes) {
  const CImapSession::Mailbox* inbox = nullptr;
  for (const CImapSession::Mailbox& m : mailboxes) {
    if (m.name == "INBOX" && (inbox == nullptr || m.folder.id < inbox->folder.id)) inbox = &m;
  }
  // A name made with an id may meet another folder's own: a few rounds.
  for (int round = 0; round < 3; ++round) {
    std::map<std::string, std::set<std::string>> ids;  // name -> the folders that have it
    for (const CImapSession::Mailbox& m : mailboxes) ids[m.name].insert(m.folder.id);
    bool renamed = false;
    for (CImapSession::Mailbox& m : mailboxes) {
      if (&m == inbox) continue;
      if (ids[m.name].size() > 1 || AsciiUpper(m.name) == "INBOX") {
        m.name += " [" + m.folder.id + "]";
        renamed = true;
      }
    }
    if (!renamed) break;
  }
}

}  // namespace

CImapSession::CImapSession(CMailService& service, CUidStore& uids, Hooks hooks, DeleteMode deleteMode,
                           Limits limits)
    : service_(service),
      uids_(uids),
      hooks_(std::move(hooks)),
      deleteMode_(deleteMode),
      reader_(limits.maxLine, limits.maxLiteral, limits.maxCommand),
      life_(std::make_shared<int>(0)) {}

CImapSession::~CImapSession() {}

void CImapSession::Send(std::string text) {
  if (hooks_.send) hooks_.send(std::move(text));
}

void CImapSession::Send(std::vector<COutputPiece> pieces) {
  if (hooks_.sendPieces) return hooks_.sendPieces(std::move(pieces));
  std::string text;
  for (const COutputPiece& piece : pieces) text += piece.Bytes();
  Send(std::move(text));
}

void CImapSession::Tagged(const std::string& tag, const std::string& text) { Send(tag + " " + text + "\r\n"); }

void CImapSession::Log(const std::string& text) const {
  if (hooks_.log) hooks_.log(text);
}

void CImapSession::Start() {
  Send(std::string("* OK [CAPABILITY ") + Capabilities() + "] IMAP4rev1 server ready\r\n");
}

void CImapSession::End() {
  SetState(State::Logout);
  selected_.reset();
  if (hooks_.close) hooks_.close();
}

void CImapSession::LoggedIn(const CCredentials& credentials, bool foldersRead) {
  credentials_ = credentials;
  if (!foldersRead) mailboxes_.clear();
  SetState(State::Authenticated);
}

void CImapSession::BeginIdle(const std::string& tag) {
  idling_ = true;
  idleTag_ = tag;
  Send("+ idling\r\n");
}

void CImapSession::Unselect() {
  selected_.reset();
  cache_.reset();
  SetState(State::Authenticated);
}

void CImapSession::Receive(const char* data, size_t size) {
  if (state_ == State::Logout) return;
  reader_.Feed(data, size);
  ProcessInput();
}

// ---- running commands ---------------------------------------------------------

void CImapSession::Run(std::unique_ptr<CImapCommand> command) {
  command_ = std::move(command);
  if (hooks_.waiting) hooks_.waiting(true);
  Resume();
}

// A completion that came inside Continue (a request that could not be
// started) is taken up by the loop here, not by a call within the call.
void CImapSession::Resume() {
  if (continuing_) {
    again_ = true;
    return;
  }
  while (command_) {
    continuing_ = true;
    again_ = false;
    const CImapCommand::Step step = command_->Continue();
    continuing_ = false;
    if (step == CImapCommand::Step::Done) return Finish();
    if (!again_) return;  // waits for the service or the client
  }
}

void CImapSession::Finish() {
  if (!command_) return;
  command_.reset();
  paused_ = false;
  DropLargeText();
  if (cache_) cache_->Save();
  if (hooks_.waiting) hooks_.waiting(false);
  ProcessInput();
}

void CImapSession::ResumeOutput() {
  if (!paused_ || !command_) return;
  paused_ = false;
  Resume();
}

void CImapSession::OnIdleTimer() {
  if (!idling_ || command_ || state_ != State::Selected) return;
  Run(ImapCommands::NewIdleRelist(*this));
}

// ---- input ----------------------------------------------------------------------

void CImapSession::ProcessInput() {
  if (processing_) return;
  processing_ = true;
  std::string text;
  while (!command_ && state_ != State::Logout) {
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
    if (AsciiUpper(text) == "DONE") {
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
    ImapCommands::AuthenticateResponse(*this, tag, text);
    return;
  }
  ImapCommandLine c;
  std::string error;
  const bool parsed = CImapParser::ParseCommand(text, c.tag, c.name, c.args, error);
  const ImapCommands::Entry* entry = ImapCommands::Find(c.name);
  Log(LoggedCommand(text, parsed, c.tag, c.name, entry != nullptr));
  // What follows a refused literal and is no command is taken for that
  // literal: the reply does not repeat it as a tag.
  if (afterRefusal && (!parsed || entry == nullptr)) c.tag = "*";
  if (!parsed) return Tagged(c.tag, "BAD " + error);
  if (entry == nullptr) return Tagged(c.tag, "BAD Unknown command");
  c.uid = c.name.compare(0, 4, "UID ") == 0;
  if ((entry->states & ImapCommands::StateBit(state_)) == 0) {
    return Tagged(c.tag, state_ == State::NotAuthenticated ? "BAD Log in first" : "BAD Not valid in this state");
  }
  // What other sessions stored is told before each command works.
  if (selected_) for (const std::string& line : selected_->SyncFlags()) Send(line);
  entry->handler(*this, c);
}

// ---- folders ----------------------------------------------------------------------

const CImapSession::Mailbox* CImapSession::FindMailbox(const std::string& name) const {
  const std::string wanted = AsciiUpper(name) == "INBOX" ? "INBOX" : name;
  for (const Mailbox& mailbox : mailboxes_) {
    if (mailbox.name == wanted) return &mailbox;
  }
  return nullptr;
}

const CImapSession::Mailbox* CImapSession::FindKind(const char* kind) const {
  for (const Mailbox& mailbox : mailboxes_) {
    if (mailbox.folder.special == kind) return &mailbox;
  }
  return nullptr;
}

void CImapSession::ListFolders(bool* ok) { ReadFolders(credentials_, ok, nullptr); }

void CImapSession::TryFolders(const CCredentials& credentials, MailResult* result) {
  ReadFolders(credentials, nullptr, result);
}

void CImapSession::ReadFolders(const CCredentials& credentials, bool* ok, MailResult* outcome) {
  service_.ListFolders(credentials, Then([this, ok, outcome](const MailResult& result, std::vector<CFolder>& folders) {
    if (ok) *ok = result.Ok();
    if (outcome) *outcome = result;
    if (!result.Ok()) return;
    mailboxes_.clear();
    for (CFolder& folder : folders) {
      if (folder.id.empty()) continue;
      if (folder.unicodeName.empty()) {
        CFolder::AssignDisplayName(folder.unicodeName, folder.special);
        folder.unicodeName = CMailboxName::Utf8FromCodePage932(folder.unicodeName);
      }
      std::string name = folder.special == "inbox" ? "INBOX" : CMailboxName::FromUtf8(folder.unicodeName);
      if (name.empty()) name = folder.id;
      mailboxes_.push_back(Mailbox{name, std::move(folder)});
    }
    NameApart(mailboxes_);
  }));
}

bool CImapSession::LookUp(const std::string& name, bool* ok) {
  *ok = true;
  if (FindMailbox(name) != nullptr) return false;
  ListFolders(ok);
  return true;
}

const CImapSession::Mailbox* CImapSession::Named(const std::string& tag, const std::string& name, bool ok,
                                                 const char* missing) {
  const Mailbox* mailbox = ok ? FindMailbox(name) : nullptr;
  if (mailbox == nullptr) Tagged(tag, ok ? missing : "NO [UNAVAILABLE] The folder list could not be read");
  return mailbox;
}

uint32_t CImapSession::RecentBefore(const std::string& folderId, uint32_t largestUid, bool claim) {
  return hooks_.recent ? hooks_.recent(credentials_.userName + "\n" + folderId, largestUid, claim) : UINT32_MAX;
}

void CImapSession::Select(std::unique_ptr<CImapMailbox> mailbox) {
  selected_ = std::move(mailbox);
  if (selected_ && hooks_.flags) {
    selected_->ShareFlags(hooks_.flags(credentials_.userName + "\n" + selected_->FolderId(), selected_->UidValidity()));
  }
  cache_ = selected_ && hooks_.cache ? hooks_.cache(credentials_.userName, selected_->FolderId()) : nullptr;
}

void CImapSession::Relist(bool initial, bool* ok, std::vector<std::string>* announce) {
  CFolder folder = selected_->Folder();
  service_.ListMails(credentials_, folder,
                     Then([this, initial, ok, announce, folder](const MailResult& result, std::vector<CMail>& list) {
                       *ok = result.Ok();
                       if (!*ok) return ForgetFolders();
                       std::vector<std::string> ids;
                       ids.reserve(list.size());
                       for (const CMail& message : list) ids.push_back(message.id);
                       std::vector<uint32_t> uids;
                       if (uids_.Assign(credentials_.userName, folder.id, ids, uids)) uids_.Save();
                       const CUidStore::FolderRecord& record = uids_.Folder(credentials_.userName, folder.id);
                       if (record.validity != selected_->UidValidity()) {
                         // The record was started over: the client's UIDs mean nothing now.
                         Send("* BYE The folder's UIDs were reset; select it again\r\n");
                         *ok = false;
                         return End();
                       }
                       if (cache_) cache_->Retain(ids);
                       const size_t recentBefore = selected_->Recent();
                       selected_->Merge(list, uids, record.next, initial ? nullptr : announce);
                       const size_t recent = selected_->MarkRecent(
                           RecentBefore(folder.id, selected_->LargestUid(), !selected_->ReadOnly()));
                       if (!initial && recent != recentBefore) {
                         announce->push_back("* " + std::to_string(recent) + " RECENT\r\n");
                       }
                     }));
}

// ---- message texts ----------------------------------------------------------------

void CImapSession::Download(const CMail& mail, bool* ok, bool keepText) {
  if (KeepCached(mail)) {
    *ok = true;
    return Resume();
  }
  service_.Fetch(credentials_, mail, 0,
                 Then([this, ok, mail, keepText](const MailResult& result, std::string& text, CMail::Held) {
                   *ok = result.Ok();
                   if (*ok) Learn(mail, std::move(text), keepText);
                 }));
}

void CImapSession::Keep(const std::string& id, std::string text) {
  textId_ = id;
  text_.reset();  // the one before goes first
  text_ = std::make_shared<const std::string>(std::move(text));
  textTree_.reset();  // parsed when an item needs it: BODY[] does not
}

const CMimePart& CImapSession::TextTree() {
  if (!textTree_) textTree_ = CMimePart::Parse(*text_);
  return *textTree_;
}

void CImapSession::Learn(const CMail& mail, std::string text, bool keepText) {
  Keep(mail.id, std::move(text));
  if (cache_) cache_->Learn(mail.id, static_cast<uint64_t>(mail.size), *text_, TextTree(), keepText);
}

bool CImapSession::KeepCached(const CMail& mail) {
  std::string text;
  if (Known(mail) == nullptr || !cache_->ReadText(mail.id, text)) {
    return false;
  }
  Keep(mail.id, std::move(text));
  return true;
}

void CImapSession::DropLargeText() {
  if (!text_ || text_->size() <= kLargestKeptMessage) return;
  textId_.clear();
  text_.reset();
  textTree_.reset();
}
