#include "host/LogViewer.h"

#include <errno.h>
#include <string.h>

#include <fstream>


namespace {

struct Utf8Lead {
  size_t extra;      // continuation bytes that follow; 0: not a lead byte
  unsigned int min;  // the lowest value the sequence may encode
  unsigned int bits;
};

Utf8Lead LeadOf(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, c & 0x1Fu};
  if (c >= 0xE0 && c <= 0xEF) return {2, 0x800, c & 0x0Fu};
  if (c >= 0xF0 && c <= 0xF4) return {3, 0x10000, c & 0x07u};
  return {0, 0, 0};
}

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    Utf8Lead lead = LeadOf(c);
    if (lead.extra == 0 || i + lead.extra >= s.size()) return false;
    unsigned int value = lead.bits;
    for (size_t k = 1; k <= lead.extra; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      value = (value << 6) | (t & 0x3Fu);
    }
    if (value < lead.min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += lead.extra + 1;
  }
  return true;
}

bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string Escaped(unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  return std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
}

// Character by character, so that one bad byte spoils only itself.
std::string Cp932ToUtf8Lenient(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size();) {
    size_t n = IsCp932LeadByte(static_cast<unsigned char>(line[i])) && i + 1 < line.size() ? 2 : 1;
    std::string one;
    if (Cp932ToUtf8(line.substr(i, n), one)) {
      out += one;
      i += n;
    } else {
      out += Escaped(static_cast<unsigned char>(line[i]));
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string LogLineToUtf8(const std::string& line) {
  if (IsUtf8(line)) return line;
  std::string out;
  return Cp932ToUtf8(line, out) ? out : Cp932ToUtf8Lenient(line);
}

int ShowLog(const std::string& path, FILE* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "kestrelon: no log at %s (%s); it is written while the setting Log is 1\n", path.c_str(),
            strerror(errno));
    return 1;
  }
  std::string line;
  while (std::getline(in, line)) {
    bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    std::string text = LogLineToUtf8(line) + (cr ? "\r\n" : "\n");
    if (fwrite(text.data(), 1, text.size(), out) != text.size()) return 1;  // a closed pipe: stop quietly
  }
  return fflush(out) == 0 ? 0 : 1;
}
