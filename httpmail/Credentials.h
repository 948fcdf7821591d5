// CCredentials: the account name and password one connection gave (POP3
// USER/PASS, SMTP AUTH). Every job of that connection carries them, and each
// of its requests gets a copy.
#ifndef KESTRELON_CREDENTIALS_H
#define KESTRELON_CREDENTIALS_H

#include <string>
#include <string_view>

struct CCredentials {
  std::string userName;
  std::string password;

  bool operator==(const CCredentials& other) const {
    return userName == other.userName && password == other.password;
  }
  bool operator!=(const CCredentials& other) const { return !(*this == other); }
  bool operator<(const CCredentials& other) const {
    return userName != other.userName ? userName < other.userName : password < other.password;
  }
};

// Whether a text may go into an HTTP header line: CR or LF would end the
// line and add lines of the sender's choosing, and a NUL would cut it.
inline bool FitsInHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

#endif
