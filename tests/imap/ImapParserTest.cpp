// Command assembly and parsing: each command fed whole and byte by byte,
// literals in both forms, bounds, and the grammars of the arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/ImapCommandReader.h"
#include "imap/ImapParser.h"
#include "imap/ImapWriter.h"
#include "imap/ListingDate.h"
#include "imap/MailboxName.h"

namespace {

struct Event {
  CImapCommandReader::Next next;
  std::string text;
};

std::vector<Event> Assemble(const std::string& bytes, bool byteByByte, size_t maxLine = 200,
                       size_t maxLiteral = 100, size_t maxCommand = 400) {
  CImapCommandReader reader(maxLine, maxLiteral, maxCommand);
  std::vector<Event> events;
  auto poll = [&]() {
    std::string text;
    for (CImapCommandReader::Next next; (next = reader.Poll(text)) != CImapCommandReader::Next::None;) {
      events.push_back({next, next == CImapCommandReader::Next::Continuation ? "" : text});
    }
  };
  if (byteByByte) {
    for (char c : bytes) {
      reader.Feed(&c, 1);
      poll();
    }
  } else {
    reader.Feed(bytes.data(), bytes.size());
    poll();
  }
  return events;
}

TEST(ImapCommandReaderTest, CommandsLiteralsAndBoundsWholeAndByteByByte) {
  using N = CImapCommandReader::Next;
  const struct {
    const char* name;
    std::string bytes;
    std::vector<Event> expected;
  } kCases[] = {
      {"plain lines", "a NOOP\r\nb LOGOUT\r\n", {{N::Command, "a NOOP"}, {N::Command, "b LOGOUT"}}},
      {"bare LF ends a line too", "a NOOP\n", {{N::Command, "a NOOP"}}},
      {"synchronizing literal", "a LOGIN {3}\r\nabc {2}\r\npw\r\n",
       {{N::Continuation, ""}, {N::Continuation, ""}, {N::Command, "a LOGIN {3}\r\nabc {2}\r\npw"}}},
      {"non-synchronizing literal carries CR LF inside",
       "a LOGIN {4+}\r\na\r\nb x\r\n", {{N::Command, "a LOGIN {4+}\r\na\r\nb x"}}},
      {"literal with leading zeros: its bytes are no command", "a X {00000000003+}\r\nabc\r\nb NOOP\r\n",
       {{N::Command, "a X {00000000003+}\r\nabc"}, {N::Command, "b NOOP"}}},
      {"literal of zero bytes", "a LOGIN {0}\r\n x\r\n", {{N::Continuation, ""}, {N::Command, "a LOGIN {0}\r\n x"}}},
      {"line over the bound is refused, the next goes on",
       "a " + std::string(300, 'x') + "\r\nb NOOP\r\n",
       {{N::TooLong, ""}, {N::Command, "b NOOP"}}},
      {"literal over the bound: no continuation", "a APPEND x {101}\r\nb NOOP\r\n",
       {{N::TooLong, "a APPEND x {101}"}, {N::Command, "b NOOP"}}},
      {"non-synchronizing literal over the bound is skipped",
       "a APPEND x {101+}\r\n" + std::string(101, 'z') + " tail {2+}\r\nzz\r\nb NOOP\r\n",
       {{N::TooLong, "a APPEND x {101+}"}, {N::Command, "b NOOP"}}},
      {"literal mark of a line refused before its end arrived is honoured",
       "a NOOP " + std::string(192, 'x') + " {5+}\r\nc NOO\r\nb NOOP\r\n",
       {{N::TooLong, ""}, {N::Command, "b NOOP"}}},
      {"so is a long one", "a NOOP " + std::string(300, 'x') + " {" + std::string(70, '0') + "5+}\r\nc NOO\r\nb NOOP\r\n",
       {{N::TooLong, ""}, {N::Command, "b NOOP"}}},
      {"whole command over the bound", "a X {100+}\r\n" + std::string(100, 'q') + " {100+}\r\n" +
                                           std::string(100, 'q') + " {100+}\r\n" + std::string(100, 'q') +
                                           " {100+}\r\n" + std::string(100, 'q') + "\r\nb NOOP\r\n",
       {{N::TooLong, ""}, {N::Command, "b NOOP"}}},
  };
  for (const auto& c : kCases) {
    for (bool byteByByte : {false, true}) {
      std::vector<Event> got = Assemble(c.bytes, byteByByte);
      ASSERT_EQ(c.expected.size(), got.size()) << c.name << (byteByByte ? " byte by byte" : "");
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(c.expected[i].next, got[i].next) << c.name << " event " << i;
        if (c.expected[i].next != N::TooLong || !c.expected[i].text.empty()) {
          EXPECT_EQ(c.expected[i].text, got[i].text) << c.name << " event " << i;
        }
      }
    }
  }
}

TEST(ImapCommandReaderTest, EndlessLineIsRefusedBeforeItsEndArrives) {
  CImapCommandReader reader(100, 100, 400);
  std::string chunk(1000, 'x');
  std::string text;
  reader.Feed(chunk.data(), chunk.size());
  EXPECT_EQ(CImapCommandReader::Next::TooLong, reader.Poll(text));
  for (int i = 0; i < 100; ++i) {
    reader.Feed(chunk.data(), chunk.size());
    EXPECT_EQ(CImapCommandReader::Next::None, reader.Poll(text));
  }
  EXPECT_LT(reader.Pending(), 2000u);
  reader.Feed("\r\nb NOOP\r\n", 10);
  EXPECT_EQ(CImapCommandReader::Next::Command, reader.Poll(text));
  EXPECT_EQ("b NOOP", text);
}

std::string Show(const std::vector<ImapArg>& args) {
  std::string out;
  for (const ImapArg& arg : args) {
    if (!out.empty()) out += " ";
    switch (arg.kind) {
      case ImapArg::Kind::Atom: out += arg.text; break;
      case ImapArg::Kind::String: out += "'" + arg.text + "'"; break;
      case ImapArg::Kind::List: out += "(" + Show(arg.list) + ")"; break;
    }
  }
  return out;
}

TEST(ImapParserTest, CommandsReadIntoTagNameAndArguments) {
  const struct {
    std::string raw;
    bool ok;
    const char* tag;
    const char* name;
    const char* args;  // or the error
  } kCases[] = {
      {"a1 noop", true, "a1", "NOOP", ""},
      {"a1 LOGIN \"us\\\"er\" {2}\r\npw", true, "a1", "LOGIN", "'us\"er' 'pw'"},
      {"t uid fetch 1:* (UID BODY.PEEK[HEADER.FIELDS (From To)]<0.100>)", true, "t", "UID FETCH",
       "1:* (UID BODY.PEEK[HEADER.FIELDS (From To)]<0.100>)"},
      {"t SELECT \"\"", true, "t", "SELECT", "''"},
      {"t LIST \"\" *", true, "t", "LIST", "'' *"},
      {"t STORE 1 +FLAGS (\\Seen \\Deleted)", true, "t", "STORE", "1 +FLAGS (\\Seen \\Deleted)"},
      {"t X (a (b (c)) ())", true, "t", "X", "(a (b (c)) ())"},
      {"t SEARCH CHARSET UTF-8 SUBJECT {4+}\r\n\xC3\xA9t\xC3", true, "t", "SEARCH",
       "CHARSET UTF-8 SUBJECT '\xC3\xA9t\xC3'"},
      {"", false, "*", "", "Invalid tag"},
      {"a+b NOOP", false, "*", "", "Invalid tag"},
      {"tag", false, "tag", "", "Missing command"},
      {"tag 123", false, "tag", "", "Invalid command name"},
      {"t UID", true, "t", "UID", ""},
      {"t UID 5", false, "t", "UID ", "Invalid UID command"},
      {"t X  a", false, "t", "X", "Invalid characters in atom"},
      {"t X a ", false, "t", "X", "Trailing space"},
      {"t X (a", false, "t", "X", "Missing ')'"},
      {"t X a)", false, "t", "X", "Unexpected ')'"},
      {"t X \"abc", false, "t", "X", "Unterminated quoted string"},
      {"t X \"a\\b\"", false, "t", "X", "Invalid escape in quoted string"},
      {"t X {5}\r\nab", false, "t", "X", "Invalid literal"},
      {"t X {x}\r\nab", false, "t", "X", "Invalid literal"},
      {"t X BODY[HEADER", false, "t", "X", "Missing ']'"},
      {"t X " + std::string(17, '(') + std::string(17, ')'), false, "t", "X", "Lists nested too deep"},
  };
  for (const auto& c : kCases) {
    std::string tag, name, error;
    std::vector<ImapArg> args;
    bool ok = CImapParser::ParseCommand(c.raw, tag, name, args, error);
    EXPECT_EQ(c.ok, ok) << c.raw;
    EXPECT_EQ(c.tag, tag) << c.raw;
    if (ok) {
      EXPECT_EQ(c.name, name) << c.raw;
      EXPECT_EQ(c.args, Show(args)) << c.raw;
    } else {
      EXPECT_EQ(c.args, error) << c.raw;
    }
  }
}

TEST(ImapParserTest, NumbersAndSequenceSets) {
  uint32_t n = 0;
  EXPECT_TRUE(CImapParser::ParseNumber("4294967295", &n));
  EXPECT_EQ(4294967295u, n);
  for (const char* bad : {"", "0", "4294967296", "99999999999", "-1", "+1", "1a", " 1"}) {
    EXPECT_FALSE(CImapParser::ParseNumber(bad, &n)) << bad;
  }
  EXPECT_TRUE(CImapParser::ParseNumber("0", &n, true));

  CSequenceSet set;
  ASSERT_TRUE(CImapParser::ParseSequenceSet("2,4:6,9:*", set));
  std::string members;
  for (uint32_t i = 1; i <= 12; ++i) members += set.Contains(i, 11) ? '1' : '0';
  EXPECT_EQ("010111001110", members);
  ASSERT_TRUE(CImapParser::ParseSequenceSet("*:3", set));
  EXPECT_TRUE(set.Contains(4, 5));
  EXPECT_FALSE(set.Contains(2, 5));
  ASSERT_TRUE(CImapParser::ParseSequenceSet("*", set));
  EXPECT_TRUE(set.Contains(7, 7));
  EXPECT_FALSE(set.Contains(6, 7));
  for (const char* bad : {"", ",", "1,", ":1", "1:", "0", "1:0", "a", "1::2", "1:2:3", "$"}) {
    EXPECT_FALSE(CImapParser::ParseSequenceSet(bad, set)) << bad;
  }
}

std::vector<ImapArg> Args(const std::string& text) {
  std::string tag, name, error;
  std::vector<ImapArg> args;
  EXPECT_TRUE(CImapParser::ParseCommand("t X " + text, tag, name, args, error)) << text << ": " << error;
  return args;
}

TEST(ImapParserTest, FetchItems) {
  using K = ImapFetchItem::Kind;
  std::vector<ImapFetchItem> items;
  std::string error;
  ASSERT_TRUE(CImapParser::ParseFetchItems(Args("FAST"), 0, items, error));
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(K::Rfc822Size, items[2].kind);
  ASSERT_TRUE(CImapParser::ParseFetchItems(Args("body.peek[1.2.HEADER.FIELDS.NOT (X-A \"X-B\")]<10.20>"), 0,
                                           items, error));
  ASSERT_EQ(1u, items.size());
  EXPECT_TRUE(items[0].peek);
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), items[0].section.part);
  EXPECT_EQ(ImapSection::Text::HeaderFieldsNot, items[0].section.text);
  EXPECT_EQ((std::vector<std::string>{"X-A", "X-B"}), items[0].section.fields);
  EXPECT_TRUE(items[0].partial);
  EXPECT_EQ(10u, items[0].offset);
  EXPECT_EQ(20u, items[0].length);
  ASSERT_TRUE(CImapParser::ParseFetchItems(Args("(UID FLAGS BODY[] BODY[3.MIME] BODY BODYSTRUCTURE RFC822.TEXT)"),
                                           0, items, error));
  ASSERT_EQ(7u, items.size());
  EXPECT_EQ(K::BodySection, items[2].kind);
  EXPECT_FALSE(items[2].peek);
  EXPECT_TRUE(items[2].section.part.empty());
  EXPECT_EQ(ImapSection::Text::Mime, items[3].section.text);
  EXPECT_EQ(K::Body, items[4].kind);
  const char* kBad[] = {"BODY[MIME]", "BODY[0]", "BODY[1.]", "BODY[HEADER.FIELDS ()]", "BODY[HEADER.FIELDS]",
                        "BODY[TEXT]<1>", "BODY[TEXT]<1.0>", "BODY[TEXT]x", "BODY.PEEK", "FOO", "()",
                        "(UID (FLAGS))", "BINARY[1]", "BODY[HEADER.FIELDS (A B]"};
  for (const char* bad : kBad) {
    std::string tag, name;
    std::vector<ImapArg> args;
    if (!CImapParser::ParseCommand(std::string("t X ") + bad, tag, name, args, error)) continue;
    EXPECT_FALSE(CImapParser::ParseFetchItems(args, 0, items, error)) << bad;
  }
  EXPECT_FALSE(CImapParser::ParseFetchItems(Args("UID FLAGS"), 0, items, error));
  EXPECT_EQ("Too many arguments", error);
}

TEST(ImapParserTest, StoreArguments) {
  ImapStore store;
  std::string error;
  ASSERT_TRUE(CImapParser::ParseStore(Args("-flags.silent (\\Seen $Work)"), 0, store, error));
  EXPECT_EQ(ImapStore::Mode::Remove, store.mode);
  EXPECT_TRUE(store.silent);
  EXPECT_EQ((std::vector<std::string>{"\\Seen", "$Work"}), store.flags);
  ASSERT_TRUE(CImapParser::ParseStore(Args("FLAGS \\Deleted"), 0, store, error));
  EXPECT_EQ(ImapStore::Mode::Replace, store.mode);
  ASSERT_TRUE(CImapParser::ParseStore(Args("FLAGS ()"), 0, store, error));
  EXPECT_TRUE(store.flags.empty());
  for (const char* bad : {"FLAGS", "+FLAG (\\Seen)", "*FLAGS (\\Seen)", "FLAGS (\"x\")", "FLAGS ((\\Seen))"}) {
    EXPECT_FALSE(CImapParser::ParseStore(Args(bad), 0, store, error)) << bad;
  }
}

std::string ShowKey(const ImapSearchKey& key) {
  using K = ImapSearchKey::Kind;
  switch (key.kind) {
    case K::And:
    case K::Or:
    case K::Not: {
      std::string out = key.kind == K::And ? "AND(" : key.kind == K::Or ? "OR(" : "NOT(";
      for (size_t i = 0; i < key.children.size(); ++i) out += (i ? "," : "") + ShowKey(key.children[i]);
      return out + ")";
    }
    case K::Since: return "SINCE:" + std::to_string(key.date);
    case K::Larger: return "LARGER:" + std::to_string(key.number);
    case K::From: return "FROM:" + key.text;
    case K::Uid: return "UID:" + std::to_string(key.set.ranges.size());
    case K::Sequence: return "SEQ:" + std::to_string(key.set.ranges.size());
    case K::Unseen: return "UNSEEN";
    case K::Deleted: return "DELETED";
    case K::Header: return "HEADER:" + key.text + "=" + key.value;
    default: return "?";
  }
}

TEST(ImapParserTest, SearchKeys) {
  const struct {
    const char* text;
    const char* shown;  // or the error
  } kCases[] = {
      {"UNSEEN", "AND(UNSEEN)"},
      {"charset utf-8 FROM \"ann\" 1:3,5 UID 4:*", "AND(FROM:ann,SEQ:2,UID:1)"},
      {"OR DELETED NOT UNSEEN LARGER 100", "AND(OR(DELETED,NOT(UNSEEN)),LARGER:100)"},
      {"(SINCE 1-Jan-1970 SINCE 02-jan-1970) HEADER X-A b", "AND(AND(SINCE:0,SINCE:1),HEADER:X-A=b)"},
      {"SINCE 29-Feb-2000", "AND(SINCE:11016)"},
      {"", "Missing search key"},
      {"CHARSET KOI8-R ALL", "[BADCHARSET (US-ASCII UTF-8)] Unsupported charset"},
      {"FROM", "Missing search argument"},
      {"OR UNSEEN", "Missing search key after OR"},
      {"NOT", "Missing search key after NOT"},
      {"SINCE 29-Feb-2001", "Invalid search date"},
      {"SINCE 1-Foo-2001", "Invalid search date"},
      {"BEFORE 1-Jan-01", "Invalid search date"},
      {"LARGER x", "Invalid search size"},
      {"UID 0", "Invalid UID set"},
      {"FOO", "Unknown search key"},
      {"()", "Empty search list"},
  };
  for (const auto& c : kCases) {
    std::string tag, name, error;
    std::vector<ImapArg> args;
    ASSERT_TRUE(CImapParser::ParseCommand(std::string("t SEARCH") + (*c.text ? " " : "") + c.text, tag, name,
                                          args, error));
    ImapSearchKey key;
    bool ok = CImapParser::ParseSearch(args, 0, key, error);
    EXPECT_EQ(c.shown, ok ? ShowKey(key) : error) << c.text;
  }
  // A deep chain of NOTs is bounded, not a stack overflow.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "NOT ";
  std::string tag, name, error;
  std::vector<ImapArg> args;
  ASSERT_TRUE(CImapParser::ParseCommand("t SEARCH " + deep + "ALL", tag, name, args, error));
  ImapSearchKey key;
  EXPECT_FALSE(CImapParser::ParseSearch(args, 0, key, error));
  EXPECT_EQ("Too many search keys", error);
}

TEST(ListingDateTest, ServiceAndAsctimeFormsAsUtcSeconds) {
  const struct {
    const char* text;
    bool ok;
    int64_t seconds;
  } kCases[] = {
      {"2002-01-02T03:04:05", true, 1009940645},
      {"2002-01-02T03:04:05.123Z", true, 1009940645},
      {"2002-01-02", true, 1009929600},
      {"Wed Jan 02 03:04:05 2002", true, 1009940645},
      {"Thu Feb 29 23:59:59 2024", true, 1709251199},
      {"2001-02-29T00:00:00", false, 0},
      {"2002-13-02", false, 0},
      {"2002-01-02T25:00:00", false, 0},
      {"2002-01-02 junk", false, 0},
      {"Wed Foo 02 03:04:05 2002", false, 0},
      {"Wed Jan 02 03:04:05 2002 x", false, 0},
      {"", false, 0},
  };
  for (const auto& c : kCases) {
    int64_t seconds = -1;
    EXPECT_EQ(c.ok, CListingDate::Parse(c.text, &seconds)) << c.text;
    EXPECT_EQ(c.seconds, seconds) << c.text;
  }
}

TEST(ImapWriterTest, StringsQuotedLiteralOrNil) {
  EXPECT_EQ("\"a \\\"b\\\" \\\\c\"", CImapWriter::String("a \"b\" \\c"));
  EXPECT_EQ("{3}\r\na\r\n", CImapWriter::String("a\r\n"));
  EXPECT_EQ("{2}\r\n\xC3\xA9", CImapWriter::String("\xC3\xA9"));
  EXPECT_EQ("NIL", CImapWriter::NStringOrNil(""));
  EXPECT_EQ("\"NIL\"", CImapWriter::Astring("NIL"));
  EXPECT_EQ("\"nIl\"", CImapWriter::Astring("nIl"));
  EXPECT_EQ("INBOX", CImapWriter::Astring("INBOX"));
  EXPECT_EQ("\"a b\"", CImapWriter::Astring("a b"));
  EXPECT_EQ("\"\"", CImapWriter::Astring(""));
}

TEST(MailboxNameTest, ModifiedUtf7BothWays) {
  const struct {
    std::u16string name;
    const char* encoded;
  } kCases[] = {
      {u"INBOX", "INBOX"},
      {u"A&B", "A&-B"},
      {u"\u53D7\u4FE1\u30C8\u30EC\u30A4", "&U9dP4TDIMOwwpA-"},
      {u"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {u"x\u00E9y\u00E9", "x&AOk-y&AOk-"},
      {u"\U0001F600", "&2D3eAA-"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.encoded, CMailboxName::Encode(c.name));
    std::u16string back;
    EXPECT_TRUE(CMailboxName::Decode(c.encoded, back)) << c.encoded;
    EXPECT_TRUE(back == c.name) << c.encoded;
  }
  std::u16string out;
  for (const char* bad : {"&", "&U9dP4TDIMOwwpA", "&AGE-", "&U9d-", "&U9dP4TDIMOwwpA-&AOk-", "&*-", "\xC3\xA9"}) {
    EXPECT_FALSE(CMailboxName::Decode(bad, out)) << bad;
  }
  EXPECT_STREQ("\\Trash", CMailboxName::SpecialUse("deleteditems"));
  EXPECT_STREQ("\\Junk", CMailboxName::SpecialUse("bulkmail"));
  EXPECT_STREQ("", CMailboxName::SpecialUse("inbox"));
}

}  // namespace
