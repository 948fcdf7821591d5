#include "config/Base64.h"

namespace {

constexpr unsigned char kNoDigit = 0xFF;
constexpr unsigned char kPadding = 64;

// The value of one digit, kPadding for "=", kNoDigit for a character
// outside the alphabet.
unsigned char DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPadding;
  return kNoDigit;
}

enum class Reading { Strict, Loose };

// Decodes up to the first "="; returns where it stopped, or npos when a
// strict reading meets a character outside the alphabet.
size_t Decode(std::string_view in, Reading reading, std::string& out) {
  unsigned long group = 0;
  int digits = 0;
  size_t i = 0;
  for (; i < in.size(); ++i) {
    const unsigned char value = DigitValue(in[i]);
    if (value == kPadding) break;
    if (value == kNoDigit) {
      if (reading == Reading::Strict) return std::string_view::npos;
      continue;
    }
    group = group << 6 | value;
    if (++digits < 4) continue;
    out.push_back(static_cast<char>(group >> 16));
    out.push_back(static_cast<char>(group >> 8));
    out.push_back(static_cast<char>(group));
    group = 0;
    digits = 0;
  }
  // An unfinished group is completed with zero bits; only whole bytes count.
  if (digits >= 2) {
    group <<= 6 * (4 - digits);
    out.push_back(static_cast<char>(group >> 16));
    if (digits == 3) out.push_back(static_cast<char>(group >> 8));
  }
  return i;
}

}  // namespace

bool DecodeBase64(std::string_view in, std::string& out) {
  out.clear();
  // Whole groups of four: after the digits, at most two "=" complete the
  // last one, and nothing follows them.
  const size_t end = in.size() % 4 == 0 ? Decode(in, Reading::Strict, out) : std::string_view::npos;
  if (end == std::string_view::npos || in.size() - end > 2 || in.find_first_not_of('=', end) != std::string_view::npos) {
    out.clear();
    return false;
  }
  return true;
}

std::string DecodeBase64Loosely(std::string_view in) {
  std::string out;
  Decode(in, Reading::Loose, out);
  return out;
}
