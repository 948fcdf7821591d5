#include "imap/ImapSearch.h"

namespace {

std::string Folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return Folded(haystack).find(Folded(needle)) != std::string::npos;
}

int Day(int64_t seconds) {
  int64_t day = seconds / 86400;
  if (seconds < 0 && seconds % 86400 != 0) --day;
  return static_cast<int>(day);
}

}  // namespace

bool CImapSearch::NeedsText(const ImapSearchKey& key) {
  using K = ImapSearchKey::Kind;
  switch (key.kind) {
    case K::Cc: case K::Bcc: case K::Body: case K::Text: case K::Header:
    case K::SentSince: case K::SentBefore: case K::SentOn:
      return true;
    default:
      break;
  }
  for (const ImapSearchKey& child : key.children) {
    if (NeedsText(child)) return true;
  }
  return false;
}

bool CImapSearch::Matches(const ImapSearchKey& key, const CImapMailbox& mailbox, size_t index) {
  using K = ImapSearchKey::Kind;
  const ImapMessage& m = mailbox.Messages()[index];
  uint32_t count = static_cast<uint32_t>(mailbox.Messages().size());
  auto has = [&](const char* flag) { return m.otherFlags.count(flag) != 0; };
  switch (key.kind) {
    case K::All: return true;
    case K::Seen: return m.info.read;
    case K::Unseen: return !m.info.read;
    case K::Deleted: return m.deleted;
    case K::Undeleted: return !m.deleted;
    case K::Answered: return has("\\Answered");
    case K::Unanswered: return !has("\\Answered");
    case K::Flagged: return has("\\Flagged");
    case K::Unflagged: return !has("\\Flagged");
    case K::Draft: return has("\\Draft");
    case K::Undraft: return !has("\\Draft");
    case K::Recent: case K::New: return false;  // no message is recent to this server
    case K::Old: return true;
    case K::Keyword: return has(key.text.c_str());
    case K::Unkeyword: return !has(key.text.c_str());
    case K::Sequence: return key.set.Contains(static_cast<uint32_t>(index + 1), count);
    case K::Uid: return key.set.Contains(m.uid, mailbox.LargestUid());
    case K::From: return Contains(m.info.from, key.text);
    case K::To: return Contains(m.info.to, key.text);
    case K::Subject: return Contains(m.info.subject, key.text);
    case K::Since: return Day(m.info.date) >= key.date;
    case K::Before: return Day(m.info.date) < key.date;
    case K::On: return Day(m.info.date) == key.date;
    case K::Larger: return m.info.size > key.number;
    case K::Smaller: return m.info.size < key.number;
    case K::Not: return !Matches(key.children[0], mailbox, index);
    case K::Or: return Matches(key.children[0], mailbox, index) || Matches(key.children[1], mailbox, index);
    case K::And:
      for (const ImapSearchKey& child : key.children) {
        if (!Matches(child, mailbox, index)) return false;
      }
      return true;
    default:
      return false;
  }
}
