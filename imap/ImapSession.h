// CImapSession: one IMAP connection's conversation: its state (not
// authenticated, authenticated, selected, logout), its credentials and
// selected folder, and the command table. Commands run one at a time, in
// the order received; a command that waits for the service holds the ones
// after it. Bytes come in through Receive and go out through the send hook;
// the service is reached through a CImapBackend.
#ifndef KESTRELON_IMAP_SESSION_H
#define KESTRELON_IMAP_SESSION_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imap/ImapBackend.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapMailbox.h"
#include "imap/ImapParser.h"
#include "imap/MimePart.h"
#include "imap/UidStore.h"

class CImapSession {
 public:
  enum class State { NotAuthenticated, Authenticated, Selected, Logout };
  // What EXPUNGE does with a message marked \Deleted (the DeleteMode setting).
  enum class DeleteMode { MoveToDeletedItems = 1, Delete = 2, Keep = 0 };

  struct Hooks {
    std::function<void(const std::string&)> send;
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
    // The flags STORE sets, shared by the sessions of this process on the
    // folder. Absent: each session keeps its own.
    std::function<std::shared_ptr<CFolderFlags>(const std::string& folderKey, uint32_t uidValidity)> flags;
  };
  struct Limits {
    size_t maxLine = 64 * 1024;
    size_t maxLiteral = 64 * 1024;
    size_t maxCommand = 256 * 1024;
  };

  CImapSession(CImapBackend& backend, CUidStore& uids, Hooks hooks, DeleteMode deleteMode, Limits limits);
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
  bool Busy() const { return running_; }

  static const char* Capabilities();

 private:
  struct Command {
    std::string tag;
    std::string name;
    std::vector<ImapArg> args;
    bool uid = false;
  };
  using Handler = void (CImapSession::*)(Command&);
  struct Entry {
    const char* name;
    unsigned states;  // bits of State
    Handler handler;
  };
  struct Mailbox {
    std::string name;  // as the client sees it
    ImapFolderInfo folder;
  };
  struct FetchJob;
  struct SearchJob;
  struct StoreJob;
  struct TransferJob;

  void SetState(State state);
  void Send(const std::string& text);
  void Tagged(const std::string& tag, const std::string& text);
  void ProcessInput();
  void Dispatch(const std::string& text);
  void Log(const std::string& text) const;
  void Finish();
  // A completion that is dropped when the session has ended.
  template <typename F>
  auto Guard(F f);

  // Commands.
  void Capability(Command& c);
  void Noop(Command& c);
  void Logout(Command& c);
  void Login(Command& c);
  void Authenticate(Command& c);
  void Enable(Command& c);
  void Id(Command& c);
  void Namespace(Command& c);
  void Select(Command& c);
  void List(Command& c);
  void Status(Command& c);
  void Subscribe(Command& c);
  void Refuse(Command& c);
  void Append(Command& c);
  void Idle(Command& c);
  void Close(Command& c);
  void Unselect(Command& c);
  void Expunge(Command& c);
  void Search(Command& c);
  void Fetch(Command& c);
  void Store(Command& c);
  void Copy(Command& c);
  void Move(Command& c);

  // Steps.
  void LogIn(const std::string& tag, const ImapCredentials& credentials);
  void AuthenticateResponse(const std::string& tag, const std::string& base64);
  void WithFolders(std::function<void(bool)> then);
  static void NameApart(std::vector<Mailbox>& mailboxes);
  const Mailbox* FindMailbox(const std::string& name) const;
  const Mailbox* FindKind(const char* kind) const;
  // Lists the selected folder again; `then` gets the lines that announce
  // the changes (none on the first listing).
  void Relist(bool initial, std::function<void(bool, std::vector<std::string>)> then);
  void SearchStep(std::shared_ptr<SearchJob> job);
  void FetchStep(std::shared_ptr<FetchJob> job);
  // The downloaded message kept for the next command that reads it.
  void KeepText(const std::string& id, const std::string& text);
  template <typename Job, typename Next>
  void DownloadText(const std::shared_ptr<Job>& job, const std::string& id, Next next);
  void DropLargeText();
  // The header or the text of the cached message, as RFC822.HEADER and
  // RFC822.TEXT give them.
  std::string WholeMessagePart(ImapSection::Text part) const;
  std::string FetchResponse(FetchJob& job, size_t index, bool* markRead);
  void StoreStep(std::shared_ptr<StoreJob> job);
  void RunExpunge(std::shared_ptr<TransferJob> job);
  void StartExpunge(std::shared_ptr<TransferJob> job);
  void LeaveFolder(const std::string& tag);
  void EndExpunge(const TransferJob& job, const char* refusal, const char* closeSuffix = "");
  void ExpungeStep(std::shared_ptr<TransferJob> job);
  void TransferStep(std::shared_ptr<TransferJob> job);
  bool ResolveSet(Command& c, size_t argIndex, std::vector<size_t>& indexes);

  CImapBackend& backend_;
  CUidStore& uids_;
  Hooks hooks_;
  DeleteMode deleteMode_;
  CImapCommandReader reader_;
  State state_ = State::NotAuthenticated;
  ImapCredentials credentials_;
  std::vector<Mailbox> mailboxes_;
  std::unique_ptr<CImapMailbox> selected_;
  bool running_ = false;     // a command waits for the service
  bool processing_ = false;  // inside ProcessInput
  bool idling_ = false;
  std::string idleTag_;
  std::string authTag_;  // AUTHENTICATE waiting for its response line
  // A command was refused before its end: the next line may be the literal
  // it announced, a password of a LOGIN among them.
  bool afterRefusal_ = false;
  // The last message downloaded, kept for the next FETCH of it.
  std::string cachedId_;
  std::string cachedText_;
  std::unique_ptr<CMimePart> cachedTree_;
  std::shared_ptr<int> life_;
  std::shared_ptr<FetchJob> pausedFetch_;  // waits for the client to read

  static const Entry kCommands[];
};

#endif
