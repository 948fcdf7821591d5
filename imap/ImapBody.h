// CImapBody: what FETCH says about a message's text: ENVELOPE, BODY and
// BODYSTRUCTURE from its MIME tree, and the bytes of a BODY[section].
#ifndef KESTRELON_IMAP_BODY_H
#define KESTRELON_IMAP_BODY_H

#include <string>

#include "imap/ImapParser.h"
#include "imap/MimePart.h"

class CImapBody {
 public:
  // `text` is the message that `root` was parsed from.
  static std::string Envelope(const std::string& text, const CMimePart& root);
  static std::string Structure(const std::string& text, const CMimePart& part, bool extended);
  // The bytes a section names; false when the message has no such part
  // (the reply then carries an empty string).
  static bool Section(const std::string& text, const CMimePart& root, const ImapSection& section,
                      std::string& out);
  // An address list header as IMAP address structures, or NIL.
  static std::string Addresses(const std::string& value);
};

#endif
