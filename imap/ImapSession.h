// CImapSession: one IMAP connection's conversation: its state (not
// authenticated, authenticated, selected, logout), its credentials and
// folders, the selected folder and the command that runs. Commands run one
// at a time, in the order received; one that waits for the service
// (CImapCommand) holds the ones after it. Bytes come in through Receive and
// are framed once, by the command reader; replies go out through the send
// hook; the service is reached through CMailService. The commands
// themselves live in imap/commands/.
#ifndef KESTRELON_IMAP_SESSION_H
#define KESTRELON_IMAP_SESSION_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "httpmail/MailService.h"
#include "imap/ImapCommand.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapMailbox.h"
#include "imap/MessageCache.h"
#include "imap/MimePart.h"
#include "imap/UidStore.h"
#include "lineserver/OutputPiece.h"

// What the server offers, in its greeting and to CAPABILITY.
#define KESTRELON_IMAP_CAPABILITIES \
  "IMAP4rev1 LITERAL+ SASL-IR AUTH=PLAIN ID ENABLE IDLE NAMESPACE UIDPLUS MOVE UNSELECT CHILDREN SPECIAL-USE"

class CImapSession {
 public:
  enum class State { NotAuthenticated, Authenticated, Selected, Logout };
  // What EXPUNGE does with a message marked \Deleted (the DeleteMode setting).
  enum class DeleteMode { MoveToDeletedItems = 1, Delete = 2, Keep = 0 };

  struct Hooks {
    std::function<void(std::string)> send;  // a text handed over by move
    // After LOGOUT's last reply, or when the session cannot go on. It must
    // not destroy the session at once: the caller does that afterwards.
    std::function<void()> close;
    // Whether the client has so many replies unread that a long FETCH
    // should wait (ResumeOutput goes on with it). Absent: never.
    std::function<bool()> congested;
    // Each received command, as the command reader cut it, as the log is to
    // show it: without a password or a SASL response.
    std::function<void(const std::string&)> log;
    // \Recent across the sessions of this process: the largest UID of
    // the folder some session had seen before, raised to `largestUid` when
    // `claim`. Absent: no message is recent.
    std::function<uint32_t(const std::string& folderKey, uint32_t largestUid, bool claim)> recent;
    // A command starts or stops waiting for the service: no more input is
    // read meanwhile. Absent: nothing to tell.
    std::function<void(bool waiting)> waiting;
    // Runs a completion as the connection's own event, so that its replies
    // reach this client. Absent: it runs as it is.
    std::function<void(const std::function<void()>&)> serve;
    // The flags STORE sets, shared by the sessions of this process on the
    // folder. Absent: each session keeps its own.
    std::function<std::shared_ptr<CFolderFlags>(const std::string& folderKey, uint32_t uidValidity)> flags;
    // What is known of the folder's messages, kept across sessions and
    // restarts. Absent or null: every text is downloaded.
    std::function<std::shared_ptr<CFolderCache>(const std::string& account, const std::string& folderId)> cache;
    // One reply in pieces, a held one sent from its own text. Absent: the
    // pieces are joined and go through `send`.
    std::function<void(std::vector<COutputPiece>)> sendPieces;
  };
  struct Limits {
    size_t maxLine = 64 * 1024;
    size_t maxLiteral = 64 * 1024;
    size_t maxCommand = 256 * 1024;
  };
  // A folder of the account as the client names it.
  struct Mailbox {
    std::string name;
    CFolder folder;
  };

  CImapSession(CMailService& service, CUidStore& uids, Hooks hooks, DeleteMode deleteMode, Limits limits);
  CImapSession(const CImapSession&) = delete;
  CImapSession& operator=(const CImapSession&) = delete;
  virtual ~CImapSession();

  void Start();  // the greeting
  void Receive(const char* data, size_t size);
  // Called at the re-listing interval: while idling, re-lists the folder
  // and announces what changed.
  void OnIdleTimer();
  // The client has read its replies: a FETCH that waited for that goes on.
  void ResumeOutput();

  State GetState() const { return state_; }
  bool Idling() const { return idling_; }
  bool Busy() const { return command_ != nullptr; }

  static const char* Capabilities() { return KESTRELON_IMAP_CAPABILITIES; }

  // ---- What the commands use --------------------------------------------
  void Send(std::string text);
  void Send(std::vector<COutputPiece> pieces);
  void Tagged(const std::string& tag, const std::string& text);
  void SetState(State state) { state_ = state; }
  // LOGOUT, or a session that cannot go on.
  void End();
  CMailService& Service() { return service_; }
  CUidStore& Uids() { return uids_; }
  DeleteMode GetDeleteMode() const { return deleteMode_; }
  const CCredentials& Credentials() const { return credentials_; }
  // With `foldersRead`, the folder list TryFolders read stays for SELECT.
  void LoggedIn(const CCredentials& credentials, bool foldersRead = false);
  // SASL: the next line is the client's response to AUTHENTICATE.
  void AwaitResponse(const std::string& tag) { authTag_ = tag; }
  void BeginIdle(const std::string& tag);
  bool Congested() const { return hooks_.congested && hooks_.congested(); }
  // The command waits until the client has read its replies.
  void PauseForOutput() { paused_ = true; }

  CImapMailbox* Selected() { return selected_.get(); }
  // Its flags shared through the `flags` hook, its cache opened.
  void Select(std::unique_ptr<CImapMailbox> mailbox);
  // The selected folder's cache, or null.
  CFolderCache* Cache() { return cache_.get(); }
  // What the cache knows of the message, or null.
  const CachedMessage* Known(const CMail& mail) const { return cache_ ? cache_->Find(mail) : nullptr; }
  void Unselect();
  const std::vector<Mailbox>& Mailboxes() const { return mailboxes_; }
  const Mailbox* FindMailbox(const std::string& name) const;
  const Mailbox* FindKind(const char* kind) const;
  uint32_t RecentBefore(const std::string& folderId, uint32_t largestUid, bool claim);

  // Runs a command that may wait, until it waits or has answered.
  void Run(std::unique_ptr<CImapCommand> command);
  // A completion for a request of the running command: dropped when the
  // session has ended; when the command's folder was left meanwhile, the
  // command ends there; otherwise `f` stores the result and the command
  // goes on.
  template <typename F>
  auto Then(F f);

  // Requests many commands make; each lets the command go on when done.
  // The folder list, read again into Mailboxes(): `ok` tells whether it was.
  void ListFolders(bool* ok);
  // The same for credentials not logged in yet: LOGIN checks known ones so.
  void TryFolders(const CCredentials& credentials, MailResult* result);
  // A folder that cannot be listed any more makes the folder list unknown.
  void ForgetFolders() { mailboxes_.clear(); }
  // For a command that names a folder: reads the folder list when the one
  // read before does not name it (true: the command waits for it); `ok`
  // tells whether the list is at hand. LIST always reads it.
  bool LookUp(const std::string& name, bool* ok);
  // The folder named, once LookUp is done; null when there is none, the
  // command then answered with `missing` (or the list's failure).
  const Mailbox* Named(const std::string& tag, const std::string& name, bool ok,
                       const char* missing = "NO [NONEXISTENT] No such mailbox");
  // The selected folder listed again; `announce` gets the lines that tell
  // the changes (none on the first listing). The session ends when the
  // folder's UIDs were started over.
  void Relist(bool initial, bool* ok, std::vector<std::string>* announce);
  // The message's text, kept as Text() until another is downloaded; `ok`
  // false when it could not be had.
  void Download(const CMail& mail, bool* ok, bool keepText = true);
  // Keeps this message's text (parsed once) in place of the one before.
  void Keep(const std::string& id, std::string text);
  // Keeps a text just downloaded, and lets the cache learn it (the text
  // too, with `keepText`).
  void Learn(const CMail& mail, std::string text, bool keepText = true);
  // Keeps the message's text from the cache; false when it has none.
  bool KeepCached(const CMail& mail);
  // The kept text of this message, or null.
  const std::string* Text(const std::string& id) const { return id == textId_ && !id.empty() ? text_.get() : nullptr; }
  // The kept text itself, for a reply sent from it.
  const std::shared_ptr<const std::string>& HeldText() const { return text_; }
  // The kept text's MIME structure, parsed when first asked for.
  const CMimePart& TextTree();
  // A large text is not held past the command that needed it.
  void DropLargeText();

 private:
  void ReadFolders(const CCredentials& credentials, bool* ok, MailResult* outcome);
  void ProcessInput();
  void Dispatch(const std::string& text);
  void Log(const std::string& text) const;
  void Resume();
  void Finish();

  CMailService& service_;
  CUidStore& uids_;
  Hooks hooks_;
  DeleteMode deleteMode_;
  CImapCommandReader reader_;
  State state_ = State::NotAuthenticated;
  CCredentials credentials_;
  std::vector<Mailbox> mailboxes_;
  std::unique_ptr<CImapMailbox> selected_;
  std::shared_ptr<CFolderCache> cache_;
  std::unique_ptr<CImapCommand> command_;  // the command that waits
  bool continuing_ = false;  // inside the command's Continue
  bool again_ = false;       // a request completed inside it
  bool paused_ = false;      // the command waits for the client to read
  bool processing_ = false;  // inside ProcessInput
  bool idling_ = false;
  std::string idleTag_;
  std::string authTag_;  // AUTHENTICATE waiting for its response line
  // A command was refused before its end: the next line may be the literal
  // it announced, a password of a LOGIN among them.
  bool afterRefusal_ = false;
  // The last message downloaded, kept for the next command that reads it.
  std::string textId_;
  std::shared_ptr<const std::string> text_;  // shared with replies still going out
  std::unique_ptr<CMimePart> textTree_;
  std::shared_ptr<int> life_;
};

template <typename F>
auto CImapSession::Then(F f) {
  std::weak_ptr<int> alive = life_;
  CImapCommand* owner = command_.get();
  return [this, alive, owner, f](auto&&... args) {
    if (alive.expired() || command_.get() != owner || owner == nullptr) return;
    std::function<void()> step = [&] {
      const std::string& folder = owner->FolderId();
      if (!folder.empty() && (!selected_ || selected_->FolderId() != folder)) {
        Tagged(owner->Tag(), "NO The folder was closed");
        return Finish();
      }
      f(std::forward<decltype(args)>(args)...);
      if (state_ == State::Logout) {
        command_.reset();  // the session has ended: nothing more is answered
        return;
      }
      Resume();
    };
    if (hooks_.serve && !continuing_)
      hooks_.serve(step);
    else
      step();
  };
}

#endif
