// MIME trees of real message shapes, and what FETCH makes of them:
// BODYSTRUCTURE, ENVELOPE and the bytes of each section.
#include <gtest/gtest.h>

#include <string>

#include "imap/ImapBody.h"
#include "imap/ImapParser.h"
#include "imap/MimePart.h"

namespace {

const std::string kSimple =
    "Date: Wed, 2 Jan 2002 03:04:05 +0900\r\n"
    "From: \"Ann, A.\" <ann@example.com>\r\n"
    "To: bob@example.com, Carl <carl@example.net>\r\n"
    "Subject: =?ISO-2022-JP?B?GyRCJEgbKEI=?=\r\n"
    " folded\r\n"
    "Message-ID: <1@example.com>\r\n"
    "\r\n"
    "line 1\r\n"
    "line 2\r\n";

const std::string kAlternative =
    "From: ann@example.com\r\n"
    "Content-Type: multipart/alternative; boundary=\"b1\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "plain\r\n"
    "--b1\r\n"
    "Content-Type: text/html; charset=\"utf-8\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<p>html</p>\r\n"
    "--b1--\r\n"
    "epilogue\r\n";

const std::string kNested =
    "From: ann@example.com\r\n"
    "Subject: nested\r\n"
    "Content-Type: multipart/mixed; boundary=outer\r\n"
    "\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "\r\n"
    "default type\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: message/rfc822\r\n"
    "Content-Disposition: attachment; filename=\"fw.eml\"\r\n"
    "\r\n"
    "Subject: inner\r\n"
    "From: dan@example.org\r\n"
    "\r\n"
    "inner body\r\n"
    "--outer\r\n"
    "Content-Type: application/octet-stream; name=x.bin\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAEC\r\n"
    "--outer--\r\n";

const std::string kUnsplit = "Content-Type: multipart/mixed; boundary=zz\r\n\r\nbody\r\n";

std::string Structure(const std::string& text, bool extended = false) {
  auto root = CMimePart::Parse(text);
  return CImapBody::Structure(text, *root, extended);
}

TEST(MimeTest, BodyStructureOfRealShapes) {
  const struct {
    const char* name;
    std::string text;
    const char* structure;
  } kCases[] = {
      {"single part, default type", kSimple, "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 16 2)"},
      {"alternative", kAlternative,
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"7BIT\" 5 1)"
       "(\"TEXT\" \"HTML\" (\"CHARSET\" \"utf-8\") NIL NIL \"quoted-printable\" 11 1) \"ALTERNATIVE\")"},
      {"nested with a message", kNested,
       "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 12 1) \"ALTERNATIVE\")"
       "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 51 (NIL \"inner\" ((NIL NIL \"dan\" \"example.org\")) "
       "((NIL NIL \"dan\" \"example.org\")) ((NIL NIL \"dan\" \"example.org\")) NIL NIL NIL NIL NIL) "
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 10 1) 4)"
       "(\"APPLICATION\" \"OCTET-STREAM\" (\"NAME\" \"x.bin\") NIL NIL \"base64\" 4) \"MIXED\")"},
      // A multipart that cannot be split stays one, with one empty part.
      {"missing boundary parameter", "Content-Type: multipart/mixed\r\n\r\n--x\r\nbody\r\n",
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 0 0) \"MIXED\")"},
      {"no delimiter in the body", "Content-Type: multipart/mixed; boundary=zz\r\n\r\nbody\r\n",
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 0 0) \"MIXED\")"},
      {"boundary in RFC 2231 form",
       "Content-Type: multipart/signed; boundary*=\"us-ascii''a%20b\"\r\n\r\n--a b\r\n\r\nx\r\n--a b--\r\n",
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 1 1) \"SIGNED\")"},
      {"RFC 2231 continuations joined",
       "Content-Type: text/plain; title*0*=us-ascii'en'a%20; x=y;\r\n title*2=\"c d\"; title*1*=%2A\r\n\r\nx",
       "(\"TEXT\" \"PLAIN\" (\"X\" \"y\" \"TITLE*\" \"us-ascii'en'a%20%2Ac d\") NIL NIL \"7BIT\" 1 1)"},
      {"plain continuations joined", "Content-Type: text/plain; n*1=b; n*0=a\r\n\r\n",
       "(\"TEXT\" \"PLAIN\" (\"N\" \"ab\") NIL NIL \"7BIT\" 0 0)"},
      // Sent though forbidden: the inner multipart's delimiters are taken
      // first, so the parts after its close delimiter stay the outer one's.
      {"inner multipart reuses the outer boundary",
       "Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n"
       "Content-Type: multipart/alternative; boundary=B\r\n\r\n--B\r\n\r\none\r\n--B\r\n\r\ntwo\r\n--B--\r\n\r\n"
       "--B\r\nContent-Type: image/gif\r\n\r\nGIF\r\n--B--\r\n",
       "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 3 1)"
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 3 1) \"ALTERNATIVE\")"
       "(\"IMAGE\" \"GIF\" NIL NIL NIL \"7BIT\" 3) \"MIXED\")"},
      {"no subtype is text/plain", "Content-Type: text\r\n\r\nx",
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 1 1)"},
      {"no closing delimiter", "Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n\r\nlast",
       "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 4 1) \"MIXED\")"},
      {"no blank line after the header", "Subject: only a header\r\n",
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 0 0)"},
      {"unreadable type", "Content-Type: garbage\r\n\r\nx",
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 1 1)"},
      {"8-bit header value", "Content-Type: text/plain; name=\"\xE6\x97\xA5.txt\"\r\n\r\nx\n",
       "(\"TEXT\" \"PLAIN\" (\"NAME\" {7}\r\n\xE6\x97\xA5.txt) NIL NIL \"7BIT\" 2 1)"},
      {"digest parts default to messages",
       "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: s\r\n\r\nb\r\n--d--\r\n",
       "((\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 15 (NIL \"s\" NIL NIL NIL NIL NIL NIL NIL NIL) "
       "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 1 1) 3) \"DIGEST\")"},
      {"empty message", "", "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 0 0)"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.structure, Structure(c.text)) << c.name;
  EXPECT_EQ(
      "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 12 1 NIL NIL NIL NIL) \"ALTERNATIVE\" "
      "(\"BOUNDARY\" \"inner\") NIL NIL NIL)",
      Structure(kNested, true).substr(0, 125));
  EXPECT_NE(std::string::npos, Structure(kNested, true).find("(\"attachment\" (\"FILENAME\" \"fw.eml\"))"));
}

TEST(MimeTest, EnvelopeKeepsEncodedWordsAndReadsAddresses) {
  auto root = CMimePart::Parse(kSimple);
  EXPECT_EQ(
      "(\"Wed, 2 Jan 2002 03:04:05 +0900\" \"=?ISO-2022-JP?B?GyRCJEgbKEI=?= folded\" "
      "((\"Ann, A.\" NIL \"ann\" \"example.com\")) ((\"Ann, A.\" NIL \"ann\" \"example.com\")) "
      "((\"Ann, A.\" NIL \"ann\" \"example.com\")) "
      "((NIL NIL \"bob\" \"example.com\")(\"Carl\" NIL \"carl\" \"example.net\")) NIL NIL NIL \"<1@example.com>\")",
      CImapBody::Envelope(kSimple, *root));
  const struct {
    const char* value;
    const char* addresses;
  } kAddresses[] = {
      {"", "NIL"},
      {"undisclosed-recipients:;", "((NIL NIL \"undisclosed-recipients\" NIL)(NIL NIL NIL NIL))"},
      {"team: a@b, c@d;, e@f",
       "((NIL NIL \"team\" NIL)(NIL NIL \"a\" \"b\")(NIL NIL \"c\" \"d\")(NIL NIL NIL NIL)(NIL NIL \"e\" \"f\"))"},
      {"a@b (Comment, with comma)", "((\"Comment, with comma\" NIL \"a\" \"b\"))"},
      {"Ann <a@b> (work), c@d (C (x)) (Carl)", "((\"Ann\" NIL \"a\" \"b\")(\"Carl\" NIL \"c\" \"d\"))"},
      {"<@r1,@r2:x@y>", "((NIL \"@r1,@r2\" \"x\" \"y\"))"},
      {"local-only", "((NIL NIL \"local-only\" \"MISSING_DOMAIN\"))"},
      {"\"q\\\"uote\" <a@b>", "((\"q\\\"uote\" NIL \"a\" \"b\"))"},
      {"=?UTF-8?B?5pel?= <a@b>,,", "((\"=?UTF-8?B?5pel?=\" NIL \"a\" \"b\"))"},
  };
  for (const auto& c : kAddresses) EXPECT_EQ(c.addresses, CImapBody::Addresses(c.value)) << c.value;
  // Every To and Cc field counts, not only the first.
  const std::string twice = "To: a@b\r\nCc: c@d\r\nTo: e@f\r\ncc: g@h\r\n\r\n";
  EXPECT_EQ("(NIL NIL NIL NIL NIL ((NIL NIL \"a\" \"b\")(NIL NIL \"e\" \"f\")) "
            "((NIL NIL \"c\" \"d\")(NIL NIL \"g\" \"h\")) NIL NIL NIL)",
            CImapBody::Envelope(twice, *CMimePart::Parse(twice)));
}

TEST(MimeTest, SectionsOfParts) {
  const struct {
    const std::string* text;
    const char* section;
    bool ok;
    std::string bytes;
  } kCases[] = {
      {&kSimple, "", true, kSimple},
      {&kSimple, "TEXT", true, "line 1\r\nline 2\r\n"},
      {&kSimple, "1", true, "line 1\r\nline 2\r\n"},
      {&kSimple, "HEADER", true, kSimple.substr(0, kSimple.find("\r\n\r\n") + 4)},
      {&kSimple, "HEADER.FIELDS (subject FROM)", true,
       "From: \"Ann, A.\" <ann@example.com>\r\nSubject: =?ISO-2022-JP?B?GyRCJEgbKEI=?=\r\n folded\r\n\r\n"},
      {&kSimple, "HEADER.FIELDS.NOT (Date Subject To Message-ID)", true,
       "From: \"Ann, A.\" <ann@example.com>\r\n\r\n"},
      {&kSimple, "2", false, ""},
      {&kSimple, "1.1", false, ""},
      {&kSimple, "1.HEADER", false, ""},
      {&kAlternative, "1", true, "plain"},
      {&kAlternative, "2", true, "<p>html</p>"},
      {&kAlternative, "2.MIME", true,
       "Content-Type: text/html; charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
      {&kAlternative, "3", false, ""},
      {&kNested, "1.1", true, "default type"},
      {&kNested, "2", true, "Subject: inner\r\nFrom: dan@example.org\r\n\r\ninner body"},
      {&kNested, "2.HEADER", true, "Subject: inner\r\nFrom: dan@example.org\r\n\r\n"},
      {&kNested, "2.HEADER.FIELDS (FROM)", true, "From: dan@example.org\r\n\r\n"},
      {&kNested, "2.TEXT", true, "inner body"},
      {&kNested, "2.1", true, "inner body"},
      {&kNested, "2.2", false, ""},
      {&kNested, "3", true, "AAEC"},
      {&kNested, "3.TEXT", false, ""},
      {&kUnsplit, "1", true, ""},
      {&kUnsplit, "TEXT", true, "body\r\n"},
  };
  for (const auto& c : kCases) {
    std::string tag, name, error;
    std::vector<ImapArg> args;
    std::vector<ImapFetchItem> items;
    ASSERT_TRUE(CImapParser::ParseCommand(std::string("t X BODY[") + c.section + "]", tag, name, args, error));
    ASSERT_TRUE(CImapParser::ParseFetchItems(args, 0, items, error)) << c.section << ": " << error;
    auto root = CMimePart::Parse(*c.text);
    std::string out;
    EXPECT_EQ(c.ok, CImapBody::Section(*c.text, *root, items[0].section, out)) << c.section;
    EXPECT_EQ(c.bytes, out) << c.section;
  }
}

TEST(MimeTest, DeepNestingAndManyPartsAreBounded) {
  std::string deep;
  for (int i = 0; i < 2000; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
  }
  auto root = CMimePart::Parse(deep);
  std::string structure = CImapBody::Structure(deep, *root, true);
  EXPECT_LT(structure.size(), 100000u);
  std::string many = "Content-Type: multipart/mixed; boundary=m\r\n\r\n";
  for (int i = 0; i < 5000; ++i) many += "--m\r\n\r\nx\r\n";
  root = CMimePart::Parse(many);
  EXPECT_LE(root->children.size(), 500u);
  EXPECT_GT(root->children.size(), 100u);
}

}  // namespace
