// CImapWriter: strings in a server response. A text goes out as an atom-safe
// quoted string where it may, else as a literal; an absent one as NIL.
#ifndef KESTRELON_IMAP_WRITER_H
#define KESTRELON_IMAP_WRITER_H

#include <string>
#include <string_view>

class CImapWriter {
 public:
  // "text" or {n}\r\ntext; quoted only for 7-bit text without CR, LF or NUL.
  static std::string String(const std::string& text);
  // String(text), or NIL when `present` is false.
  static std::string NString(const std::string& text, bool present = true);
  // NIL for an empty text, else String(text).
  static std::string NStringOrNil(const std::string& text);
  // An atom where the text is one, else String(text).
  static std::string Astring(const std::string& text);
  static std::string Literal(const std::string& text);
  // Appends {n}\r\ntext to `out`, copying the text once.
  static void AppendLiteral(std::string& out, std::string_view text);
};

#endif
