// COPY and MOVE (and their UID forms): one message after another; each
// copied message gets its UID in the destination at once, and COPYUID
// reports them.
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

class Transferring : public CImapCommand {
 public:
  Transferring(CImapSession& session, std::string tag, bool move, std::string name, std::vector<uint32_t> uids)
      : CImapCommand(session, std::move(tag)), move_(move), name_(std::move(name)), uids_(std::move(uids)) {
    folderId_ = session.Selected()->FolderId();
  }

  Step Continue() override {
    if (!listed_) {
      listed_ = true;
      if (session_.LookUp(name_, &ok_)) return Step::Waits;
    }
    if (destination_.id.empty()) return Choose();
    if (asked_ != 0) Record();
    const CImapMailbox& folder = *session_.Selected();
    if (const ImapMessage* message = session_.Selected()->NextListed(uids_, next_)) {
      asked_ = message->uid;
      askedId_ = message->info.id;
      // A copy into its own folder cannot keep the id, which the source holds.
      const bool fresh = !move_ && destination_.id == folder.FolderId();
      session_.Service().TransferTo(
          move_ ? CMailService::Transfer::Move : CMailService::Transfer::Copy, session_.Credentials(), message->info,
          destination_, fresh, session_.Then([this](const MailResult& result, const std::string& newId) {
            ok_ = result.Ok();
            newId_ = newId;
          }));
      return Step::Waits;
    }
    Answer();
    return Step::Done;
  }

 private:
  Step Choose() {
    const CImapSession::Mailbox* mailbox = session_.Named(tag_, name_, ok_, "NO [TRYCREATE] No such mailbox");
    if (mailbox == nullptr) return Step::Done;
    if (move_ && mailbox->folder.id == folderId_) {
      session_.Tagged(tag_, "NO [CANNOT] The message is in that folder already");
      return Step::Done;
    }
    destination_ = mailbox->folder;
    return Continue();
  }

  void Record() {
    const uint32_t uid = asked_;
    asked_ = 0;
    if (!ok_ || newId_.empty()) {
      failed_ = true;
      return;
    }
    CUidStore& store = session_.Uids();
    const std::string& user = session_.Credentials().userName;
    if (move_) store.Remove(user, folderId_, askedId_);
    doneSource_.push_back(uid);
    doneDestination_.push_back(store.Add(user, destination_.id, newId_));
    if (move_) {
      const uint32_t seq = session_.Selected()->Expunge(uid);
      if (seq != 0) expunged_.push_back("* " + std::to_string(seq) + " EXPUNGE\r\n");
    }
  }

  void Answer() {
    CUidStore& store = session_.Uids();
    std::string code;
    if (!doneSource_.empty()) {
      store.Save();
      code = "[COPYUID " + std::to_string(store.Folder(session_.Credentials().userName, destination_.id).validity) +
             " " + UidSet(doneSource_) + " " + UidSet(doneDestination_) + "] ";
    }
    if (move_ && !code.empty()) session_.Send("* OK " + code + "Moved\r\n");
    for (const std::string& line : expunged_) session_.Send(line);
    if (failed_) {
      session_.Tagged(tag_, std::string("NO ") + (move_ ? "" : code) + "Some messages could not be " +
                                (move_ ? "moved" : "copied"));
    } else {
      session_.Tagged(tag_, std::string("OK ") + (move_ ? "" : code) + (move_ ? "MOVE completed" : "COPY completed"));
    }
  }

  bool move_;
  std::string name_;
  std::vector<uint32_t> uids_;
  bool listed_ = false;
  bool ok_ = false;
  CFolder destination_;
  size_t next_ = 0;
  uint32_t asked_ = 0;
  std::string askedId_;
  std::string newId_;
  bool failed_ = false;
  std::vector<uint32_t> doneSource_, doneDestination_;
  std::vector<std::string> expunged_;
};

}  // namespace

void Copy(CImapSession& session, ImapCommandLine& c) {
  std::vector<size_t> indexes;
  if (!ResolveSet(session, c, 0, indexes)) return;
  if (c.args.size() != 2 || !c.args[1].IsAstring()) {
    return session.Tagged(c.tag, "BAD " + c.name + " takes a set and a mailbox");
  }
  const bool move = c.name.find("MOVE") != std::string::npos;
  if (move && session.Selected()->ReadOnly()) return session.Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  std::vector<uint32_t> uids;
  for (size_t index : indexes) uids.push_back(session.Selected()->Messages()[index].uid);
  session.Run(std::unique_ptr<CImapCommand>(new Transferring(session, c.tag, move, c.args[1].text, std::move(uids))));
}

}  // namespace ImapCommands
