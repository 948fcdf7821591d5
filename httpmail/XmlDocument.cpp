// The parts of CXmlDocument that do not depend on the DOM behind it: error
// texts, how the bytes of a reply body are to be read, and the steps of a
// lookup path.
#include "XmlDocument.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "config/MessageText.h"

const HRESULT CXmlDocument::kPointerError = static_cast<HRESULT>(0x80004003UL);
const HRESULT CXmlDocument::kOutOfMemory = static_cast<HRESULT>(0x8007000EUL);
const HRESULT CXmlDocument::kUnspecifiedError = static_cast<HRESULT>(0x80004005UL);

namespace {

constexpr size_t kDeclarationScan = 512;  // an XML declaration is short

bool StartsWith(const std::string& s, const char* prefix, size_t n) {
  return s.size() >= n && memcmp(s.data(), prefix, n) == 0;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value of the encoding pseudo-attribute of a leading XML declaration,
// or empty when there is none.
std::string DeclaredEncoding(const std::string& body) {
  if (!StartsWith(body, "<?xml", 5) || body.size() < 6 || !IsXmlSpace(body[5])) return std::string();
  size_t end = body.find("?>");
  if (end == std::string::npos || end > kDeclarationScan) return std::string();
  const std::string decl = body.substr(0, end);
  size_t at = decl.find("encoding");
  if (at == std::string::npos) return std::string();
  size_t p = at + 8;
  while (p < decl.size() && IsXmlSpace(decl[p])) ++p;
  if (p >= decl.size() || decl[p] != '=') return std::string();
  ++p;
  while (p < decl.size() && IsXmlSpace(decl[p])) ++p;
  if (p >= decl.size() || (decl[p] != '"' && decl[p] != '\'')) return std::string();
  const char quote = decl[p++];
  size_t close = decl.find(quote, p);
  if (close == std::string::npos) return std::string();
  return decl.substr(p, close - p);
}

// True when the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = CXmlDocument::Utf8SequenceLength(text.substr(i));
    if (length == 0 || length == CXmlDocument::kUtf8Partial) return false;
    i += length;
  }
  return true;
}

// The characters of a name in a lookup path: ASCII, so that both builds
// compare them alike.
bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// The name at the start of `text`, which is taken past it; empty when none.
std::string_view TakeName(std::string_view& text) {
  size_t n = 0;
  if (!text.empty() && IsNameStart(text[0]))
    while (n < text.size() && IsNameChar(text[n])) ++n;
  const std::string_view name = text.substr(0, n);
  text.remove_prefix(n);
  return name;
}

bool NameIs(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (strcasecmp(name.c_str(), n) == 0) return true;
  return false;
}

}  // namespace

std::string CXmlDocument::Error::Text() const {
  if (!text_.empty()) return text_;
  std::string text =
      MessageText(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code));
  if (!text.empty()) {
    if (text.size() > 1) {
      if (text.back() == '\n') text.pop_back();
      if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return text;
  }
  char fallback[64];
  const unsigned long value = static_cast<unsigned long>(static_cast<DWORD>(code));
  if (value > 0x80040200UL && value <= 0x8004FFFFUL)
    snprintf(fallback, sizeof fallback, "IDispatch error #%d", static_cast<int>(value - 0x80040200UL));
  else
    snprintf(fallback, sizeof fallback, "Unknown error 0x%0lX", value);
  return fallback;
}

void CXmlDocument::BindPrefix(const std::string& prefix, const std::string& uri) {
  bindings_.push_back(Binding{prefix, uri});
}

bool CXmlDocument::ResolvePath(const char* path, std::vector<Step>& steps) const {
  steps.clear();
  std::string_view rest(path);
  do {
    if (!steps.empty()) rest.remove_prefix(1);  // the '/'
    Step step;
    step.localName = TakeName(rest);
    if (!rest.empty() && rest[0] == ':') {
      const std::string_view prefix = step.localName;
      rest.remove_prefix(1);
      step.localName = TakeName(rest);
      const auto bound = std::find_if(bindings_.rbegin(), bindings_.rend(),
                                      [&](const Binding& b) { return b.prefix == prefix; });
      // A prefix bound to no URI at all names nothing.
      if (prefix.empty() || bound == bindings_.rend() || bound->uri.empty()) return false;
      step.uri = bound->uri;
    }
    if (step.localName.empty()) return false;
    steps.push_back(step);
  } while (!rest.empty() && rest[0] == '/');
  return rest.empty();
}

CXmlDocument::Encoding CXmlDocument::DetectEncoding(const std::string& body, std::string& name) {
  Encoding encoding = Encoding::Utf8;
  if (DetectMarkedEncoding(body, encoding, name)) return encoding;
  // Undeclared, XML means UTF-8; a service that writes its own code page
  // without saying so is still read when the bytes are not UTF-8.
  return IsUtf8(std::string_view(body).substr(0, body.find('\0'))) ? Encoding::Utf8 : Encoding::Cp932;
}

bool CXmlDocument::DetectMarkedEncoding(const std::string& head, Encoding& encoding, std::string& name) {
  name.clear();
  encoding = Encoding::Utf8;
  if (StartsWith(head, "\xEF\xBB\xBF", 3)) return true;
  encoding = Encoding::Utf16LE;
  if (StartsWith(head, "\xFF\xFE", 2)) return true;
  // UTF-16 without a byte-order mark still starts with "<?".
  if (StartsWith(head, std::string("<\0?\0", 4).c_str(), 4)) return true;
  encoding = Encoding::Utf16BE;
  if (StartsWith(head, "\xFE\xFF", 2)) return true;
  if (StartsWith(head, std::string("\0<\0?", 4).c_str(), 4)) return true;
  const std::string declared = DeclaredEncoding(head);
  if (declared.empty()) return false;
  // The bytes are not UTF-16 (that was tested above), so a body declared
  // as UTF-16 is read the way a parser reads it: as UTF-8.
  if (NameIs(declared, {"UTF-8", "UTF8", "UTF-16", "UTF-16LE", "UTF-16BE", "UCS-2", "ISO-10646-UCS-2"})) {
    encoding = Encoding::Utf8;
  } else if (NameIs(declared, {"Shift_JIS", "Shift-JIS", "SJIS", "CP932", "MS932", "Windows-31J", "x-sjis",
                               "MS_Kanji"})) {
    encoding = Encoding::Cp932;
  } else {
    encoding = Encoding::Declared;
    name = declared;
  }
  return true;
}

size_t CXmlDocument::Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return kUtf8Partial;
  const unsigned char c = static_cast<unsigned char>(text[0]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c < 0x80) {
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (k >= text.size()) return kUtf8Partial;
    const unsigned char next = static_cast<unsigned char>(text[k]);
    if (k == 1 ? (next < low || next > high) : (next & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::string_view CXmlDocument::PrepareBody(const std::string& body, Encoding encoding) {
  std::string_view text(body);
  switch (encoding) {
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
      if (StartsWith(body, "\xFF\xFE", 2) || StartsWith(body, "\xFE\xFF", 2)) text.remove_prefix(2);
      return text;
    case Encoding::Utf8:
      if (StartsWith(body, "\xEF\xBB\xBF", 3)) text.remove_prefix(3);
      break;
    case Encoding::Cp932:
    case Encoding::Declared: break;
  }
  // A byte-oriented body ends at its first zero byte, as a C string would.
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  return text;
}
