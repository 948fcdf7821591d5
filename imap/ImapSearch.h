// CImapSearch: whether a message of the selected folder meets a SEARCH
// key. Addresses and subject come from the folder listing, dates are the
// listing's date taken as the day it falls on in UTC.
#ifndef KESTRELON_IMAP_SEARCH_H
#define KESTRELON_IMAP_SEARCH_H

#include <stdint.h>

#include "imap/ImapMailbox.h"
#include "imap/ImapParser.h"

class CImapSearch {
 public:
  // Whether the key needs what the listing does not hold (message text,
  // other headers): such keys are refused rather than guessed.
  static bool NeedsText(const ImapSearchKey& key);
  static bool Matches(const ImapSearchKey& key, const CImapMailbox& mailbox, size_t index);
};

#endif
