// EXPUNGE, UID EXPUNGE and CLOSE: the messages marked \Deleted go to the
// deleted-items folder or are deleted (DeleteMode). EXPUNGE answers a
// failure tagged; CLOSE says it untagged and leaves the folder all the same.
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

using DeleteMode = CImapSession::DeleteMode;

class Expunging : public CImapCommand {
 public:
  Expunging(CImapSession& session, std::string tag, bool close, std::vector<uint32_t> uids)
      : CImapCommand(session, std::move(tag)), close_(close), uids_(std::move(uids)) {
    folderId_ = session.Selected()->FolderId();
  }

  Step Continue() override {
    if (!listed_) {
      // Read afresh: a deleted-items folder gone from the service must not
      // take the messages into nowhere.
      listed_ = true;
      session_.ListFolders(&ok_);
      return Step::Waits;
    }
    if (!started_) {
      started_ = true;
      if (!ok_) return End("NO [UNAVAILABLE] The folder list could not be read", "; nothing was expunged");
      trash_ = session_.FindKind("deleteditems");
      if (session_.GetDeleteMode() == DeleteMode::MoveToDeletedItems && trash_ == nullptr) {
        // Nowhere to move them: they stay rather than being deleted for good.
        return End("NO [CANNOT] The account has no deleted-items folder; nothing was expunged");
      }
      // In the deleted-items folder itself, expunging deletes.
      moveToTrash_ = session_.GetDeleteMode() == DeleteMode::MoveToDeletedItems && trash_->folder.id != folderId_;
    }
    if (asked_ != 0) Record();
    if (const ImapMessage* message = session_.Selected()->NextListed(uids_, next_)) {
      asked_ = message->uid;
      askedId_ = message->info.id;
      // Gone: carried out now, or by another session before (the service no
      // longer has it, which is what was asked).
      auto gone = session_.Then([this](const MailResult& result) { ok_ = result.Ok() || result.Refused(404); });
      if (moveToTrash_) {
        session_.Service().TransferTo(CMailService::Transfer::Move, session_.Credentials(), message->info,
                                      trash_->folder, false,
                                      [gone](const MailResult& result, const std::string&) { gone(result); });
      } else {
        session_.Service().Delete(session_.Credentials(), message->info, gone);
      }
      return Step::Waits;
    }
    if (removed_) session_.Uids().Save();
    return End(failed_ ? "NO Some messages could not be expunged" : nullptr);
  }

  // Ends with `refusal` (null: it went well) as EXPUNGE's tagged answer, or
  // untagged, with `closeSuffix`, before CLOSE leaves the folder.
  Step End(const char* refusal, const char* closeSuffix = "") {
    if (!close_) {
      session_.Tagged(tag_, refusal != nullptr ? refusal : "OK EXPUNGE completed");
      return Step::Done;
    }
    if (refusal != nullptr) session_.Send(std::string("* ") + refusal + closeSuffix + "\r\n");
    session_.Unselect();
    session_.Tagged(tag_, "OK CLOSE completed");
    return Step::Done;
  }

 private:
  void Record() {
    const uint32_t uid = asked_;
    asked_ = 0;
    if (!ok_) {
      failed_ = true;
      return;
    }
    session_.Uids().Remove(session_.Credentials().userName, folderId_, askedId_);
    removed_ = true;
    const uint32_t seq = session_.Selected()->Expunge(uid);
    if (seq != 0 && !close_) session_.Send("* " + std::to_string(seq) + " EXPUNGE\r\n");
  }

  bool close_;
  std::vector<uint32_t> uids_;
  bool listed_ = false, started_ = false, ok_ = false;
  const CImapSession::Mailbox* trash_ = nullptr;
  bool moveToTrash_ = false;
  size_t next_ = 0;
  uint32_t asked_ = 0;
  std::string askedId_;
  bool removed_ = false;
  bool failed_ = false;
};

bool Carried(DeleteMode mode) { return mode == DeleteMode::MoveToDeletedItems || mode == DeleteMode::Delete; }

}  // namespace

void Expunge(CImapSession& session, ImapCommandLine& c) {
  CSequenceSet only;
  if (c.uid) {
    if (c.args.size() != 1 || c.args[0].kind != ImapArg::Kind::Atom ||
        !CImapParser::ParseSequenceSet(c.args[0].text, only)) {
      return session.Tagged(c.tag, "BAD UID EXPUNGE takes a UID set");
    }
  } else if (!c.args.empty()) {
    return session.Tagged(c.tag, "BAD Unexpected arguments");
  }
  const CImapMailbox& folder = *session.Selected();
  if (folder.ReadOnly()) return session.Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  std::vector<uint32_t> uids;
  for (const ImapMessage& m : folder.Messages()) {
    if (m.deleted && (!c.uid || only.Contains(m.uid, folder.LargestUid()))) uids.push_back(m.uid);
  }
  if (uids.empty()) return session.Tagged(c.tag, "OK EXPUNGE completed");
  if (!Carried(session.GetDeleteMode())) {
    return session.Tagged(c.tag, "NO [CANNOT] Messages are kept on the service (DeleteMode); nothing was expunged");
  }
  session.Run(std::unique_ptr<CImapCommand>(new Expunging(session, c.tag, false, std::move(uids))));
}

// CLOSE always ends in the authenticated state.
void Close(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  const CImapMailbox& folder = *session.Selected();
  std::vector<uint32_t> uids;
  for (const ImapMessage& m : folder.Messages()) {
    if (m.deleted) uids.push_back(m.uid);
  }
  if (uids.empty() || folder.ReadOnly() || !Carried(session.GetDeleteMode())) {
    session.Unselect();
    return session.Tagged(c.tag, "OK CLOSE completed");
  }
  session.Run(std::unique_ptr<CImapCommand>(new Expunging(session, c.tag, true, std::move(uids))));
}

}  // namespace ImapCommands
