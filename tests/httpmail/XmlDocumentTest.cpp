// The XML document behind the readers: encodings, safety, namespaces and
// the two lookups.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "httpmail/HotmailHTTP.h"
#include "httpmail/XmlDocument.h"

namespace {

// "ソ" (its second byte is a backslash in code page 932) and "メール".
const std::string kSoCp932 = "\x83\x5C";
const std::string kMailCp932 = "\x83\x81\x81\x5B\x83\x8B";

std::string Utf16(const std::u16string& text, bool bigEndian, bool bom) {
  std::string out;
  auto put = [&](char16_t c) {
    char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    if (bigEndian) {
      out += hi;
      out += lo;
    } else {
      out += lo;
      out += hi;
    }
  };
  if (bom) put(0xFEFF);
  for (char16_t c : text) put(c);
  return out;
}

std::string TextOf(const std::string& body, const char* path = "D:a/D:b") {
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.Load(body);
  std::string text;
  EXPECT_TRUE(doc.SelectText(nullptr, path, text));
  return text;
}

}  // namespace

TEST(XmlDocumentEncoding, DetectsMarksAndDeclarations) {
  std::string name;
  EXPECT_EQ(CXmlDocument::Encoding::Utf8, CXmlDocument::DetectEncoding("\xEF\xBB\xBF<a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf16LE, CXmlDocument::DetectEncoding(std::string("\xFF\xFE<\0", 4), name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf16BE, CXmlDocument::DetectEncoding(std::string("\xFE\xFF\0<", 4), name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf16LE, CXmlDocument::DetectEncoding(std::string("<\0?\0x\0", 6), name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf8,
            CXmlDocument::DetectEncoding("<?xml version='1.0' encoding = 'utf-8'?><a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Cp932,
            CXmlDocument::DetectEncoding("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf8, CXmlDocument::DetectEncoding("<?xml version=\"1.0\"?><a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Utf8, CXmlDocument::DetectEncoding("<a>\xE3\x82\xBD</a>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<a>\x83\x5C</a>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<a>\xE3\x82</a>", name)) << "cut short";
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<a>\xC0\xBC</a>", name)) << "overlong";
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<a>\xED\xA0\x80</a>", name)) << "surrogate";
  EXPECT_EQ(CXmlDocument::Encoding::Declared,
            CXmlDocument::DetectEncoding("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", name));
  EXPECT_EQ("ISO-8859-1", name);
}

// The common encodings, safety and lookups are held by XmlDocumentCheck.cpp,
// which runs on both builds; these are the cases beyond it.
TEST(XmlDocumentEncoding, BigEndianAndOtherDeclaredEncodings) {
  const std::u16string doc16 = u"<D:a xmlns:D=\"DAV:\"><D:b>ソメール</D:b></D:a>";
  EXPECT_EQ(kSoCp932 + kMailCp932, TextOf(Utf16(doc16, true, true)));
  // Latin-1 e-acute has no code page 932 form and becomes "?", as the
  // Windows conversion does.
  EXPECT_EQ("caf?", TextOf("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><D:a xmlns:D=\"DAV:\"><D:b>caf\xE9</D:b></D:a>"));
}

TEST(XmlDocumentLookup, SelectIntReadsLikeAtoi) {
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.Load("<D:a xmlns:D=\"DAV:\"><D:n1>  42abc</D:n1><D:n2>-7</D:n2><D:n3>abc</D:n3><D:n4/>"
           "<D:n5>99999999999</D:n5><D:n6>-99999999999</D:n6><D:n7>+5</D:n7></D:a>");
  EXPECT_EQ(42, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n1"));
  EXPECT_EQ(-7, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n2"));
  EXPECT_EQ(0, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n3"));
  EXPECT_EQ(0, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n4"));
  EXPECT_EQ(0, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:missing"));
  EXPECT_EQ(2147483647, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n5"));  // saturates, no overflow
  EXPECT_EQ(-2147483647 - 1, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n6"));
  EXPECT_EQ(5, CHotmailHTTP::SelectInt(doc, nullptr, "D:a/D:n7"));
}

TEST(XmlDocumentError, TextFallsBackToTheComForms) {
  // Codes without a system text get the forms of a COM error.
  EXPECT_EQ("IDispatch error #1", CXmlDocument::Error(static_cast<HRESULT>(0x80040201UL)).Text());
  EXPECT_EQ("Unknown error 0x80040200", CXmlDocument::Error(static_cast<HRESULT>(0x80040200UL)).Text());
  EXPECT_EQ("own text", CXmlDocument::Error(CXmlDocument::kPointerError, "own text").Text());
}

namespace {

// The texts of D:b in every D:r of a body pulled through StreamEach in
// pieces that end at `cuts` (offsets into the body; the rest comes in one
// piece), or "<error>" when it throws. `failAt`: the source fails there.
std::string Streamed(const std::string& body, std::vector<size_t> cuts, size_t failAt = std::string::npos) {
  cuts.push_back(body.size());
  size_t at = 0, next = 0;
  std::string texts;
  try {
    CXmlDocument doc;
    doc.BindPrefix("D", "DAV:");
    doc.StreamEach(
        [&](char* buffer, int size) {
          if (at >= failAt) return -1;
          if (at == body.size()) return 0;
          while (next < cuts.size() && cuts[next] <= at) ++next;
          const size_t end = std::min({cuts[next], at + static_cast<size_t>(size), failAt});
          memcpy(buffer, body.data() + at, end - at);
          const int n = static_cast<int>(end - at);
          at = end;
          return n;
        },
        "DAV:", "r",
        [&](CXmlDocument::Node r) {
          std::string text;
          doc.SelectText(r, "D:b", text);
          texts += text + "|";
        });
  } catch (const CXmlDocument::Error&) {
    return texts + "<error>";
  }
  return texts;
}

// Two elements, after more than the start a stream is sniffed by, so that
// cuts fall where the body is converted piece by piece.
std::string Listing(const std::string& first, const std::string& second, const std::string& declaration = "") {
  return declaration + "<D:a xmlns:D=\"DAV:\">" + std::string(600, ' ') + "<D:r><D:b>" + first +
         "</D:b></D:r><D:r><D:b>" + second + "</D:b></D:r></D:a>";
}

// Whether a streamed result is the one expected. The parser reads ahead, so
// a body that fails may fail before some of the elements ahead of the fault
// were visited: those that were must be the first expected.
bool Matches(const std::string& expected, const std::string& got) {
  const std::string error = "<error>";
  const auto failed = [&](const std::string& s) {
    return s.size() >= error.size() && s.compare(s.size() - error.size(), error.size(), error) == 0;
  };
  if (!failed(expected)) return got == expected;
  return failed(got) && expected.compare(0, got.size() - error.size(), got, 0, got.size() - error.size()) == 0;
}

}  // namespace

// A streamed body reads as the same body held whole, wherever its pieces
// end: inside a mark, a declaration, a tag, a UTF-8 sequence, a UTF-16
// unit or a code page 932 pair.
TEST(XmlDocumentStream, EveryCutReadsAsTheWholeBody) {
  const std::string so = kSoCp932, mail = kMailCp932;
  const std::string sjis = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  } cases[] = {
      {"UTF-8 declared", Listing(u8"ソ", u8"メール", "<?xml version=\"1.0\" encoding=\"utf-8\"?>"), so + "|" + mail + "|"},
      {"UTF-8 undeclared", Listing(u8"ソ", "x"), so + "|x|"},
      {"UTF-8 mark", "\xEF\xBB\xBF" + Listing("x", u8"ソ"), "x|" + so + "|"},
      {"code page 932 undeclared", Listing(so, mail), so + "|" + mail + "|"},
      // Its first pairs read as UTF-8 too; what follows them does not.
      {"code page 932 starting like UTF-8", Listing("\xE3\x81\x82\xA0", "x"), "\xE3\x81\x82\xA0|x|"},
      {"code page 932 gap", Listing(so + "\x85\x40" + so, "x"), so + "\x81\x45" + so + "|x|"},
      {"code page 932 lead byte last", Listing("x", "y") + "\x83", "x|y|<error>"},  // U+30FB after the root
      {"Shift_JIS declared", Listing(mail, so, sjis), mail + "|" + so + "|"},
      {"UTF-16 mark", Utf16(u"<D:a xmlns:D=\"DAV:\">" + std::u16string(300, u' ') +
                                u"<D:r><D:b>ソ</D:b></D:r><D:r><D:b>メール</D:b></D:r></D:a>", false, true),
       so + "|" + mail + "|"},
      {"UTF-16 big-endian", Utf16(u"<?xml version=\"1.0\"?><D:a xmlns:D=\"DAV:\">" + std::u16string(300, u' ') +
                                      u"<D:r><D:b>ソ</D:b></D:r></D:a>", true, false),
       so + "|"},
      {"zero byte ends it", Listing("x", "y") + std::string("\0<junk", 6), "x|y|"},
      {"zero byte inside", Listing("x", "y").substr(0, 643) + std::string("\0", 1) + Listing("x", "y").substr(643),
       "x|<error>"},
      {"document type", "<!DOCTYPE a>" + Listing("x", "y"), "<error>"},
      {"cut short", Listing("x", "y").substr(0, 660), "x|<error>"},
      {"empty", "", "<error>"},
  };
  for (const Case& c : cases) {
    EXPECT_PRED2(Matches, c.expected, Streamed(c.body, {})) << c.name << ", whole";
    std::vector<size_t> bytes;
    for (size_t cut = 1; cut < c.body.size(); ++cut) {
      EXPECT_PRED2(Matches, c.expected, Streamed(c.body, {cut})) << c.name << ", cut at " << cut;
      bytes.push_back(cut);
    }
    EXPECT_PRED2(Matches, c.expected, Streamed(c.body, bytes)) << c.name << ", byte by byte";
  }
}

TEST(XmlDocumentStream, FailingSourceThrowsAfterWhatItGave) {
  const std::string body = Listing("x", "y");
  for (size_t failAt = 0; failAt < body.size(); ++failAt)
    EXPECT_EQ("<error>", Streamed(body, {}, failAt)) << failAt;
  // A long body fails after the elements it has given.
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "<D:r><D:b>" + std::to_string(i) + "</D:b></D:r>";
  const std::string texts = Streamed("<D:a xmlns:D=\"DAV:\">" + many + "</D:a>", {}, many.size() / 2);
  EXPECT_EQ(0u, texts.find("0|1|2|"));
  EXPECT_EQ(texts.size() - 7, texts.find("|<error>") + 1);
  EXPECT_EQ(std::string::npos, texts.find("|19999|"));
}

// A body that declares no encoding is read as UTF-8 or code page 932 from
// its first stretch of high bytes; a sequence later found not to be UTF-8
// in a body read as UTF-8 is read as code page 932 alone.
TEST(XmlDocumentStream, UndeclaredLongBodyIsDecidedByItsFirstMegabyte) {
  const std::string filler(1100 * 1024, ' ');
  std::vector<size_t> pieces;
  for (size_t cut = 4096; cut < filler.size(); cut += 65521) pieces.push_back(cut);
  const auto body = [&](const std::string& first, const std::string& second) {
    return "<D:a xmlns:D=\"DAV:\"><D:r><D:b>" + first + "</D:b></D:r>" + filler + "<D:r><D:b>" + second +
           "</D:b></D:r></D:a>";
  };
  struct Case {
    std::string body;
    std::string expected;
  } cases[] = {
      {body(u8"ソ", u8"メール"), kSoCp932 + "|" + kMailCp932 + "|"},
      // Read as UTF-8, a pair that is not UTF-8 is read as code page 932.
      {body(u8"ソ", kMailCp932), kSoCp932 + "|" + kMailCp932 + "|"},
      // Read as code page 932 throughout, the UTF-8 bytes of the second
      // are its pairs as they stand.
      {body(kSoCp932, u8"メール"), kSoCp932 + "|" + std::string(u8"メール") + "|"},
      {body("x", u8"ソ"), "x|" + kSoCp932 + "|"},  // plain bytes decide nothing
      {body("x", kSoCp932), "x|" + kSoCp932 + "|"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Streamed(c.body, pieces));
    // Cuts inside the second element's characters.
    for (size_t cut = c.body.size() - 30; cut < c.body.size() - 20; ++cut) {
      std::vector<size_t> cuts = pieces;
      cuts.push_back(cut);
      EXPECT_EQ(c.expected, Streamed(c.body, cuts)) << "cut at " << cut;
    }
  }
}
