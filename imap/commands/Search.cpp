// SEARCH and UID SEARCH. Keys that read texts take the messages one at a
// time, each held only until the next one comes (the last one as FETCH
// keeps it); keys of the header alone read it from the cache when it has
// the message.
#include "imap/ImapSearch.h"
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

class Searching : public CImapCommand {
 public:
  Searching(CImapSession& session, std::string tag, bool uid, ImapSearchKey key)
      : CImapCommand(session, std::move(tag)), uid_(uid), key_(std::move(key)) {
    folderId_ = session.Selected()->FolderId();
    for (const ImapMessage& m : session.Selected()->Messages()) uids_.push_back(m.uid);
  }

  Step Continue() override {
    CImapMailbox& folder = *session_.Selected();
    const bool needText = CImapSearch::NeedsText(key_);
    const bool headerOnly = !CImapSearch::NeedsBody(key_);
    if (downloading_) {
      downloading_ = false;
      if (!ok_) {
        failed_ = true;
        ++next_;
      }
    }
    while (next_ < uids_.size()) {
      const uint32_t uid = uids_[next_];
      const ImapMessage* m = folder.Find(uid);
      if (m == nullptr) {
        ++next_;  // expunged meanwhile
        continue;
      }
      const size_t index = static_cast<size_t>(m - folder.Messages().data());
      const std::string* text = needText ? session_.Text(m->info.id) : nullptr;
      const CMimePart* tree = text != nullptr ? &session_.TextTree() : nullptr;
      const CachedMessage* known = needText && text == nullptr && headerOnly ? session_.Known(m->info) : nullptr;
      if (known != nullptr) {
        header_.Take(*known);
        text = &header_.text;
        tree = header_.tree.get();
      }
      if (needText && text == nullptr) {
        downloading_ = true;
        session_.Download(m->info, &ok_, !headerOnly);
        return Step::Waits;
      }
      ++next_;
      bool match = false;
      if (needText) {
        CImapSearch::Text message{*text, *tree};
        match = CImapSearch::Matches(key_, folder, index, &message);
      } else {
        match = CImapSearch::Matches(key_, folder, index);
      }
      if (match) found_ += " " + std::to_string(uid_ ? uid : static_cast<uint32_t>(index + 1));
    }
    session_.Send("* SEARCH" + found_ + "\r\n");
    session_.Tagged(tag_, failed_ ? "NO Some messages could not be read for the search" : "OK SEARCH completed");
    return Step::Done;
  }

 private:
  bool uid_;
  ImapSearchKey key_;
  std::vector<uint32_t> uids_;  // the folder's messages when the search began
  size_t next_ = 0;
  std::string found_;
  bool downloading_ = false;
  bool ok_ = false;
  bool failed_ = false;
  CachedHeader header_;  // a header block from the cache
};

}  // namespace

void Search(CImapSession& session, ImapCommandLine& c) {
  ImapSearchKey key;
  std::string error;
  if (!CImapParser::ParseSearch(c.args, 0, key, error)) {
    return session.Tagged(c.tag, error.compare(0, 11, "[BADCHARSET") == 0 ? "NO " + error : "BAD " + error);
  }
  session.Run(std::unique_ptr<CImapCommand>(new Searching(session, c.tag, c.uid, std::move(key))));
}

}  // namespace ImapCommands
