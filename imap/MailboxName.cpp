#include "imap/MailboxName.h"

#include <windows.h>

#include <string.h>

#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Digit(char c) {
  const char* p = c == '\0' ? nullptr : strchr(kAlphabet, c);
  return p == nullptr ? -1 : static_cast<int>(p - kAlphabet);
}

bool Printable(char16_t c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

std::string CMailboxName::Encode(const std::u16string& name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    char16_t c = name[i];
    if (c == '&') {
      out += "&-";
      ++i;
      continue;
    }
    if (Printable(c)) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    out.push_back('&');
    unsigned bits = 0;
    int count = 0;
    for (; i < name.size() && !Printable(name[i]); ++i) {
      bits = (bits << 16) | name[i];
      count += 16;
      while (count >= 6) {
        count -= 6;
        out.push_back(kAlphabet[(bits >> count) & 0x3F]);
      }
    }
    if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
    out.push_back('-');
  }
  return out;
}

bool CMailboxName::Decode(const std::string& name, std::u16string& out) {
  out.clear();
  size_t i = 0;
  while (i < name.size()) {
    char c = name[i];
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    if (c != '&') {
      out.push_back(static_cast<char16_t>(c));
      ++i;
      continue;
    }
    size_t end = name.find('-', i + 1);
    if (end == std::string::npos) return false;
    if (end == i + 1) {
      out.push_back(u'&');
      i = end + 1;
      continue;
    }
    unsigned bits = 0;
    int count = 0;
    size_t units = 0;
    for (size_t k = i + 1; k < end; ++k) {
      int d = Digit(name[k]);
      if (d < 0) return false;
      bits = (bits << 6) | static_cast<unsigned>(d);
      count += 6;
      if (count >= 16) {
        count -= 16;
        char16_t unit = static_cast<char16_t>((bits >> count) & 0xFFFF);
        if (Printable(unit)) return false;  // should have been written directly
        out.push_back(unit);
        ++units;
      }
    }
    // Leftover bits are padding: fewer than 6 and all zero.
    if (units == 0 || count >= 6 || (bits & ((1u << count) - 1)) != 0) return false;
    i = end + 1;
    // Two encoded runs must not follow each other.
    if (i < name.size() && name[i] == '&' && name.compare(i, 2, "&-") != 0) return false;
  }
  return true;
}

const char* CMailboxName::SpecialUse(const std::string& kind) {
  static const struct {
    const char* kind;
    const char* attribute;
  } kKinds[] = {{"sentitems", "\\Sent"}, {"deleteditems", "\\Trash"}, {"bulkmail", "\\Junk"},
                {"draft", "\\Drafts"},   {"drafts", "\\Drafts"},     {"junkmail", "\\Junk"}};
  for (const auto& row : kKinds) {
    if (kind == row.kind) return row.attribute;
  }
  return "";
}

namespace {

std::u16string Widen(UINT codePage, const std::string& text) {
  if (text.empty()) return std::u16string();
  int count = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (count <= 0) return std::u16string();
  std::vector<WCHAR> wide(static_cast<size_t>(count));
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return std::u16string(wide.begin(), wide.end());
}

}  // namespace

std::string CMailboxName::FromUtf8(const std::string& name) { return Encode(Widen(CP_UTF8, name)); }

std::string CMailboxName::Utf8FromCodePage932(const std::string& text) {
  const std::u16string units = Widen(932, text);
  if (units.empty()) return std::string();
  const std::vector<WCHAR> wide(units.begin(), units.end());
  const int size = static_cast<int>(wide.size());
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &out[0], n, nullptr, nullptr);
  return out;
}
