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
    session_.Send(std::move(response));
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
  session_.Send(std::move(pending_));
  pending_ = std::string();
}

std::string Fetching::Part(ImapSection::Text part) const {
  ImapSection section;
  section.text = part;
  std::string bytes;
  CImapBody::Section(*text_, session_.TextTree(), section, bytes);
  return bytes;
}

// One response string, each item appended to it: a message's text is
// copied once, into the response, which then goes to the client by move.
std::string Fetching::Response(const ImapMessage& m, size_t index, bool* markRead) {
  const CImapMailbox& folder = *session_.Selected();
  std::string out = "* " + std::to_string(index + 1) + " FETCH (";
  const size_t start = out.size();
  auto item = [&out, start](const char* name) -> std::string& {
    if (out.size() > start) out += ' ';
    return out.append(name);
  };
  auto literal = [&out](std::string_view bytes) { CImapWriter::AppendLiteral(out.append(" "), bytes); };
  bool uidShown = false;
  *markRead = false;
  for (const ImapFetchItem& it : items_) {
    if (SetsSeen(it) && !m.info.read && !folder.ReadOnly()) *markRead = true;
  }
  if (text_ != nullptr) out.reserve(text_->size() + 256);
  for (const ImapFetchItem& it : items_) {
    switch (it.kind) {
      case K::Flags:
        if (!*markRead) item("FLAGS ") += folder.Flags(m);
        break;
      case K::Uid:
        item("UID ") += std::to_string(m.uid);
        uidShown = true;
        break;
      case K::Rfc822Size: item("RFC822.SIZE ") += std::to_string(m.info.size); break;
      case K::InternalDate: item("INTERNALDATE ") += InternalDate(m.date); break;
      case K::Envelope: item("ENVELOPE ") += CImapBody::Envelope(*text_, session_.TextTree()); break;
      case K::BodyStructure: item("BODYSTRUCTURE ") += CImapBody::Structure(*text_, session_.TextTree(), true); break;
      case K::Body: item("BODY ") += CImapBody::Structure(*text_, session_.TextTree(), false); break;
      case K::Rfc822:
        item("RFC822");
        literal(*text_);
        break;
      case K::Rfc822Header:
        item("RFC822.HEADER");
        literal(Part(ImapSection::Text::Header));
        break;
      case K::Rfc822Text:
        item("RFC822.TEXT");
        literal(Part(ImapSection::Text::Text));
        break;
      case K::BodySection: {
        item("BODY[") += it.section.sectionText + "]";
        if (it.partial) out += "<" + std::to_string(it.offset) + ">";
        // The whole message is its text as held; any other section a copy.
        const bool whole = it.section.part.empty() && it.section.text == ImapSection::Text::All;
        std::string bytes;
        if (!whole) CImapBody::Section(*text_, session_.TextTree(), it.section, bytes);
        std::string_view view = whole ? std::string_view(*text_) : std::string_view(bytes);
        if (it.partial) view = it.offset < view.size() ? view.substr(it.offset, it.length) : std::string_view();
        literal(view);
        break;
      }
    }
  }
  if (uid_ && !uidShown) item("UID ") += std::to_string(m.uid);
  return out.append(")\r\n");
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
