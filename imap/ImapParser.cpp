#include "imap/ImapParser.h"

#include <string.h>

#include <utility>

#include "config/Ascii.h"

namespace {

constexpr int kMaxListDepth = 16;


bool IsAtomChar(unsigned char c) {
  return c > ' ' && c < 0x7F && c != '(' && c != ')' && c != '{' && c != '"';
}

// Reads arguments of the raw command text from `pos`.
class ArgReader {
 public:
  ArgReader(const std::string& text, size_t pos) : text_(text), pos_(pos) {}

  bool ReadAll(std::vector<ImapArg>& args, std::string& error) {
    if (!ReadList(args, 0, error)) return false;
    if (pos_ != text_.size()) {
      error = "Unexpected ')'";
      return false;
    }
    return true;
  }

 private:
  // Arguments up to the end of the text (depth 0) or up to ')'.
  bool ReadList(std::vector<ImapArg>& args, int depth, std::string& error) {
    bool first = true;
    while (pos_ < text_.size()) {
      if (text_[pos_] == ')') return true;
      if (!first || depth == 0) {
        if (text_[pos_] != ' ') {
          error = "Missing space between arguments";
          return false;
        }
        ++pos_;
        if (pos_ == text_.size()) {
          error = "Trailing space";
          return false;
        }
      }
      first = false;
      ImapArg arg;
      if (!ReadArg(arg, depth, error)) return false;
      args.push_back(std::move(arg));
    }
    if (depth > 0) {
      error = "Missing ')'";
      return false;
    }
    return true;
  }

  bool ReadArg(ImapArg& arg, int depth, std::string& error) {
    char c = text_[pos_];
    if (c == '(') {
      if (depth + 1 > kMaxListDepth) {
        error = "Lists nested too deep";
        return false;
      }
      ++pos_;
      arg.kind = ImapArg::Kind::List;
      if (pos_ < text_.size() && text_[pos_] == ')') {
        ++pos_;
        return true;
      }
      if (!ReadInnerList(arg.list, depth + 1, error)) return false;
      if (pos_ >= text_.size() || text_[pos_] != ')') {
        error = "Missing ')'";
        return false;
      }
      ++pos_;
      return true;
    }
    if (c == '"') return ReadQuoted(arg, error);
    if (c == '{') return ReadLiteral(arg, error);
    return ReadAtom(arg, error);
  }

  bool ReadInnerList(std::vector<ImapArg>& list, int depth, std::string& error) {
    for (;;) {
      ImapArg arg;
      if (pos_ >= text_.size()) {
        error = "Missing ')'";
        return false;
      }
      if (!ReadArg(arg, depth, error)) return false;
      list.push_back(std::move(arg));
      if (pos_ < text_.size() && text_[pos_] == ' ') {
        ++pos_;
        continue;
      }
      return true;
    }
  }

  bool ReadQuoted(ImapArg& arg, std::string& error) {
    arg.kind = ImapArg::Kind::String;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\r' || c == '\n' || c == '\0') break;
      if (c == '\\') {
        if (++pos_ >= text_.size() || (text_[pos_] != '\\' && text_[pos_] != '"')) {
          error = "Invalid escape in quoted string";
          return false;
        }
        c = text_[pos_];
      }
      arg.text.push_back(c);
    }
    error = "Unterminated quoted string";
    return false;
  }

  bool ReadLiteral(ImapArg& arg, std::string& error) {
    size_t close = text_.find('}', pos_);
    std::string digits = close == std::string::npos ? "" : text_.substr(pos_ + 1, close - pos_ - 1);
    if (!digits.empty() && digits.back() == '+') digits.pop_back();
    uint32_t size = 0;
    if (close == std::string::npos || !CImapParser::ParseNumber(digits, &size, true) ||
        text_.compare(close + 1, 2, "\r\n") != 0 || text_.size() - (close + 3) < size) {
      error = "Invalid literal";
      return false;
    }
    arg.kind = ImapArg::Kind::String;
    arg.text = text_.substr(close + 3, size);
    pos_ = close + 3 + size;
    return true;
  }

  bool ReadAtom(ImapArg& arg, std::string& error) {
    arg.kind = ImapArg::Kind::Atom;
    size_t start = pos_;
    while (pos_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '[' && OpensSection(start)) {
        // A section runs to its ']', spaces and lists included.
        size_t close = text_.find(']', pos_);
        size_t crlf = text_.find_first_of("\r\n", pos_);
        if (close == std::string::npos || (crlf != std::string::npos && crlf < close)) {
          error = "Missing ']'";
          return false;
        }
        pos_ = close + 1;
        continue;
      }
      if (!IsAtomChar(c)) break;
      ++pos_;
    }
    if (pos_ == start) {
      error = "Invalid characters in atom";
      return false;
    }
    arg.text = text_.substr(start, pos_ - start);
    return true;
  }

  // Whether the atom read so far names a fetch item that takes a section;
  // anywhere else '[' is an ordinary atom character ("a[b" is a mailbox).
  bool OpensSection(size_t start) const {
    std::string head = AsciiUpper(text_.substr(start, pos_ - start));
    return head == "BODY" || head == "BODY.PEEK" || head == "BINARY" || head == "BINARY.PEEK" ||
           head == "BINARY.SIZE";
  }

  const std::string& text_;
  size_t pos_;
};

bool FetchAttribute(const std::string& upper, ImapFetchItem::Kind* kind) {
  static const struct {
    const char* name;
    ImapFetchItem::Kind kind;
  } kNames[] = {
      {"FLAGS", ImapFetchItem::Kind::Flags},
      {"UID", ImapFetchItem::Kind::Uid},
      {"RFC822.SIZE", ImapFetchItem::Kind::Rfc822Size},
      {"INTERNALDATE", ImapFetchItem::Kind::InternalDate},
      {"ENVELOPE", ImapFetchItem::Kind::Envelope},
      {"BODYSTRUCTURE", ImapFetchItem::Kind::BodyStructure},
      {"BODY", ImapFetchItem::Kind::Body},
      {"RFC822", ImapFetchItem::Kind::Rfc822},
      {"RFC822.HEADER", ImapFetchItem::Kind::Rfc822Header},
      {"RFC822.TEXT", ImapFetchItem::Kind::Rfc822Text},
  };
  for (const auto& row : kNames) {
    if (upper == row.name) {
      *kind = row.kind;
      return true;
    }
  }
  return false;
}

// "1.2.HEADER.FIELDS (A B)" and the like, without the brackets.
bool ParseSection(const std::string& text, ImapSection& section) {
  section.sectionText = text;
  size_t pos = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    size_t dot = text.find('.', pos);
    size_t end = dot == std::string::npos ? text.size() : dot;
    uint32_t n = 0;
    if (!CImapParser::ParseNumber(text.substr(pos, end - pos), &n)) return false;
    section.part.push_back(n);
    if (dot == std::string::npos) return true;
    pos = dot + 1;
    if (pos == text.size()) return false;
  }
  std::string rest = text.substr(pos);
  std::string upper = AsciiUpper(rest);
  if (upper.empty()) return pos == 0;
  if (upper == "HEADER") {
    section.text = ImapSection::Text::Header;
    return true;
  }
  if (upper == "TEXT") {
    section.text = ImapSection::Text::Text;
    return true;
  }
  if (upper == "MIME") {
    section.text = ImapSection::Text::Mime;
    return !section.part.empty();
  }
  const char* kind = nullptr;
  if (upper.compare(0, 19, "HEADER.FIELDS.NOT (") == 0) {
    section.text = ImapSection::Text::HeaderFieldsNot;
    kind = "HEADER.FIELDS.NOT";
  } else if (upper.compare(0, 15, "HEADER.FIELDS (") == 0) {
    section.text = ImapSection::Text::HeaderFields;
    kind = "HEADER.FIELDS";
  } else {
    return false;
  }
  std::string list = rest.substr(strlen(kind) + 1);
  // The field list is one parenthesised list of astrings.
  std::vector<ImapArg> args;
  std::string error, tag, name;
  if (!CImapParser::ParseCommand("x X " + list, tag, name, args, error)) return false;
  if (args.size() != 1 || args[0].kind != ImapArg::Kind::List || args[0].list.empty()) return false;
  for (const ImapArg& field : args[0].list) {
    if (!field.IsAstring() || field.text.empty()) return false;
    section.fields.push_back(AsciiUpper(field.text));
  }
  return true;
}

bool ParseOneFetchItem(const ImapArg& arg, ImapFetchItem& item) {
  if (arg.kind != ImapArg::Kind::Atom) return false;
  std::string text = arg.text;
  size_t bracket = text.find('[');
  std::string head = AsciiUpper(text.substr(0, bracket));
  if (bracket == std::string::npos) {
    return FetchAttribute(head, &item.kind);
  }
  if (head == "BODY.PEEK") {
    item.peek = true;
  } else if (head != "BODY") {
    return false;
  }
  item.kind = ImapFetchItem::Kind::BodySection;
  size_t close = text.find(']', bracket);
  if (!ParseSection(text.substr(bracket + 1, close - bracket - 1), item.section)) return false;
  std::string tail = text.substr(close + 1);
  if (tail.empty()) return true;
  // <offset.length>
  size_t dot = tail.find('.');
  if (tail.front() != '<' || tail.back() != '>' || dot == std::string::npos) return false;
  if (!CImapParser::ParseNumber(tail.substr(1, dot - 1), &item.offset, true) ||
      !CImapParser::ParseNumber(tail.substr(dot + 1, tail.size() - dot - 2), &item.length)) {
    return false;
  }
  item.partial = true;
  return true;
}

bool Macro(const std::string& upper, std::vector<ImapFetchItem>& items) {
  using K = ImapFetchItem::Kind;
  std::vector<K> kinds;
  if (upper == "ALL") {
    kinds = {K::Flags, K::InternalDate, K::Rfc822Size, K::Envelope};
  } else if (upper == "FAST") {
    kinds = {K::Flags, K::InternalDate, K::Rfc822Size};
  } else if (upper == "FULL") {
    kinds = {K::Flags, K::InternalDate, K::Rfc822Size, K::Envelope, K::Body};
  } else {
    return false;
  }
  for (K kind : kinds) {
    ImapFetchItem item;
    item.kind = kind;
    items.push_back(item);
  }
  return true;
}

}  // namespace

bool ImapArg::IsAtom(const char* upperName) const {
  return kind == Kind::Atom && AsciiUpper(text) == upperName;
}

bool CSequenceSet::Contains(uint32_t n, uint32_t largest) const {
  for (const Range& r : ranges) {
    uint32_t a = r.first == 0 ? largest : r.first;
    uint32_t b = r.last == 0 ? largest : r.last;
    if (a > b) std::swap(a, b);
    if (n >= a && n <= b) return true;
  }
  return false;
}

bool CSequenceSet::WithinRange(uint32_t largest) const {
  for (const Range& r : ranges) {
    if (r.first > largest || r.last > largest) return false;
  }
  return true;
}

bool CImapParser::ParseNumber(const std::string& text, uint32_t* value, bool allowZero) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFu || (n == 0 && !allowZero)) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

bool CImapParser::ParseSequenceSet(const std::string& text, CSequenceSet& set) {
  set.ranges.clear();
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t colon = item.find(':');
    std::string a = item.substr(0, colon);
    std::string b = colon == std::string::npos ? a : item.substr(colon + 1);
    CSequenceSet::Range range{0, 0};
    if ((a != "*" && !ParseNumber(a, &range.first)) || (b != "*" && !ParseNumber(b, &range.last))) {
      set.ranges.clear();
      return false;
    }
    set.ranges.push_back(range);
    if (comma == std::string::npos) return true;
    pos = comma + 1;
  }
}

bool CImapParser::ParseCommand(const std::string& raw, std::string& tag, std::string& name,
                               std::vector<ImapArg>& args, std::string& error) {
  tag = "*";
  name.clear();
  args.clear();
  size_t pos = 0;
  while (pos < raw.size() && IsAtomChar(static_cast<unsigned char>(raw[pos])) && raw[pos] != '+' &&
         raw[pos] != '[' && raw[pos] != ']' && raw[pos] != '*' && raw[pos] != '%' && raw[pos] != '\\') {
    ++pos;
  }
  if (pos == 0 || (pos < raw.size() && raw[pos] != ' ')) {
    error = "Invalid tag";
    return false;
  }
  tag = raw.substr(0, pos);
  if (pos == raw.size()) {
    error = "Missing command";
    return false;
  }
  size_t start = ++pos;
  while (pos < raw.size() && ((raw[pos] >= 'A' && raw[pos] <= 'Z') || (raw[pos] >= 'a' && raw[pos] <= 'z'))) {
    ++pos;
  }
  name = AsciiUpper(raw.substr(start, pos - start));
  if (name.empty() || (pos < raw.size() && raw[pos] != ' ')) {
    error = "Invalid command name";
    name.clear();
    return false;
  }
  if (name == "UID" && pos < raw.size()) {
    size_t sub = ++pos;
    while (pos < raw.size() && ((raw[pos] >= 'A' && raw[pos] <= 'Z') || (raw[pos] >= 'a' && raw[pos] <= 'z'))) {
      ++pos;
    }
    name += " " + AsciiUpper(raw.substr(sub, pos - sub));
    if (pos == sub || (pos < raw.size() && raw[pos] != ' ')) {
      error = "Invalid UID command";
      return false;
    }
  }
  ArgReader reader(raw, pos);
  return reader.ReadAll(args, error);
}

bool CImapParser::ParseFetchItems(const std::vector<ImapArg>& args, size_t first,
                                  std::vector<ImapFetchItem>& items, std::string& error) {
  items.clear();
  if (args.size() != first + 1) {
    error = args.size() <= first ? "Missing fetch items" : "Too many arguments";
    return false;
  }
  const ImapArg& arg = args[first];
  if (arg.kind == ImapArg::Kind::Atom && Macro(AsciiUpper(arg.text), items)) return true;
  const std::vector<ImapArg>* list = &arg.list;
  std::vector<ImapArg> single;
  if (arg.kind != ImapArg::Kind::List) {
    single.push_back(arg);
    list = &single;
  }
  if (list->empty()) {
    error = "Empty fetch item list";
    return false;
  }
  for (const ImapArg& one : *list) {
    ImapFetchItem item;
    if (!ParseOneFetchItem(one, item)) {
      error = "Invalid fetch item " + (one.kind == ImapArg::Kind::Atom ? one.text.substr(0, 40) : "list");
      return false;
    }
    items.push_back(item);
  }
  return true;
}

bool CImapParser::ParseStore(const std::vector<ImapArg>& args, size_t first, ImapStore& store,
                             std::string& error) {
  if (args.size() < first + 2 || args[first].kind != ImapArg::Kind::Atom) {
    error = "Missing store arguments";
    return false;
  }
  std::string item = AsciiUpper(args[first].text);
  store.mode = ImapStore::Mode::Replace;
  if (!item.empty() && (item[0] == '+' || item[0] == '-')) {
    store.mode = item[0] == '+' ? ImapStore::Mode::Add : ImapStore::Mode::Remove;
    item.erase(0, 1);
  }
  store.silent = item == "FLAGS.SILENT";
  if (item != "FLAGS" && !store.silent) {
    error = "Invalid store item";
    return false;
  }
  store.flags.clear();
  std::vector<ImapArg> flat(args.begin() + static_cast<long>(first) + 1, args.end());
  if (flat.size() == 1 && flat[0].kind == ImapArg::Kind::List) flat = flat[0].list;
  for (const ImapArg& flag : flat) {
    if (flag.kind != ImapArg::Kind::Atom || flag.text.find_first_of("[]") != std::string::npos) {
      error = "Invalid flag";
      return false;
    }
    store.flags.push_back(flag.text);
  }
  return true;
}

std::string CImapParser::MailboxName(const ImapArg& arg) {
  if (AsciiUpper(arg.text) == "INBOX") return "INBOX";
  return arg.text;
}
