#include "imap/ImapSearch.h"

#include <algorithm>
#include <vector>

#include "imap/ListingDate.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive (ASCII) substring search, without a copy of the text.
bool Contains(std::string::const_iterator begin, std::string::const_iterator end, const std::string& needle) {
  return std::search(begin, end, needle.begin(), needle.end(), [](char a, char b) { return Lower(a) == Lower(b); }) !=
         end;
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return Contains(haystack.begin(), haystack.end(), needle);
}

// An address list as FROM and TO search it: comments taken out, and the
// blanks around '@' ("<a (x)@ (y) b.org>" reads "<a@b.org>").
std::string AddressText(const std::string& value) {
  std::string out;
  int depth = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\' && depth > 0) {
      ++i;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (depth == 0) {
      out.push_back(c);
    }
  }
  for (size_t at = out.find('@'); at != std::string::npos; at = out.find('@', at + 1)) {
    while (at > 0 && (out[at - 1] == ' ' || out[at - 1] == '\t')) out.erase(--at, 1);
    while (at + 1 < out.size() && (out[at + 1] == ' ' || out[at + 1] == '\t')) out.erase(at + 1, 1);
  }
  return out;
}

bool AddressContains(const std::string& value, const std::string& needle) {
  return Contains(value, needle) || Contains(AddressText(value), needle);
}

bool HeaderContains(const CImapSearch::Text* text, const std::string& name, const std::string& needle) {
  std::string value;
  if (text == nullptr || !text->root.Header(text->bytes, name.c_str(), value, true)) return false;
  return Contains(value, needle);
}

// -1, 0 or 1 as the message's Date is before, on or after `day`. A
// message without a readable Date counts as sent on 1 January 1970, as the
// reference server takes it.
int CompareSent(const CImapSearch::Text& text, int day) {
  std::string value;
  int sent = 0;
  if (!text.root.Header(text.bytes, "Date", value) || !CImapSearch::SentDay(value, &sent)) sent = 0;
  return sent < day ? -1 : sent > day ? 1 : 0;
}

// BODY looks in the parts' contents, not in their MIME headers nor in the
// header of a message a part carries.
bool BodyContains(const std::string& bytes, const CMimePart& part, const std::string& needle) {
  if (part.IsMultipart() || (part.IsMessage() && !part.children.empty())) {
    for (const auto& child : part.children) {
      if (BodyContains(bytes, *child, needle)) return true;
    }
    return false;
  }
  return Contains(bytes.begin() + static_cast<long>(part.bodyBegin), bytes.begin() + static_cast<long>(part.bodyEnd),
                  needle);
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

bool CImapSearch::NeedsBody(const ImapSearchKey& key) {
  using K = ImapSearchKey::Kind;
  if (key.kind == K::Body || key.kind == K::Text) return true;
  for (const ImapSearchKey& child : key.children) {
    if (NeedsBody(child)) return true;
  }
  return false;
}

bool CImapSearch::SentDay(const std::string& value, int* days) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  // [day-of-week ","] day month year ...
  std::string text = value.substr(value.find(',') == std::string::npos ? 0 : value.find(',') + 1);
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (c == ' ' || c == '\t' || c == '-') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (words.size() == 3) break;
    } else {
      word.push_back(Lower(c));
    }
  }
  if (words.size() < 3) return false;
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (words[1].compare(0, 3, kMonths[i]) == 0) month = i + 1;
  }
  uint32_t day = 0, year = 0;
  if (month == 0 || !CImapParser::ParseNumber(words[0], &day) || day > 31 ||
      !CImapParser::ParseNumber(words[2], &year, true) || year > 9999) {
    return false;
  }
  // Two and three digits: RFC 5322's obsolete years.
  if (words[2].size() <= 2) year += year < 50 ? 2000 : 1900;
  else if (words[2].size() == 3) year += 1900;
  *days = static_cast<int>(CListingDate::DaysFromCivil(static_cast<int>(year), month, static_cast<int>(day)));
  return true;
}

bool CImapSearch::Matches(const ImapSearchKey& key, const CImapMailbox& mailbox, size_t index, const Text* text) {
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
    case K::Recent: return m.recent;
    case K::New: return m.recent && !m.info.read;
    case K::Old: return !m.recent;
    case K::Keyword: return has(key.text.c_str());
    case K::Unkeyword: return !has(key.text.c_str());
    case K::Sequence: return key.set.Contains(static_cast<uint32_t>(index + 1), count);
    case K::Uid: return key.set.Contains(m.uid, mailbox.LargestUid());
    case K::From: return AddressContains(m.info.from, key.text);
    case K::To: return AddressContains(m.info.to, key.text);
    case K::Subject: return Contains(m.info.subject, key.text);
    case K::Since: return Day(m.date) >= key.date;
    case K::Before: return Day(m.date) < key.date;
    case K::On: return Day(m.date) == key.date;
    case K::Larger: return static_cast<uint32_t>(m.info.size) > key.number;
    case K::Smaller: return static_cast<uint32_t>(m.info.size) < key.number;
    case K::Cc: return HeaderContains(text, "Cc", key.text);
    case K::Bcc: return HeaderContains(text, "Bcc", key.text);
    case K::Header:
      // An empty value asks only that the field be there.
      if (key.value.empty()) {
        std::string value;
        return text != nullptr && text->root.Header(text->bytes, key.text.c_str(), value);
      }
      return HeaderContains(text, key.text, key.value);
    case K::Body: return text != nullptr && BodyContains(text->bytes, text->root, key.text);
    case K::Text: return text != nullptr && Contains(text->bytes, key.text);
    case K::SentBefore: return text != nullptr && CompareSent(*text, key.date) < 0;
    case K::SentOn: return text != nullptr && CompareSent(*text, key.date) == 0;
    case K::SentSince: return text != nullptr && CompareSent(*text, key.date) >= 0;
    case K::Not: return !Matches(key.children[0], mailbox, index, text);
    case K::Or:
      return Matches(key.children[0], mailbox, index, text) || Matches(key.children[1], mailbox, index, text);
    case K::And:
      for (const ImapSearchKey& child : key.children) {
        if (!Matches(child, mailbox, index, text)) return false;
      }
      return true;
    default:
      return false;
  }
}
