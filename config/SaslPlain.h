// The SASL PLAIN response (RFC 4616) once decoded: authorization identity,
// NUL, user name, NUL, password. Parts the text lacks are empty; NULs past
// the second stay in the password, and `separators` tells how many there
// were, for the caller to refuse what it must.
#ifndef KESTRELON_SASL_PLAIN_H
#define KESTRELON_SASL_PLAIN_H

#include <string>
#include <string_view>

struct SaslPlain {
  std::string authorization;
  std::string user;
  std::string password;
  size_t separators = 0;

  static SaslPlain Split(std::string_view text) {
    SaslPlain plain;
    std::string* parts[] = {&plain.authorization, &plain.user, &plain.password};
    size_t part = 0;
    for (char c : text) {
      if (c == '\0' && ++plain.separators <= 2) {
        ++part;
        continue;
      }
      *parts[part] += c;
    }
    return plain;
  }
};

#endif
