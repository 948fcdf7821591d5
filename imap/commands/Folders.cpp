// The commands of the authenticated state that name folders: LIST, LSUB,
// STATUS, SUBSCRIBE, the refused ones; and ENABLE, NAMESPACE, IDLE.
#include "config/Ascii.h"
#include "imap/ImapWriter.h"
#include "imap/MailboxName.h"
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

const char kDelimiter[] = "/";
const char kNoFolderList[] = "NO [UNAVAILABLE] The folder list could not be read";

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

class Listing : public CImapCommand {
 public:
  Listing(CImapSession& session, std::string tag, std::string name, std::string pattern)
      : CImapCommand(session, std::move(tag)), name_(std::move(name)), pattern_(std::move(pattern)) {}

  Step Continue() override {
    if (!asked_) {
      asked_ = true;
      session_.ListFolders(&ok_);
      return Step::Waits;
    }
    if (!ok_) {
      session_.Tagged(tag_, kNoFolderList);
      return Step::Done;
    }
    for (const CImapSession::Mailbox& mailbox : session_.Mailboxes()) {
      const bool match =
          Matches(pattern_, mailbox.name) || (mailbox.name == "INBOX" && AsciiUpper(pattern_) == "INBOX");
      if (!match) continue;
      std::string attributes = "\\HasNoChildren";
      const char* use = CMailboxName::SpecialUse(mailbox.folder.special);
      if (*use != '\0') attributes += std::string(" ") + use;
      session_.Send("* " + name_ + " (" + attributes + ") \"" + kDelimiter + "\" " +
                    CImapWriter::Astring(mailbox.name) + "\r\n");
    }
    session_.Tagged(tag_, "OK " + name_ + " completed");
    return Step::Done;
  }

 private:
  std::string name_, pattern_;
  bool asked_ = false;
  bool ok_ = false;
};

class StatusOf : public CImapCommand {
 public:
  StatusOf(CImapSession& session, std::string tag, std::string name, std::vector<std::string> items)
      : CImapCommand(session, std::move(tag)), name_(std::move(name)), items_(std::move(items)) {}

  Step Continue() override {
    switch (step_++) {
      case 0:
        if (session_.LookUp(name_, &ok_)) return Step::Waits;
        [[fallthrough]];
      case 1: {
        step_ = 2;
        const CImapSession::Mailbox* mailbox = session_.Named(tag_, name_, ok_);
        if (mailbox == nullptr) return Step::Done;
        folder_ = mailbox->folder;
        shown_ = mailbox->name;
        session_.Service().ListMails(session_.Credentials(), folder_,
                                     session_.Then([this](const MailResult& result, std::vector<CMail>& list) {
                                       ok_ = result.Ok();
                                       if (!ok_) session_.ForgetFolders();
                                       list_.swap(list);
                                     }));
        return Step::Waits;
      }
      default:
        Answer();
        return Step::Done;
    }
  }

 private:
  void Answer() {
    if (!ok_) return session_.Tagged(tag_, "NO [UNAVAILABLE] The folder could not be listed");
    std::vector<std::string> ids;
    size_t unseen = 0;
    for (const CMail& message : list_) {
      ids.push_back(message.id);
      if (!message.read) ++unseen;
    }
    CUidStore& store = session_.Uids();
    const std::string& user = session_.Credentials().userName;
    std::vector<uint32_t> uids;
    if (store.Assign(user, folder_.id, ids, uids)) store.Save();
    const CUidStore::FolderRecord& record = store.Folder(user, folder_.id);
    const uint32_t claimed = session_.RecentBefore(folder_.id, 0, false);
    uint32_t recent = 0;
    for (uint32_t uid : uids) recent += uid > claimed ? 1 : 0;
    std::string out;
    for (const std::string& item : items_) {
      const uint32_t value = item == "MESSAGES"      ? static_cast<uint32_t>(list_.size())
                             : item == "RECENT"      ? recent
                             : item == "UNSEEN"      ? static_cast<uint32_t>(unseen)
                             : item == "UIDNEXT"     ? record.next
                             : item == "UIDVALIDITY" ? record.validity
                                                     : 0;
      out += (out.empty() ? "" : " ") + item + " " + std::to_string(value);
    }
    session_.Send("* STATUS " + CImapWriter::Astring(shown_) + " (" + out + ")\r\n");
    session_.Tagged(tag_, "OK STATUS completed");
  }

  std::string name_;
  std::vector<std::string> items_;
  int step_ = 0;
  bool ok_ = false;
  CFolder folder_;
  std::string shown_;
  std::vector<CMail> list_;
};

}  // namespace

void Enable(CImapSession& session, ImapCommandLine& c) {
  if (c.args.empty()) return session.Tagged(c.tag, "BAD ENABLE takes capability names");
  session.Send("* ENABLED\r\n");
  session.Tagged(c.tag, "OK ENABLE completed");
}

void Namespace(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  session.Send(std::string("* NAMESPACE ((\"\" \"") + kDelimiter + "\")) NIL NIL\r\n");
  session.Tagged(c.tag, "OK NAMESPACE completed");
}

void List(CImapSession& session, ImapCommandLine& c) {
  const size_t count = c.args.size();
  const bool returnOptions = count == 4 && c.args[2].IsAtom("RETURN") && c.args[3].kind == ImapArg::Kind::List;
  if ((count != 2 && !returnOptions) || !c.args[0].IsAstring() || !c.args[1].IsAstring()) {
    return session.Tagged(c.tag, "BAD " + c.name + " takes a reference and a mailbox pattern");
  }
  if (c.args[1].text.empty()) {
    session.Send("* " + c.name + " (\\Noselect) \"" + kDelimiter + "\" \"\"\r\n");
    return session.Tagged(c.tag, "OK " + c.name + " completed");
  }
  session.Run(std::unique_ptr<CImapCommand>(new Listing(session, c.tag, c.name, c.args[0].text + c.args[1].text)));
}

void Status(CImapSession& session, ImapCommandLine& c) {
  if (c.args.size() != 2 || !c.args[0].IsAstring() || c.args[1].kind != ImapArg::Kind::List ||
      c.args[1].list.empty()) {
    return session.Tagged(c.tag, "BAD STATUS takes a mailbox name and a list of items");
  }
  std::vector<std::string> items;
  for (const ImapArg& item : c.args[1].list) {
    const std::string upper = AsciiUpper(item.text);
    if (item.kind != ImapArg::Kind::Atom || (upper != "MESSAGES" && upper != "UNSEEN" && upper != "UIDNEXT" &&
                                             upper != "UIDVALIDITY" && upper != "RECENT")) {
      return session.Tagged(c.tag, "BAD Unknown STATUS item");
    }
    items.push_back(upper);
  }
  session.Run(std::unique_ptr<CImapCommand>(new StatusOf(session, c.tag, c.args[0].text, std::move(items))));
}

void Subscribe(CImapSession& session, ImapCommandLine& c) {
  if (c.args.size() != 1 || !c.args[0].IsAstring()) {
    return session.Tagged(c.tag, "BAD " + c.name + " takes a mailbox name");
  }
  // Every folder counts as subscribed.
  session.Tagged(c.tag, "OK " + c.name + " completed");
}

void Refuse(CImapSession& session, ImapCommandLine& c) {
  session.Tagged(c.tag, "NO [CANNOT] Folders cannot be created, deleted or renamed through this server");
}

void Append(CImapSession& session, ImapCommandLine& c) {
  session.Tagged(c.tag, "NO [CANNOT] The mail service cannot store a message into a folder");
}

void Idle(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  session.BeginIdle(c.tag);
}

}  // namespace ImapCommands
