// CImapSearch: whether a message of the selected folder meets a SEARCH
// key. Addresses and subject come from the folder listing, dates are the
// listing's date taken as the day it falls on in UTC; the keys that read
// the message (CC, BCC, HEADER, BODY, TEXT, SENT*) take its text.
#ifndef KESTRELON_IMAP_SEARCH_H
#define KESTRELON_IMAP_SEARCH_H

#include <stdint.h>

#include <string>

#include "imap/ImapMailbox.h"
#include "imap/ImapParser.h"
#include "imap/MimePart.h"

class CImapSearch {
 public:
  // A message's text and the tree parsed from it.
  struct Text {
    const std::string& bytes;
    const CMimePart& root;
  };
  // Whether the key needs what the listing does not hold.
  static bool NeedsText(const ImapSearchKey& key);
  // Whether it reads past the header (BODY, TEXT).
  static bool NeedsBody(const ImapSearchKey& key);
  // Such keys meet no message when `text` is null.
  static bool Matches(const ImapSearchKey& key, const CImapMailbox& mailbox, size_t index,
                      const Text* text = nullptr);
  // The day of an RFC 5322 Date value as written (time and zone left
  // aside, as SENTON wants): days since 1970-01-01; false when unreadable.
  static bool SentDay(const std::string& value, int* days);
};

#endif
