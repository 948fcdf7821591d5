// FETCH and UID FETCH: each message in the set in turn, its text downloaded
// when an item needs it; a body read without PEEK marks the message read on
// the service before its response goes out.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>

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

// Whether the item can be answered from a message's header block and its
// structure, as the cache keeps them.
bool FromSummary(const ImapFetchItem& item) {
  using T = ImapSection::Text;
  const T text = item.section.text;
  return item.kind == K::Envelope || item.kind == K::BodyStructure || item.kind == K::Body ||
         item.kind == K::Rfc822Header ||
         (item.kind == K::BodySection && item.section.part.empty() &&
          (text == T::Header || text == T::HeaderFields || text == T::HeaderFieldsNot)) ||
         !NeedsText(item);
}

// BODY[n]: one part's body, which a byte range of the text can answer.
bool IsPartBody(const ImapFetchItem& item) {
  return item.kind == K::BodySection && !item.section.part.empty() && item.section.text == ImapSection::Text::All;
}

std::string PartPath(const ImapSection& section) {
  std::string path;
  for (uint32_t number : section.part) path += (path.empty() ? "" : ".") + std::to_string(number);
  return path;
}

bool SetsSeen(const ImapFetchItem& item) {
  return (item.kind == K::BodySection && !item.peek) || item.kind == K::Rfc822 || item.kind == K::Rfc822Text;
}

// Texts are asked for ahead of the one answered next, a few at a time, so
// that the service works on several while the responses still go out in
// order; a text that arrives early waits here.
class Fetching : public CImapCommand {
 public:
  Fetching(CImapSession& session, std::string tag, bool uid, std::vector<ImapFetchItem> items,
           const std::vector<size_t>& indexes)
      : CImapCommand(session, std::move(tag)), uid_(uid), items_(std::move(items)) {
    folderId_ = session.Selected()->FolderId();
    for (size_t index : indexes) uids_.push_back(session.Selected()->Messages()[index].uid);
    size_t partBodies = 0, wholeTexts = 0;
    for (size_t i = 0; i < items_.size(); ++i) {
      needText_ = needText_ || NeedsText(items_[i]);
      if (IsPartBody(items_[i])) {
        ++partBodies;
        rangeItem_ = i;
      } else if (!FromSummary(items_[i])) {
        ++wholeTexts;
      }
    }
    summaryDoes_ = partBodies == 0 && wholeTexts == 0;
    if (partBodies != 1 || wholeTexts != 0) rangeItem_ = kNoItem;
  }

  Step Continue() override;

 private:
  // Requests in flight at once, and the bytes of texts that may wait.
  static constexpr size_t kAhead = 4;
  static constexpr size_t kAheadBytes = 16 * 1024 * 1024;
  static constexpr size_t kNoItem = static_cast<size_t>(-1);
  // A literal at least this long is sent from the text it is part of.
  static constexpr size_t kHeldLiteral = 64 * 1024;
  struct Arrived {
    bool in = false;  // the answer has come
    bool ok = false;
    bool range = false;  // the bytes of BODY[n] only
    std::string text;
    size_t counted = 0;  // its bytes in waitingBytes_: as listed, then as come
  };

  void AskAhead(CImapMailbox& folder);
  void Forget(std::map<uint32_t, Arrived>::iterator slot);
  // Whether the cache answers for the message, from its summary or its
  // kept text.
  bool Cached(const ImapMessage& m) const;
  // Answers from this summary (when there is one).
  bool TakeSummary(const CachedMessage* summary);
  // The part of a BODY[n] that a range request can answer, or null.
  const CachedPart* RangeOf(const ImapMessage& m) const;
  std::vector<COutputPiece> Response(const ImapMessage& m, size_t index, bool* markRead);
  // The text answered from, as a literal can be sent from it.
  std::shared_ptr<const std::string> HeldText() const;
  std::string Part(ImapSection::Text part) const;
  // The MIME structure of text_, parsed only for the items that need it.
  const CMimePart& Tree() const { return summary_ ? *header_.tree : session_.TextTree(); }
  void AfterReadMark();

  bool uid_;
  std::vector<ImapFetchItem> items_;
  std::vector<uint32_t> uids_;  // the messages by UID: an index may move meanwhile
  size_t next_ = 0;             // the next to answer
  size_t asked_ = 0;            // the next whose text to ask for
  bool needText_ = false;
  bool summaryDoes_ = false;  // every item is answered by a cached summary
  size_t rangeItem_ = kNoItem;  // the one BODY[n] when the others are answered so
  std::set<uint32_t> wholeOnly_;  // messages whose range was refused
  std::shared_ptr<const std::string> range_;  // BODY[n]'s bytes, when a range request answered it
  bool failed_ = false;
  std::map<uint32_t, Arrived> arrived_;  // texts asked for, by UID; empty while in flight
  size_t inFlight_ = 0;
  size_t waitingBytes_ = 0;  // of the texts asked for and not answered yet
  bool markingRead_ = false;  // a read mark is being set
  bool marked_ = false;       // and its answer is in
  bool ok_ = false;
  std::vector<COutputPiece> pending_;  // a response waiting for its read mark
  const std::string* text_ = nullptr;  // the text answered from: the message's, or its header block
  const CachedMessage* summary_ = nullptr;  // when answered from the cache's summary
  CachedHeader header_;
};

bool Fetching::Cached(const ImapMessage& m) const {
  const CachedMessage* entry = session_.Known(m.info);
  return entry != nullptr && (summaryDoes_ || entry->textSize != 0);
}

const CachedPart* Fetching::RangeOf(const ImapMessage& m) const {
  if (rangeItem_ == kNoItem || wholeOnly_.count(m.uid) != 0) return nullptr;
  const CachedMessage* entry = session_.Known(m.info);
  return entry != nullptr && entry->textSize == 0 ? CFolderCache::FindPart(*entry, PartPath(items_[rangeItem_].section))
                                                  : nullptr;
}

bool Fetching::TakeSummary(const CachedMessage* summary) {
  summary_ = summary;
  if (summary_ == nullptr) return false;
  header_.Take(*summary_);
  text_ = &header_.text;
  return true;
}

// The text answered next is always asked for; those after it while the
// bounds allow, texts on their way counted by their listed size: large
// ones are not downloaded side by side.
void Fetching::AskAhead(CImapMailbox& folder) {
  for (; asked_ < uids_.size(); ++asked_) {
    const uint32_t uid = uids_[asked_];
    const ImapMessage* m = folder.Find(uid);
    if (m == nullptr || arrived_.count(uid) != 0 || session_.Text(m->info.id) != nullptr || Cached(*m)) continue;
    const CachedPart* part = RangeOf(*m);
    const size_t listed = 1 + (part != nullptr ? static_cast<size_t>(part->size)
                                               : static_cast<size_t>(std::max(m->info.size, 0)));
    if (asked_ != next_ && (inFlight_ >= kAhead || waitingBytes_ + listed > kAheadBytes)) break;
    ++inFlight_;
    Arrived& slot = arrived_[uid];
    slot.range = part != nullptr;
    slot.counted = listed;
    waitingBytes_ += listed;
    auto done = session_.Then([this, uid](const MailResult& result, std::string& text, CMail::Held) {
      --inFlight_;
      Arrived& slot = arrived_[uid];
      slot.in = true;
      slot.ok = result.Ok();
      slot.text = std::move(text);
      waitingBytes_ -= std::min(waitingBytes_, slot.counted);
      slot.counted = slot.text.size() + 1;
      waitingBytes_ += slot.counted;
    });
    if (part != nullptr) {
      session_.Service().FetchRange(session_.Credentials(), m->info, static_cast<size_t>(part->first),
                                    static_cast<size_t>(part->size), done);
    } else {
      session_.Service().Fetch(session_.Credentials(), m->info, 0, done);
    }
  }
}

void Fetching::Forget(std::map<uint32_t, Arrived>::iterator slot) {
  waitingBytes_ -= std::min(waitingBytes_, slot->second.counted);
  arrived_.erase(slot);
}

CImapCommand::Step Fetching::Continue() {
  CImapMailbox& folder = *session_.Selected();
  if (markingRead_) {
    if (!marked_) return Step::Waits;  // a text came in meanwhile
    markingRead_ = marked_ = false;
    AfterReadMark();
  }
  while (next_ < uids_.size()) {
    if (session_.Congested()) {
      // No more messages are asked for while the client leaves them unread.
      session_.PauseForOutput();
      return Step::Waits;
    }
    const uint32_t uid = uids_[next_];
    const ImapMessage* m = folder.Find(uid);
    if (m == nullptr) {
      ++next_;  // expunged meanwhile
      auto slot = arrived_.find(uid);
      if (slot != arrived_.end() && slot->second.in) Forget(slot);
      continue;
    }
    text_ = needText_ ? session_.Text(m->info.id) : nullptr;
    summary_ = nullptr;
    if (needText_ && text_ == nullptr && !TakeSummary(summaryDoes_ ? session_.Known(m->info) : nullptr) &&
        session_.KeepCached(m->info)) {
      text_ = session_.Text(m->info.id);
    }
    if (needText_ && text_ == nullptr) {
      auto found = arrived_.find(uid);
      if (found == arrived_.end()) {
        // Not asked for yet, or passed over while its text was still kept.
        asked_ = next_;
        AskAhead(folder);
        return Step::Waits;
      }
      AskAhead(folder);
      if (!found->second.in) return Step::Waits;
      Arrived got = std::move(found->second);
      Forget(found);
      if (!got.ok && got.range) {
        wholeOnly_.insert(uid);  // the service would not give the range: the whole text then
        continue;
      }
      if (!got.ok) {
        failed_ = true;
        ++next_;
        continue;
      }
      if (got.range && TakeSummary(session_.Known(m->info))) {
        range_ = std::make_shared<const std::string>(std::move(got.text));
      } else {
        session_.Learn(m->info, std::move(got.text), !summaryDoes_);
        text_ = session_.Text(m->info.id);
      }
    }
    bool markRead = false;
    std::vector<COutputPiece> response = Response(*m, static_cast<size_t>(m - folder.Messages().data()), &markRead);
    ++next_;
    // The response holds what it needs of a large text: the next is not
    // downloaded beside it.
    range_.reset();
    session_.DropLargeText();
    text_ = nullptr;
    if (markRead) {
      pending_ = std::move(response);
      markingRead_ = true;
      session_.Service().SetRead(session_.Credentials(), m->info, true,
                                 session_.Then([this](const MailResult& result) {
                                   ok_ = result.Ok();
                                   marked_ = true;
                                 }));
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
    std::string& tail = pending_.back().own;  // the response ends with a piece of its own
    tail.insert(tail.rfind(")\r\n"), " FLAGS " + session_.Selected()->Flags(*m));
  }
  session_.Send(std::move(pending_));
  pending_.clear();
}

std::string Fetching::Part(ImapSection::Text part) const {
  ImapSection section;
  section.text = part;
  std::string bytes;
  CImapBody::Section(*text_, Tree(), section, bytes);
  return bytes;
}

std::shared_ptr<const std::string> Fetching::HeldText() const {
  const std::shared_ptr<const std::string>& kept = session_.HeldText();
  return kept.get() == text_ ? kept : std::make_shared<const std::string>(*text_);
}

// The items are appended to one string; a long literal ends that string's
// piece, and goes out as a piece of its own, sent from the text it is part
// of: the message's text is not copied into the response.
std::vector<COutputPiece> Fetching::Response(const ImapMessage& m, size_t index, bool* markRead) {
  const CImapMailbox& folder = *session_.Selected();
  std::vector<COutputPiece> pieces;
  std::string out = "* " + std::to_string(index + 1) + " FETCH (";
  bool empty = true;
  auto item = [&out, &empty](const char* name) -> std::string& {
    if (!empty) out += ' ';
    empty = false;
    return out.append(name);
  };
  // [offset, offset + length) of `text`, cut to what it has.
  auto literal = [&out, &pieces](const std::shared_ptr<const std::string>& text, size_t offset, size_t length) {
    const std::string_view bytes = COutputPiece(text, offset, length).Bytes();
    out.append(" ");
    if (bytes.size() < kHeldLiteral) return CImapWriter::AppendLiteral(out, bytes);
    out.append("{").append(std::to_string(bytes.size())).append("}\r\n");
    pieces.emplace_back(std::move(out));
    pieces.emplace_back(text, offset, bytes.size());
    out = std::string();
  };
  // A section made for this response, held for its literal.
  auto made = [](std::string bytes) { return std::make_shared<const std::string>(std::move(bytes)); };
  bool uidShown = false;
  *markRead = false;
  for (const ImapFetchItem& it : items_) {
    if (SetsSeen(it) && !m.info.read && !folder.ReadOnly()) *markRead = true;
  }
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
      case K::Envelope: item("ENVELOPE ") += CImapBody::Envelope(*text_, Tree()); break;
      case K::BodyStructure:
        item("BODYSTRUCTURE ") += summary_ ? summary_->structure : CImapBody::Structure(*text_, Tree(), true);
        break;
      case K::Body: item("BODY ") += summary_ ? summary_->body : CImapBody::Structure(*text_, Tree(), false); break;
      case K::Rfc822:
        item("RFC822");
        literal(HeldText(), 0, std::string::npos);
        break;
      case K::Rfc822Header:
        item("RFC822.HEADER");
        literal(made(Part(ImapSection::Text::Header)), 0, std::string::npos);
        break;
      case K::Rfc822Text:
        item("RFC822.TEXT");
        literal(made(Part(ImapSection::Text::Text)), 0, std::string::npos);
        break;
      case K::BodySection: {
        item("BODY[") += it.section.sectionText + "]";
        if (it.partial) out += "<" + std::to_string(it.offset) + ">";
        // The whole message is its text as held; any other section a copy.
        const bool whole = it.section.part.empty() && it.section.text == ImapSection::Text::All;
        const bool ranged = range_ && &it == &items_[rangeItem_];
        std::shared_ptr<const std::string> bytes = whole ? HeldText() : range_;
        if (!whole && !ranged) {
          std::string section;
          CImapBody::Section(*text_, Tree(), it.section, section);
          bytes = made(std::move(section));
        }
        literal(bytes, it.partial ? it.offset : 0, it.partial ? it.length : std::string::npos);
        break;
      }
    }
  }
  if (uid_ && !uidShown) item("UID ") += std::to_string(m.uid);
  pieces.emplace_back(std::move(out.append(")\r\n")));
  return pieces;
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
