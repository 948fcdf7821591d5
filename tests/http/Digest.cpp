#include "Digest.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>

namespace {

// MD5 as RFC 1321 gives it.
class Md5 {
 public:
  std::string Hex(const std::string& data) {
    std::string message = data;
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    message += static_cast<char>(0x80);
    while (message.size() % 64 != 56) message += '\0';
    for (int i = 0; i < 8; ++i) message += static_cast<char>((bits >> (8 * i)) & 0xFF);
    for (size_t off = 0; off < message.size(); off += 64) Block(reinterpret_cast<const unsigned char*>(&message[off]));
    char out[33];
    for (int i = 0; i < 16; ++i) snprintf(out + 2 * i, 3, "%02x", (state_[i / 4] >> (8 * (i % 4))) & 0xFF);
    return std::string(out, 32);
  }

 private:
  static uint32_t Rotate(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

  void Block(const unsigned char* p) {
    static const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    static uint32_t k[64];
    static bool ready = false;
    if (!ready) {
      static const uint32_t kTable[64] = {
          0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
          0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
          0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
          0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
          0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
          0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
          0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
          0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
      memcpy(k, kTable, sizeof k);
      ready = true;
    }
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
      m[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
             (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      uint32_t next = d;
      d = c;
      c = b;
      b = b + Rotate(a + f + k[i] + m[g], kShift[i]);
      a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }

  uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
};

// name=value and name="value" pairs after the scheme word.
std::map<std::string, std::string> Parameters(const std::string& value) {
  std::map<std::string, std::string> out;
  size_t pos = value.find(' ');
  while (pos != std::string::npos && pos < value.size()) {
    pos = value.find_first_not_of(" ,", pos);
    if (pos == std::string::npos) break;
    size_t eq = value.find('=', pos);
    if (eq == std::string::npos) break;
    std::string name = value.substr(pos, eq - pos);
    std::string v;
    if (eq + 1 < value.size() && value[eq + 1] == '"') {
      size_t close = value.find('"', eq + 2);
      v = value.substr(eq + 2, close - eq - 2);
      pos = close == std::string::npos ? close : close + 1;
    } else {
      size_t end = value.find(',', eq + 1);
      v = value.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
      pos = end;
    }
    out[name] = v;
  }
  return out;
}

}  // namespace

std::string Md5Hex(const std::string& data) { return Md5().Hex(data); }

std::string DigestChallenge(const std::string& realm, const std::string& nonce) {
  return "WWW-Authenticate: Digest realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + nonce +
         "\", algorithm=MD5\r\n";
}

bool DigestAnswers(const std::string& authorization, const std::string& method, const std::string& user,
                   const std::string& password, const std::string& realm, const std::string& nonce) {
  if (authorization.compare(0, 7, "Digest ") != 0) return false;
  std::map<std::string, std::string> p = Parameters(authorization);
  if (p["username"] != user || p["realm"] != realm || p["nonce"] != nonce || p["qop"] != "auth") return false;
  const std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
  const std::string ha2 = Md5Hex(method + ":" + p["uri"]);
  const std::string expected = Md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
  return p["response"] == expected;
}
