#include "imap/MimePart.h"

namespace {

constexpr int kMaxDepth = 20;
constexpr size_t kMaxParts = 500;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

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
    std::string boundary;
    for (const auto& param : part->params) {
      if (param.first == "BOUNDARY") boundary = param.second;
    }
    if (boundary.empty()) {
      // A multipart that names no boundary cannot be split: plain text.
      part->type = "TEXT";
      part->subtype = "PLAIN";
      part->params = {{"CHARSET", "us-ascii"}};
      return part;
    }
    part->SplitMultipart(text, boundary, depth, budget);
    if (part->children.empty()) {
      // No delimiter in the body: nothing to split, so plain text.
      part->type = "TEXT";
      part->subtype = "PLAIN";
      part->params = {{"CHARSET", "us-ascii"}};
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

bool CMimePart::Header(const std::string& text, const char* name, std::string& value) const {
  value.clear();
  for (const Field& field : fields) {
    if (!SameName(field.name, name)) continue;
    size_t start = field.begin + field.name.size() + 1;
    for (size_t i = start; i < field.end; ++i) {
      char c = text[i];
      if (c == '\r' || c == '\n') continue;
      value.push_back(c);
    }
    size_t lead = value.find_first_not_of(" \t");
    value.erase(0, lead == std::string::npos ? value.size() : lead);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    return true;
  }
  return false;
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
  for (size_t i = 1; i < pieces.size(); ++i) {
    size_t eq = pieces[i].find('=');
    if (eq == std::string::npos) continue;
    std::string name = Upper(Trim(pieces[i].substr(0, eq)));
    if (name.empty()) continue;
    params.emplace_back(name, Unquote(pieces[i].substr(eq + 1)));
  }
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
  std::string t = Upper(Trim(first.substr(0, slash)));
  std::string s = slash == std::string::npos ? "" : Upper(Trim(first.substr(slash + 1)));
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
      }
    }
    pos = next;
  }
  // No closing delimiter: the last part runs to the end.
  if (partStart != std::string::npos && budget > 0) {
    children.push_back(ParseRange(text, partStart, bodyEnd, digest, depth + 1, budget));
  }
}
