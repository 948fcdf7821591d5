#include "imap/MimePart.h"

#include <algorithm>

#include "config/Ascii.h"

namespace {

constexpr int kMaxDepth = 20;
constexpr size_t kMaxParts = 500;
constexpr size_t kMaxPeekedHeader = 64 * 1024;

bool SameName(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// End of the line that starts at `pos` (past its LF), or `end`.
size_t LineEnd(const std::string& text, size_t pos, size_t end) {
  size_t lf = text.find('\n', pos);
  return lf == std::string::npos || lf >= end ? end : lf + 1;
}

bool BlankLine(const std::string& text, size_t pos, size_t lineEnd) {
  size_t n = lineEnd - pos;
  return (n == 1 && text[pos] == '\n') || (n == 2 && text[pos] == '\r' && text[pos + 1] == '\n');
}

size_t CountLines(const std::string& text, size_t begin, size_t end) {
  size_t lines = 0;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] == '\n') ++lines;
  }
  if (end > begin && text[end - 1] != '\n') ++lines;
  return lines;
}

// Removes (comments) outside quoted strings.
std::string WithoutComments(const std::string& text) {
  std::string out;
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      out.push_back(c);
      if (c == '\\' && i + 1 < text.size()) {
        out.push_back(text[++i]);
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (depth > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++depth;
      else if (c == ')') --depth;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else {
      if (c == '"') quoted = true;
      out.push_back(c);
    }
  }
  return out;
}

// One piece of an RFC 2231 continued parameter: NAME*N or NAME*N*.
struct Segment {
  std::string name;
  unsigned number = 0;
  bool encoded = false;
  std::string value;
};

bool ReadSegment(const std::string& name, Segment& segment) {
  size_t star = name.find('*');
  if (star == std::string::npos || star == 0) return false;
  size_t end = name.size();
  segment.encoded = name.back() == '*' && end > star + 1;
  if (segment.encoded) --end;
  if (end == star + 1 || end - star - 1 > 4) return false;
  unsigned number = 0;
  for (size_t i = star + 1; i < end; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + static_cast<unsigned>(name[i] - '0');
  }
  segment.name = name.substr(0, star);
  segment.number = number;
  return true;
}

// Joins continued parameters in number order into one: NAME* when a piece
// is encoded (the value stays encoded), NAME otherwise.
void JoinSegments(std::vector<Segment>& segments, CMimePart::Params& params) {
  std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return a.name != b.name ? a.name < b.name : a.number < b.number;
  });
  for (size_t i = 0; i < segments.size();) {
    size_t j = i;
    bool encoded = false;
    std::string value;
    for (; j < segments.size() && segments[j].name == segments[i].name; ++j) {
      encoded = encoded || segments[j].encoded;
      value += segments[j].value;
    }
    params.emplace_back(segments[i].name + (encoded ? "*" : ""), value);
    i = j;
  }
}

std::string PercentDecoded(const std::string& text) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

CMimePart::~CMimePart() {}

std::string CMimePart::Trim(const std::string& text) {
  size_t a = text.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = text.find_last_not_of(" \t\r\n");
  return text.substr(a, b - a + 1);
}

std::string CMimePart::Unquote(const std::string& text) {
  std::string value = Trim(text);
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return value;
  std::string out;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) ++i;
    out.push_back(value[i]);
  }
  return out;
}

std::unique_ptr<CMimePart> CMimePart::Parse(const std::string& text) {
  size_t budget = kMaxParts;
  return ParseRange(text, 0, text.size(), false, 0, budget);
}

std::unique_ptr<CMimePart> CMimePart::ParseRange(const std::string& text, size_t begin, size_t end,
                                                 bool digestDefault, int depth, size_t& budget) {
  std::unique_ptr<CMimePart> part(new CMimePart);
  if (budget > 0) --budget;
  part->ReadHeader(text, begin, end);
  part->ReadContentType(text, digestDefault);
  part->lines = CountLines(text, part->bodyBegin, part->bodyEnd);
  if (depth >= kMaxDepth || budget == 0) return part;
  if (part->IsMultipart()) {
    std::string boundary = part->Boundary();
    if (!boundary.empty()) part->SplitMultipart(text, boundary, depth, budget);
    if (part->children.empty()) {
      // No boundary, or none in the body: still a multipart, whose one
      // part is empty (the header says multipart; clients expect parts).
      std::unique_ptr<CMimePart> empty(new CMimePart);
      empty->headerBegin = empty->headerEnd = empty->bodyBegin = empty->bodyEnd = part->bodyBegin;
      empty->params = {{"CHARSET", "us-ascii"}};
      part->children.push_back(std::move(empty));
    }
  } else if (part->IsMessage()) {
    part->children.push_back(ParseRange(text, part->bodyBegin, part->bodyEnd, false, depth + 1, budget));
  }
  return part;
}

void CMimePart::ReadHeader(const std::string& text, size_t begin, size_t end) {
  headerBegin = begin;
  size_t pos = begin;
  while (pos < end) {
    size_t next = LineEnd(text, pos, end);
    if (BlankLine(text, pos, next)) {
      headerEnd = bodyBegin = next;
      bodyEnd = end;
      return;
    }
    char first = text[pos];
    if ((first == ' ' || first == '\t') && !fields.empty() && fields.back().end == pos) {
      fields.back().end = next;
    } else {
      size_t colon = text.find(':', pos);
      if (colon != std::string::npos && colon < next && colon > pos) {
        std::string name = text.substr(pos, colon - pos);
        if (name.find_first_of(" \t") == std::string::npos) fields.push_back({name, pos, next});
      }
    }
    pos = next;
  }
  // No blank line: all of it is header.
  headerEnd = bodyBegin = bodyEnd = end;
}

bool CMimePart::Header(const std::string& text, const char* name, std::string& value, bool all) const {
  value.clear();
  bool found = false;
  for (const Field& field : fields) {
    if (!SameName(field.name, name)) continue;
    std::string one;
    size_t start = field.begin + field.name.size() + 1;
    for (size_t i = start; i < field.end; ++i) {
      char c = text[i];
      if (c == '\r' || c == '\n') continue;
      // A fold's tab reads as the space it stands for.
      one.push_back(c == '\t' && i > start && text[i - 1] == '\n' ? ' ' : c);
    }
    one = Trim(one);
    if (found && one.empty()) continue;
    value += (found && !value.empty() ? "," : "") + one;
    found = true;
    if (!all) break;
  }
  return found;
}

void CMimePart::SplitParams(const std::string& value, std::string& first, Params& params) {
  params.clear();
  std::string clean = WithoutComments(value);
  // Split at semicolons outside quotes.
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false;
  for (size_t i = 0; i < clean.size(); ++i) {
    char c = clean[i];
    if (quoted && c == '\\' && i + 1 < clean.size()) {
      piece.push_back(c);
      piece.push_back(clean[++i]);
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (c == ';' && !quoted) {
      pieces.push_back(piece);
      piece.clear();
      continue;
    }
    piece.push_back(c);
  }
  pieces.push_back(piece);
  first = Trim(pieces[0]);
  std::vector<Segment> segments;
  for (size_t i = 1; i < pieces.size(); ++i) {
    size_t eq = pieces[i].find('=');
    if (eq == std::string::npos) continue;
    std::string name = AsciiUpper(Trim(pieces[i].substr(0, eq)));
    if (name.empty()) continue;
    std::string value = Unquote(pieces[i].substr(eq + 1));
    Segment segment;
    if (ReadSegment(name, segment)) {
      segment.value = value;
      segments.push_back(segment);
    } else {
      params.emplace_back(name, value);
    }
  }
  JoinSegments(segments, params);
}

std::string CMimePart::Boundary() const {
  for (const auto& param : params) {
    if (param.first == "BOUNDARY") return param.second;
  }
  for (const auto& param : params) {
    // RFC 2231: charset'language'value, %XX for bytes.
    if (param.first != "BOUNDARY*") continue;
    size_t quote = param.second.find('\'');
    size_t second = quote == std::string::npos ? quote : param.second.find('\'', quote + 1);
    return PercentDecoded(second == std::string::npos ? param.second : param.second.substr(second + 1));
  }
  return "";
}

void CMimePart::ReadContentType(const std::string& text, bool digestDefault) {
  std::string value;
  if (digestDefault) {
    type = "MESSAGE";
    subtype = "RFC822";
  }
  if (!Header(text, "Content-Type", value)) {
    if (!digestDefault) params = {{"CHARSET", "us-ascii"}};
    return;
  }
  std::string first;
  Params found;
  SplitParams(value, first, found);
  size_t slash = first.find('/');
  std::string t = AsciiUpper(Trim(first.substr(0, slash)));
  std::string s = slash == std::string::npos ? "" : AsciiUpper(Trim(first.substr(slash + 1)));
  if (t.empty() || s.empty() || t.find_first_of(" \t\"") != std::string::npos ||
      s.find_first_of(" \t\"") != std::string::npos) {
    // Unreadable: the default type, as if there were no such field.
    params = {{"CHARSET", "us-ascii"}};
    type = "TEXT";
    subtype = "PLAIN";
    return;
  }
  type = t;
  subtype = s;
  params = found;
}

size_t CMimePart::PastReusedBoundary(const std::string& text, size_t partStart, const std::string& boundary,
                                     bool digest) const {
  // Only the start of the part is read: a part without a blank line must
  // not cost a pass over the rest of the message for each delimiter.
  CMimePart peek;
  peek.ReadHeader(text, partStart, std::min(bodyEnd, partStart + kMaxPeekedHeader));
  peek.ReadContentType(text, digest);
  if (!peek.IsMultipart() || peek.Boundary() != boundary) return partStart;
  // A part that reuses this boundary (sent, though forbidden) takes the
  // delimiters up to its own close delimiter.
  const std::string close = "--" + boundary + "--";
  for (size_t pos = peek.bodyBegin; pos < bodyEnd;) {
    size_t next = LineEnd(text, pos, bodyEnd);
    if (text.compare(pos, close.size(), close) == 0 && pos + close.size() <= next &&
        Trim(text.substr(pos + close.size(), next - pos - close.size())).empty()) {
      return next;
    }
    pos = next;
  }
  return bodyEnd;
}

void CMimePart::SplitMultipart(const std::string& text, const std::string& boundary, int depth,
                               size_t& budget) {
  const std::string dashes = "--" + boundary;
  bool digest = subtype == "DIGEST";
  size_t pos = bodyBegin;
  size_t partStart = std::string::npos;
  while (pos < bodyEnd) {
    size_t next = LineEnd(text, pos, bodyEnd);
    if (text.compare(pos, dashes.size(), dashes) == 0 && pos + dashes.size() <= next) {
      size_t after = pos + dashes.size();
      bool closing = text.compare(after, 2, "--") == 0 && after + 2 <= next;
      if (closing) after += 2;
      size_t k = after;
      while (k < next && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r' || text[k] == '\n')) ++k;
      if (k == next) {
        if (partStart != std::string::npos) {
          // The line break before a delimiter belongs to the delimiter.
          size_t partEnd = pos;
          if (partEnd > partStart && text[partEnd - 1] == '\n') --partEnd;
          if (partEnd > partStart && text[partEnd - 1] == '\r') --partEnd;
          if (budget == 0) return;
          children.push_back(ParseRange(text, partStart, partEnd, digest, depth + 1, budget));
        }
        if (closing) return;
        partStart = next;
        next = PastReusedBoundary(text, partStart, boundary, digest);
      }
    }
    pos = next;
  }
  // No closing delimiter: the last part runs to the end.
  if (partStart != std::string::npos && budget > 0) {
    children.push_back(ParseRange(text, partStart, bodyEnd, digest, depth + 1, budget));
  }
}
