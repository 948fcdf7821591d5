// STORE and UID STORE. Flags other than \Seen change at once, for every
// session on the folder; the read flag through the service, one message
// after another.
#include "config/Ascii.h"
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

class Storing : public CImapCommand {
 public:
  Storing(CImapSession& session, std::string tag, bool uid, bool silent)
      : CImapCommand(session, std::move(tag)), uid_(uid), silent_(silent) {
    folderId_ = session.Selected()->FolderId();
  }

  std::vector<uint32_t> touched;
  std::vector<std::pair<uint32_t, bool>> pending;  // UID, read flag wanted

  Step Continue() override {
    CImapMailbox& folder = *session_.Selected();
    if (asked_ != 0) {
      if (ImapMessage* m = ok_ ? folder.Find(asked_) : nullptr) m->info.read = askedRead_;
      if (!ok_) failed_ = true;
      asked_ = 0;
    }
    while (next_ < pending.size()) {
      const uint32_t uid = pending[next_].first;
      const bool read = pending[next_].second;
      ++next_;
      const ImapMessage* message = folder.Find(uid);
      if (message == nullptr || message->info.id.empty()) continue;
      asked_ = uid;
      askedRead_ = read;
      session_.Service().SetRead(session_.Credentials(), message->info, read,
                                 session_.Then([this](const MailResult& result) { ok_ = result.Ok(); }));
      return Step::Waits;
    }
    // In sequence order, as the set was resolved; gone ones are passed over.
    for (size_t i = 0; i < touched.size() && !silent_; ++i) {
      const ImapMessage* m = folder.Find(touched[i]);
      if (m == nullptr) continue;
      const size_t index = static_cast<size_t>(m - folder.Messages().data());
      session_.Send("* " + std::to_string(index + 1) + " FETCH (" + (uid_ ? "UID " + std::to_string(m->uid) + " " : "") +
                    "FLAGS " + folder.Flags(*m) + ")\r\n");
    }
    session_.Tagged(tag_, failed_ ? "NO The read flag of some messages could not be changed on the service"
                                  : "OK STORE completed");
    return Step::Done;
  }

 private:
  bool uid_;
  bool silent_;
  size_t next_ = 0;
  uint32_t asked_ = 0;  // the message whose read flag is being set
  bool askedRead_ = false;
  bool ok_ = false;
  bool failed_ = false;
};

}  // namespace

void Store(CImapSession& session, ImapCommandLine& c) {
  std::vector<size_t> indexes;
  ImapStore store;
  std::string error;
  if (!ResolveSet(session, c, 0, indexes)) return;
  if (!CImapParser::ParseStore(c.args, 1, store, error)) return session.Tagged(c.tag, "BAD " + error);
  CImapMailbox& folder = *session.Selected();
  if (folder.ReadOnly()) return session.Tagged(c.tag, "NO [READ-ONLY] The folder is read-only");
  bool seen = false, deleted = false;
  std::vector<std::string> others;
  for (const std::string& flag : store.flags) {
    const std::string upper = AsciiUpper(flag);
    if (upper == "\\SEEN") {
      seen = true;
    } else if (upper == "\\DELETED") {
      deleted = true;
    } else if (upper == "\\RECENT" || (flag[0] == '\\' && upper != "\\ANSWERED" && upper != "\\FLAGGED" &&
                                       upper != "\\DRAFT")) {
      return session.Tagged(c.tag, "BAD Invalid system flag " + flag);
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
  const auto added =
      store.mode == ImapStore::Mode::Remove ? CImapMailbox::KeywordsAdded::None : folder.AddKeywords(others);
  if (added == CImapMailbox::KeywordsAdded::TooMany) {
    return session.Tagged(c.tag, "NO [LIMIT] Too many keywords in this folder");
  }
  if (added == CImapMailbox::KeywordsAdded::Some) session.Send("* FLAGS " + folder.FlagList() + "\r\n");
  std::unique_ptr<Storing> job(new Storing(session, c.tag, c.uid, store.silent));
  for (size_t index : indexes) {
    ImapMessage& m = folder.Messages()[index];
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
      if (store.mode == ImapStore::Mode::Remove)
        m.otherFlags.erase(flag);
      else
        m.otherFlags.insert(flag);
    }
    folder.PublishFlags(m);
    if (wantSeen != m.info.read) job->pending.emplace_back(m.uid, wantSeen);
  }
  session.Run(std::move(job));
}

}  // namespace ImapCommands
