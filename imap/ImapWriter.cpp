#include "imap/ImapWriter.h"

namespace {

constexpr size_t kLongestQuoted = 1024;

bool Quotable(const std::string& text) {
  if (text.size() > kLongestQuoted) return false;
  for (unsigned char c : text) {
    if (c == 0 || c == '\r' || c == '\n' || c >= 0x80) return false;
  }
  return true;
}

bool IsAtom(const std::string& text) {
  if (text.empty() || (text.size() == 3 && (text[0] | 0x20) == 'n' && (text[1] | 0x20) == 'i' &&
                        (text[2] | 0x20) == 'l')) {
    return false;  // would read as NIL
  }
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7F || c == '(' || c == ')' || c == '{' || c == '%' || c == '*' ||
        c == '"' || c == '\\' || c == ']') {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string CImapWriter::String(const std::string& text) {
  if (!Quotable(text)) return Literal(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string CImapWriter::NString(const std::string& text, bool present) {
  return present ? String(text) : "NIL";
}

std::string CImapWriter::NStringOrNil(const std::string& text) {
  return text.empty() ? "NIL" : String(text);
}

std::string CImapWriter::Astring(const std::string& text) {
  return IsAtom(text) && text.size() <= kLongestQuoted ? text : String(text);
}

std::string CImapWriter::Literal(const std::string& text) {
  std::string out;
  AppendLiteral(out, text);
  return out;
}

void CImapWriter::AppendLiteral(std::string& out, std::string_view text) {
  out.append("{").append(std::to_string(text.size())).append("}\r\n").append(text);
}
