// The command table, the commands valid in any state, and what the
// commands of a selected folder share.
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

using State = CImapSession::State;
const unsigned kNotAuthenticated = StateBit(State::NotAuthenticated);
const unsigned kAuthenticated = StateBit(State::Authenticated);
const unsigned kSelected = StateBit(State::Selected);
const unsigned kAny = kNotAuthenticated | kAuthenticated | kSelected;
const unsigned kLoggedIn = kAuthenticated | kSelected;

const Entry kCommands[] = {
    {"CAPABILITY", kAny, Capability},
    {"NOOP", kAny, Noop},
    {"LOGOUT", kAny, Logout},
    {"LOGIN", kNotAuthenticated, Login},
    {"AUTHENTICATE", kNotAuthenticated, Authenticate},
    {"ID", kAny, Id},
    {"ENABLE", kLoggedIn, Enable},
    {"NAMESPACE", kLoggedIn, Namespace},
    {"SELECT", kLoggedIn, Select},
    {"EXAMINE", kLoggedIn, Select},
    {"LIST", kLoggedIn, List},
    {"LSUB", kLoggedIn, List},
    {"STATUS", kLoggedIn, Status},
    {"SUBSCRIBE", kLoggedIn, Subscribe},
    {"UNSUBSCRIBE", kLoggedIn, Subscribe},
    {"CREATE", kLoggedIn, Refuse},
    {"DELETE", kLoggedIn, Refuse},
    {"RENAME", kLoggedIn, Refuse},
    {"APPEND", kLoggedIn, Append},
    {"IDLE", kLoggedIn, Idle},
    {"CHECK", kSelected, Noop},
    {"CLOSE", kSelected, Close},
    {"UNSELECT", kSelected, Unselect},
    {"EXPUNGE", kSelected, Expunge},
    {"UID EXPUNGE", kSelected, Expunge},
    {"SEARCH", kSelected, Search},
    {"UID SEARCH", kSelected, Search},
    {"FETCH", kSelected, Fetch},
    {"UID FETCH", kSelected, Fetch},
    {"STORE", kSelected, Store},
    {"UID STORE", kSelected, Store},
    {"COPY", kSelected, Copy},
    {"UID COPY", kSelected, Copy},
    {"MOVE", kSelected, Copy},
    {"UID MOVE", kSelected, Copy},
};

// NOOP and CHECK in a folder, and an idling client's timer: the folder is
// listed again and what changed announced.
class Relisting : public CImapCommand {
 public:
  Relisting(CImapSession& session, std::string tag, std::string name)
      : CImapCommand(session, std::move(tag)), name_(std::move(name)) {
    folderId_ = session.Selected()->FolderId();
  }

  Step Continue() override {
    if (!listed_) {
      listed_ = true;
      session_.Relist(false, &ok_, &announce_);
      return Step::Waits;
    }
    for (const std::string& line : announce_) session_.Send(line);
    if (!tag_.empty()) {
      session_.Tagged(tag_, ok_ ? "OK " + name_ + " completed" : "NO [UNAVAILABLE] The folder could not be listed");
    }
    return Step::Done;
  }

 private:
  std::string name_;
  bool listed_ = false;
  bool ok_ = false;
  std::vector<std::string> announce_;
};

}  // namespace

const Entry* Find(const std::string& name) {
  for (const Entry& e : kCommands) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

std::unique_ptr<CImapCommand> NewIdleRelist(CImapSession& session) {
  return std::unique_ptr<CImapCommand>(new Relisting(session, "", ""));
}

void Capability(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  session.Send(std::string("* CAPABILITY ") + CImapSession::Capabilities() + "\r\n");
  session.Tagged(c.tag, "OK CAPABILITY completed");
}

void Noop(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  if (session.GetState() != State::Selected) return session.Tagged(c.tag, "OK " + c.name + " completed");
  session.Run(std::unique_ptr<CImapCommand>(new Relisting(session, c.tag, c.name)));
}

void Logout(CImapSession& session, ImapCommandLine& c) {
  if (!c.args.empty()) return session.Tagged(c.tag, "BAD Unexpected arguments");
  session.Send("* BYE Logging out\r\n");
  session.Tagged(c.tag, "OK LOGOUT completed");
  session.End();
}

void Id(CImapSession& session, ImapCommandLine& c) {
  if (c.args.size() != 1) return session.Tagged(c.tag, "BAD ID takes one argument");
  session.Send("* ID (\"name\" \"Kestrelon\")\r\n");
  session.Tagged(c.tag, "OK ID completed");
}

bool ResolveSet(CImapSession& session, ImapCommandLine& c, size_t argIndex, std::vector<size_t>& indexes) {
  CSequenceSet set;
  if (c.args.size() <= argIndex || c.args[argIndex].kind != ImapArg::Kind::Atom ||
      !CImapParser::ParseSequenceSet(c.args[argIndex].text, set)) {
    session.Tagged(c.tag, "BAD Invalid sequence set");
    return false;
  }
  if (!session.Selected()->Resolve(set, c.uid, indexes)) {
    session.Tagged(c.tag, "BAD Message sequence number out of range");
    return false;
  }
  return true;
}

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

}  // namespace ImapCommands
