// CCredentials: the account name and password one connection gave (POP3
// USER/PASS, SMTP AUTH). Every job of that connection carries them, and each
// of its requests gets a copy.
#ifndef KESTRELON_CREDENTIALS_H
#define KESTRELON_CREDENTIALS_H

#include <string>

#include "config/LineText.h"

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

#endif
