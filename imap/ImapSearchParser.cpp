// CImapParser: SEARCH keys (RFC 3501 6.4.4) and the dates they name.
#include <string.h>

#include "config/Ascii.h"
#include "imap/ImapParser.h"
#include "imap/ListingDate.h"

namespace {

constexpr size_t kMaxSearchKeys = 1000;

class SearchReader {
 public:
  SearchReader(const std::vector<ImapArg>& args, std::string& error) : args_(args), error_(error) {}

  bool ReadKeys(const std::vector<ImapArg>& args, size_t pos, ImapSearchKey& key) {
    key.kind = ImapSearchKey::Kind::And;
    while (pos < args.size()) {
      ImapSearchKey child;
      if (!ReadKey(args, pos, child)) return false;
      key.children.push_back(std::move(child));
    }
    if (key.children.empty()) return Fail("Missing search key");
    return true;
  }

 private:
  bool Fail(const char* text) {
    if (error_.empty()) error_ = text;
    return false;
  }

  bool TakeString(const std::vector<ImapArg>& args, size_t& pos, std::string& out) {
    if (pos >= args.size() || !args[pos].IsAstring()) return Fail("Missing search argument");
    out = args[pos++].text;
    return true;
  }

  bool ReadKey(const std::vector<ImapArg>& args, size_t& pos, ImapSearchKey& key) {
    using K = ImapSearchKey::Kind;
    if (++count_ > kMaxSearchKeys) return Fail("Too many search keys");
    const ImapArg& arg = args[pos++];
    if (arg.kind == ImapArg::Kind::List) {
      if (arg.list.empty()) return Fail("Empty search list");
      return ReadKeys(arg.list, 0, key);
    }
    if (arg.kind != ImapArg::Kind::Atom) return Fail("Unknown search key");
    std::string name = AsciiUpper(arg.text);
    static const struct {
      const char* name;
      K kind;
    } kFlagKeys[] = {{"ALL", K::All},         {"SEEN", K::Seen},         {"UNSEEN", K::Unseen},
                     {"DELETED", K::Deleted}, {"UNDELETED", K::Undeleted}, {"ANSWERED", K::Answered},
                     {"UNANSWERED", K::Unanswered}, {"FLAGGED", K::Flagged}, {"UNFLAGGED", K::Unflagged},
                     {"DRAFT", K::Draft},     {"UNDRAFT", K::Undraft},   {"RECENT", K::Recent},
                     {"NEW", K::New},         {"OLD", K::Old}};
    for (const auto& row : kFlagKeys) {
      if (name == row.name) {
        key.kind = row.kind;
        return true;
      }
    }
    static const struct {
      const char* name;
      K kind;
    } kTextKeys[] = {{"FROM", K::From}, {"TO", K::To},     {"CC", K::Cc},
                     {"BCC", K::Bcc},   {"SUBJECT", K::Subject}, {"BODY", K::Body},
                     {"TEXT", K::Text}, {"KEYWORD", K::Keyword}, {"UNKEYWORD", K::Unkeyword}};
    for (const auto& row : kTextKeys) {
      if (name == row.name) {
        key.kind = row.kind;
        return TakeString(args, pos, key.text);
      }
    }
    static const struct {
      const char* name;
      K kind;
    } kDateKeys[] = {{"SINCE", K::Since},           {"BEFORE", K::Before},         {"ON", K::On},
                     {"SENTSINCE", K::SentSince},   {"SENTBEFORE", K::SentBefore}, {"SENTON", K::SentOn}};
    for (const auto& row : kDateKeys) {
      if (name == row.name) {
        key.kind = row.kind;
        std::string text;
        if (!TakeString(args, pos, text)) return false;
        if (!CImapParser::ParseDate(text, &key.date)) return Fail("Invalid search date");
        return true;
      }
    }
    if (name == "LARGER" || name == "SMALLER") {
      key.kind = name == "LARGER" ? K::Larger : K::Smaller;
      std::string text;
      if (!TakeString(args, pos, text)) return false;
      if (!CImapParser::ParseNumber(text, &key.number, true)) return Fail("Invalid search size");
      return true;
    }
    if (name == "HEADER") {
      key.kind = K::Header;
      return TakeString(args, pos, key.text) && TakeString(args, pos, key.value);
    }
    if (name == "UID") {
      key.kind = K::Uid;
      std::string text;
      if (!TakeString(args, pos, text)) return false;
      if (!CImapParser::ParseSequenceSet(text, key.set)) return Fail("Invalid UID set");
      return true;
    }
    if (name == "NOT") {
      key.kind = K::Not;
      if (pos >= args.size()) return Fail("Missing search key after NOT");
      key.children.emplace_back();
      return ReadKey(args, pos, key.children.back());
    }
    if (name == "OR") {
      key.kind = K::Or;
      for (int i = 0; i < 2; ++i) {
        if (pos >= args.size()) return Fail("Missing search key after OR");
        key.children.emplace_back();
        if (!ReadKey(args, pos, key.children.back())) return false;
      }
      return true;
    }
    if (CImapParser::ParseSequenceSet(arg.text, key.set)) {
      key.kind = K::Sequence;
      return true;
    }
    return Fail("Unknown search key");
  }

  const std::vector<ImapArg>& args_;
  std::string& error_;
  size_t count_ = 0;
};

}  // namespace

bool CImapParser::ParseSearch(const std::vector<ImapArg>& args, size_t first, ImapSearchKey& key,
                              std::string& error) {
  error.clear();
  if (first < args.size() && args[first].IsAtom("CHARSET")) {
    if (first + 1 >= args.size() || !args[first + 1].IsAstring()) {
      error = "Missing charset";
      return false;
    }
    std::string charset = AsciiUpper(args[first + 1].text);
    if (charset != "US-ASCII" && charset != "UTF-8") {
      error = "[BADCHARSET (US-ASCII UTF-8)] Unsupported charset";
      return false;
    }
    first += 2;
  }
  SearchReader reader(args, error);
  return reader.ReadKeys(args, first, key);
}

bool CImapParser::ParseDate(const std::string& text, int* days) {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  size_t dash1 = text.find('-');
  size_t dash2 = dash1 == std::string::npos ? dash1 : text.find('-', dash1 + 1);
  if (dash2 == std::string::npos || dash1 == 0 || dash1 > 2 || dash2 != dash1 + 4 ||
      text.size() != dash2 + 5) {
    return false;
  }
  uint32_t day = 0, year = 0;
  if (!ParseNumber(text.substr(0, dash1), &day) || !ParseNumber(text.substr(dash2 + 1), &year)) return false;
  std::string month = AsciiUpper(text.substr(dash1 + 1, 3));
  int m = -1;
  for (int i = 0; i < 12; ++i) {
    if (month == kMonths[i]) m = i + 1;
  }
  static const int kLength[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 0 || day > static_cast<uint32_t>(kLength[m - 1]) || year < 1900) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (m == 2 && day == 29 && !leap) return false;
  *days = static_cast<int>(CListingDate::DaysFromCivil(static_cast<int>(year), m, static_cast<int>(day)));
  return true;
}
