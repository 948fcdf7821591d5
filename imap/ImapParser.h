// CImapParser: reads one raw command (as CImapCommandReader gives it) into
// its tag, name and argument tree, and reads the arguments' own grammars:
// numbers, sequence sets, FETCH items, STORE flags and SEARCH keys. Every
// refusal carries a text for the client's BAD reply.
#ifndef KESTRELON_IMAP_PARSER_H
#define KESTRELON_IMAP_PARSER_H

#include <stdint.h>

#include <string>
#include <vector>

// One argument: an atom (NIL among them), a string (quoted or literal), or
// a parenthesised list.
struct ImapArg {
  enum class Kind { Atom, String, List };
  Kind kind = Kind::Atom;
  std::string text;
  std::vector<ImapArg> list;

  bool IsAtom(const char* upperName) const;
  // An atom or a string: what IMAP calls an astring.
  bool IsAstring() const { return kind != Kind::List; }
};

// A set of message numbers or UIDs; 0 in a range stands for "*".
class CSequenceSet {
 public:
  struct Range {
    uint32_t first;
    uint32_t last;
  };
  bool Contains(uint32_t n, uint32_t largest) const;
  // Whether the set is exactly "$"-free and names only numbers up to `largest`.
  bool WithinRange(uint32_t largest) const;
  std::vector<Range> ranges;
};

struct ImapSection {
  enum class Text { All, Header, HeaderFields, HeaderFieldsNot, Text, Mime };
  std::vector<uint32_t> part;  // 1.2.3
  Text text = Text::All;
  std::vector<std::string> fields;  // upper-case names for HEADER.FIELDS[.NOT]
  std::string sectionText;          // as the client wrote it, for the reply
};

struct ImapFetchItem {
  enum class Kind { Flags, Uid, Rfc822Size, InternalDate, Envelope, BodyStructure, Body,
                    BodySection, Rfc822, Rfc822Header, Rfc822Text };
  Kind kind;
  bool peek = false;
  ImapSection section;
  bool partial = false;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct ImapStore {
  enum class Mode { Replace, Add, Remove };
  Mode mode = Mode::Replace;
  bool silent = false;
  std::vector<std::string> flags;  // as written; system flags keep their backslash
};

struct ImapSearchKey {
  enum class Kind { All, Seen, Unseen, Deleted, Undeleted, Answered, Unanswered, Flagged,
                    Unflagged, Draft, Undraft, Recent, New, Old, Keyword, Unkeyword,
                    Sequence, Uid, From, To, Cc, Bcc, Subject, Body, Text, Header,
                    Since, Before, On, SentSince, SentBefore, SentOn, Larger, Smaller, Not,
                    Or, And };
  Kind kind = Kind::All;
  CSequenceSet set;
  std::string text;   // search text, keyword or header name
  std::string value;  // HEADER's value
  uint32_t number = 0;
  int date = 0;  // days since 1970-01-01
  std::vector<ImapSearchKey> children;
};

class CImapParser {
 public:
  // Splits `raw` into tag, command name (upper-case) and arguments. False
  // with `error` set when it does not read; `tag` is then what could be
  // read of it ("*" when none).
  static bool ParseCommand(const std::string& raw, std::string& tag, std::string& name,
                           std::vector<ImapArg>& args, std::string& error);

  // The one number parser: 1 to 4294967295 (0 too when allowZero), digits only.
  static bool ParseNumber(const std::string& text, uint32_t* value, bool allowZero = false);
  static bool ParseSequenceSet(const std::string& text, CSequenceSet& set);
  // Fetch items from the arguments after the sequence set.
  static bool ParseFetchItems(const std::vector<ImapArg>& args, size_t first,
                              std::vector<ImapFetchItem>& items, std::string& error);
  static bool ParseStore(const std::vector<ImapArg>& args, size_t first, ImapStore& store,
                         std::string& error);
  // Search keys (after an optional CHARSET) combined with AND.
  static bool ParseSearch(const std::vector<ImapArg>& args, size_t first, ImapSearchKey& key,
                          std::string& error);
  // A date as "1-Feb-1994": days since 1970-01-01.
  static bool ParseDate(const std::string& text, int* days);
  // A mailbox argument, INBOX in any case folded to "INBOX".
  static std::string MailboxName(const ImapArg& arg);
};

#endif
