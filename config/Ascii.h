// ASCII case folding, the only kind protocol keywords know: a locale must
// not change how a command name or a header field name reads.
#ifndef KESTRELON_ASCII_H
#define KESTRELON_ASCII_H

#include <string>

inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string AsciiUpper(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

#endif
