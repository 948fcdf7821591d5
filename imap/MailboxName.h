// CMailboxName: folder names as IMAP clients see them. Non-ASCII names
// travel in modified UTF-7 (the IMAP form of UTF-16 in base64); folder
// kinds of the service map to special-use attributes.
#ifndef KESTRELON_MAILBOX_NAME_H
#define KESTRELON_MAILBOX_NAME_H

#include <string>

class CMailboxName {
 public:
  // UTF-16 code units to modified UTF-7.
  static std::string Encode(const std::u16string& name);
  // Modified UTF-7 to UTF-16; false for text that is not in that form
  // (bad base64, unpadded bits, "&" sequences that needed none, raw 8-bit).
  static bool Decode(const std::string& name, std::u16string& out);
  // A folder's display name (UTF-8) as a mailbox name.
  static std::string FromUtf8(const std::string& name);
  // Text of code page 932 (the fixed display names) in UTF-8.
  static std::string Utf8FromCodePage932(const std::string& text);
  // "\Sent", "\Trash", "\Junk", "\Drafts" for the service's folder kinds;
  // empty for the others.
  static const char* SpecialUse(const std::string& kind);
};

#endif
