// SELECT, EXAMINE and UNSELECT.
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

class Selecting : public CImapCommand {
 public:
  Selecting(CImapSession& session, std::string tag, std::string name, bool readOnly)
      : CImapCommand(session, std::move(tag)), name_(std::move(name)), readOnly_(readOnly) {}

  Step Continue() override {
    switch (step_++) {
      case 0:
        if (session_.LookUp(name_, &ok_)) return Step::Waits;
        [[fallthrough]];
      case 1: {
        step_ = 2;
        const CImapSession::Mailbox* mailbox = session_.Named(tag_, name_, ok_);
        if (mailbox == nullptr) return Step::Done;
        const CUidStore::FolderRecord& record =
            session_.Uids().Folder(session_.Credentials().userName, mailbox->folder.id);
        session_.Select(std::unique_ptr<CImapMailbox>(
            new CImapMailbox(mailbox->folder, mailbox->name, readOnly_, record.validity)));
        folderId_ = mailbox->folder.id;
        session_.Relist(true, &ok_, nullptr);
        return Step::Waits;
      }
      default:
        Announce();
        return Step::Done;
    }
  }

 private:
  void Announce() {
    if (!ok_) {
      session_.Select(nullptr);
      return session_.Tagged(tag_, "NO [UNAVAILABLE] The folder could not be listed");
    }
    session_.SetState(CImapSession::State::Selected);
    const CImapMailbox& folder = *session_.Selected();
    const auto& messages = folder.Messages();
    session_.Send("* FLAGS " + folder.FlagList() + "\r\n");
    session_.Send("* OK [PERMANENTFLAGS (\\Seen)] Only \\Seen is kept on the service\r\n");
    session_.Send("* " + std::to_string(messages.size()) + " EXISTS\r\n* " + std::to_string(folder.Recent()) +
                  " RECENT\r\n");
    for (size_t i = 0; i < messages.size(); ++i) {
      if (messages[i].info.read) continue;
      session_.Send("* OK [UNSEEN " + std::to_string(i + 1) + "] First unseen\r\n");
      break;
    }
    session_.Send("* OK [UIDVALIDITY " + std::to_string(folder.UidValidity()) + "] UIDs valid\r\n");
    session_.Send("* OK [UIDNEXT " + std::to_string(folder.UidNext()) + "] Predicted next UID\r\n");
    session_.Tagged(tag_, readOnly_ ? "OK [READ-ONLY] EXAMINE completed" : "OK [READ-WRITE] SELECT completed");
  }

  std::string name_;
  bool readOnly_;
  int step_ = 0;
  bool ok_ = false;
};

}  // namespace

void Select(CImapSession& session, ImapCommandLine& c) {
  if (c.args.size() != 1 || !c.args[0].IsAstring()) {
    return session.Tagged(c.tag, "BAD " + c.name + " takes a mailbox name");
  }
  // A failed SELECT leaves no folder selected.
  session.Unselect();
  session.Run(std::unique_ptr<CImapCommand>(new Selecting(session, c.tag, c.args[0].text, c.name == "EXAMINE")));
}

void Unselect(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  session.Unselect();
  session.Tagged(c.tag, "OK UNSELECT completed");
}

}  // namespace ImapCommands
