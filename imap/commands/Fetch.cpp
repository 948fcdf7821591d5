// FETCH and UID FETCH: each message in the set in turn, its text downloaded
// when an item needs it; a body read without PEEK marks the message read on
// the service before its response goes out.
#include <stdio.h>
#include <time.h>

#include "imap/ImapBody.h"
#include "imap/ImapWriter.h"
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

using K = ImapFetchItem::Kind;

std::string InternalDate(int64_t seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(seconds);
  struct tm tm = *gmtime(&t);
  char text[40];
  snprintf(text, sizeof text, "\"%02d-%s-%04d %02d:%02d:%02d +0000\"", tm.tm_mday, kMonths[tm.tm_mon],
           tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

bool NeedsText(const ImapFetchItem& item) {
  return item.kind == K::Envelope || item.kind == K::BodyStructure || item.kind == K::Body ||
         item.kind == K::BodySection || item.kind == K::Rfc822 || item.kind == K::Rfc822Header ||
         item.kind == K::Rfc822Text;
}

bool SetsSeen(const ImapFetchItem& item) {
  return (item.kind == K::BodySection && !item.peek) || item.kind == K::Rfc822 || item.kind == K::Rfc822Text;
}

class Fetching : public CImapCommand {
 public:
  Fetching(CImapSession& session, std::string tag, bool uid, std::vector<ImapFetchItem> items,
           const std::vector<size_t>& indexes)
      : CImapCommand(session, std::move(tag)), uid_(uid), items_(std::move(items)) {
    folderId_ = session.Selected()->FolderId();
    for (size_t index : indexes) uids_.push_back(session.Selected()->Messages()[index].uid);
    for (const ImapFetchItem& item : items_) needText_ = needText_ || NeedsText(item);
  }

  Step Continue() override;

 private:
  enum class Waiting { Nothing, Text, ReadMark };
  std::string Response(const ImapMessage& m, size_t index, bool* markRead);
  std::string Part(ImapSection::Text part) const;
  void AfterReadMark();

  bool uid_;
  std::vector<ImapFetchItem> items_;
  std::vector<uint32_t> uids_;  // the messages by UID: an index may move meanwhile
  size_t next_ = 0;
  bool needText_ = false;
  bool failed_ = false;
  Waiting waiting_ = Waiting::Nothing;
  bool ok_ = false;
  std::string pending_;  // a response waiting for its read mark
  const std::string* text_ = nullptr;
};

CImapCommand::Step Fetching::Continue() {
  CImapMailbox& folder = *session_.Selected();
  if (waiting_ == Waiting::ReadMark) AfterReadMark();
  if (waiting_ == Waiting::Text && !ok_) {
    failed_ = true;
    ++next_;
  }
  waiting_ = Waiting::Nothing;
  while (next_ < uids_.size()) {
    if (session_.Congested()) {
      // No more messages are downloaded while the client leaves them unread.
      session_.PauseForOutput();
      return Step::Waits;
    }
    const ImapMessage* m = folder.Find(uids_[next_]);
    if (m == nullptr) {
      ++next_;  // expunged meanwhile
      continue;
    }
    text_ = needText_ ? session_.Text(m->info.id) : nullptr;
    if (needText_ && text_ == nullptr) {
      waiting_ = Waiting::Text;
      session_.Download(m->info, &ok_);
      return Step::Waits;
    }
    bool markRead = false;
    std::string response = Response(*m, static_cast<size_t>(m - folder.Messages().data()), &markRead);
    ++next_;
    if (markRead) {
      pending_ = std::move(response);
      waiting_ = Waiting::ReadMark;
      session_.Service().SetRead(session_.Credentials(), m->info, true,
                                 session_.Then([this](const MailResult& result) { ok_ = result.Ok(); }));
      return Step::Waits;
    }
    session_.Send(response);
  }
  session_.Tagged(tag_, failed_ ? "NO Some messages could not be fetched" : "OK FETCH completed");
  return Step::Done;
}

// The response goes out with the flags as they are now, \Seen set or not.
void Fetching::AfterReadMark() {
  if (!ok_) failed_ = true;
  ImapMessage* m = session_.Selected()->Find(uids_[next_ - 1]);
  if (m != nullptr) {
    if (ok_) m->info.read = true;
    pending_.insert(pending_.rfind(")\r\n"), " FLAGS " + session_.Selected()->Flags(*m));
  }
  session_.Send(pending_);
  std::string().swap(pending_);
}

std::string Fetching::Part(ImapSection::Text part) const {
  ImapSection section;
  section.text = part;
  std::string bytes;
  CImapBody::Section(*text_, session_.TextTree(), section, bytes);
  return bytes;
}

std::string Fetching::Response(const ImapMessage& m, size_t index, bool* markRead) {
  const CImapMailbox& folder = *session_.Selected();
  std::string out;
  auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
  bool uidShown = false;
  *markRead = false;
  for (const ImapFetchItem& item : items_) {
    if (SetsSeen(item) && !m.info.read && !folder.ReadOnly()) *markRead = true;
  }
  for (const ImapFetchItem& item : items_) {
    switch (item.kind) {
      case K::Flags:
        if (!*markRead) add("FLAGS " + folder.Flags(m));
        break;
      case K::Uid:
        add("UID " + std::to_string(m.uid));
        uidShown = true;
        break;
      case K::Rfc822Size: add("RFC822.SIZE " + std::to_string(m.info.size)); break;
      case K::InternalDate: add("INTERNALDATE " + InternalDate(m.date)); break;
      case K::Envelope: add("ENVELOPE " + CImapBody::Envelope(*text_, session_.TextTree())); break;
      case K::BodyStructure: add("BODYSTRUCTURE " + CImapBody::Structure(*text_, session_.TextTree(), true)); break;
      case K::Body: add("BODY " + CImapBody::Structure(*text_, session_.TextTree(), false)); break;
      case K::Rfc822: add("RFC822 " + CImapWriter::Literal(*text_)); break;
      case K::Rfc822Header: add("RFC822.HEADER " + CImapWriter::Literal(Part(ImapSection::Text::Header))); break;
      case K::Rfc822Text: add("RFC822.TEXT " + CImapWriter::Literal(Part(ImapSection::Text::Text))); break;
      case K::BodySection: {
        std::string bytes;
        CImapBody::Section(*text_, session_.TextTree(), item.section, bytes);
        std::string name = "BODY[" + item.section.sectionText + "]";
        if (item.partial) {
          name += "<" + std::to_string(item.offset) + ">";
          bytes = item.offset < bytes.size() ? bytes.substr(item.offset, item.length) : "";
        }
        add(name + " " + CImapWriter::Literal(bytes));
        break;
      }
    }
  }
  if (uid_ && !uidShown) add("UID " + std::to_string(m.uid));
  return "* " + std::to_string(index + 1) + " FETCH (" + out + ")\r\n";
}

}  // namespace

void Fetch(CImapSession& session, ImapCommandLine& c) {
  std::vector<ImapFetchItem> items;
  std::vector<size_t> indexes;
  std::string error;
  if (!ResolveSet(session, c, 0, indexes)) return;
  if (!CImapParser::ParseFetchItems(c.args, 1, items, error)) return session.Tagged(c.tag, "BAD " + error);
  session.Run(std::unique_ptr<CImapCommand>(new Fetching(session, c.tag, c.uid, std::move(items), indexes)));
}

}  // namespace ImapCommands
