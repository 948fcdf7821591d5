// The XML document behind the readers: encodings, safety, namespaces and
// the two lookups.
#include <gtest/gtest.h>

#include <string>

#include "httpmail/HotmailHTTP.h"
#include "httpmail/XmlDocument.h"
#include "support/TempDir.h"

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
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<?xml version=\"1.0\"?><a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Cp932, CXmlDocument::DetectEncoding("<a/>", name));
  EXPECT_EQ(CXmlDocument::Encoding::Declared,
            CXmlDocument::DetectEncoding("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", name));
  EXPECT_EQ("ISO-8859-1", name);
}

TEST(XmlDocumentEncoding, NodeTextsComeOutInCp932) {
  const std::string tail = "</D:b></D:a>";
  // UTF-8 with a declaration, UTF-8 with a byte-order mark only.
  EXPECT_EQ(kSoCp932 + kMailCp932,
            TextOf(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><D:a xmlns:D=\"DAV:\"><D:b>") +
                   u8"ソメール" + tail));
  EXPECT_EQ(kSoCp932, TextOf(std::string("\xEF\xBB\xBF<D:a xmlns:D=\"DAV:\"><D:b>") + u8"ソ" + tail));
  // UTF-16 both ways, with and without a mark: nothing is cut at the zero
  // bytes of the ASCII characters.
  const std::u16string doc16 = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><D:a xmlns:D=\"DAV:\"><D:b>ソメール</D:b></D:a>";
  EXPECT_EQ(kSoCp932 + kMailCp932, TextOf(Utf16(doc16, false, true)));
  EXPECT_EQ(kSoCp932 + kMailCp932, TextOf(Utf16(doc16, true, true)));
  EXPECT_EQ(kSoCp932 + kMailCp932, TextOf(Utf16(doc16, false, false)));
  // Neither mark nor declared encoding: the bytes are code page 932.
  EXPECT_EQ(kSoCp932 + kMailCp932, TextOf("<D:a xmlns:D=\"DAV:\"><D:b>" + kSoCp932 + kMailCp932 + tail));
  EXPECT_EQ(kMailCp932, TextOf("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><D:a xmlns:D=\"DAV:\"><D:b>" +
                               kMailCp932 + tail));
  // Another declared encoding is honoured too: Latin-1 e-acute has no
  // code page 932 form and becomes "?", as the Windows conversion does.
  EXPECT_EQ("caf?", TextOf("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><D:a xmlns:D=\"DAV:\"><D:b>caf\xE9" + tail));
}

TEST(XmlDocumentEncoding, ByteBodyEndsAtItsFirstZeroByte) {
  std::string body = std::string("<D:a xmlns:D=\"DAV:\"><D:b>x</D:b></D:a>") + std::string("\0garbage<", 9);
  EXPECT_EQ("x", TextOf(body));
}

TEST(XmlDocumentSafety, RefusesWhatIsNotPlainXml) {
  const char* bodies[] = {
      "",
      "not xml at all",
      "<D:a xmlns:D=\"DAV:\"><D:b>unclosed</D:a>",
      // Entity expansion ("billion laughs") and an external entity.
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x \"xxxxxxxxxx\"><!ENTITY y \"&x;&x;&x;&x;&x;&x;&x;\">]>"
      "<D:a xmlns:D=\"DAV:\"><D:b>&y;</D:b></D:a>",
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
      "<D:a xmlns:D=\"DAV:\"><D:b>&e;</D:b></D:a>",
      "<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/x.dtd\"><D:a xmlns:D=\"DAV:\"/>",
  };
  for (const char* body : bodies) {
    CXmlDocument doc;
    try {
      doc.Load(body);
      ADD_FAILURE() << "loaded: " << body;
    } catch (const CXmlDocument::Error& e) {
      EXPECT_EQ(CXmlDocument::kUnspecifiedError, e.code) << body;
      EXPECT_FALSE(e.Text().empty());
    }
  }
}

TEST(XmlDocumentSafety, RefusesBodiesAboveTheSizeLimit) {
  std::string body = "<a>" + std::string(CXmlDocument::kMaxBodySize, ' ') + "</a>";
  CXmlDocument doc;
  try {
    doc.Load(body);
    ADD_FAILURE() << "an oversized body was loaded";
  } catch (const CXmlDocument::Error& e) {
    EXPECT_EQ(CXmlDocument::kOutOfMemory, e.code);
  }
}

TEST(XmlDocumentLookup, PrefixesResolveThroughTheirNamespaces) {
  // The reply's own prefixes differ, and one uses a default namespace.
  const std::string body =
      "<x:multistatus xmlns:x=\"DAV:\"><x:response><x:href>h1</x:href></x:response>"
      "<response xmlns=\"DAV:\"><href>h2</href></response>"
      "<D:response xmlns:D=\"urn:other\"><D:href>not DAV</D:href></D:response></x:multistatus>";
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.Load(body);
  std::vector<CXmlDocument::Node> responses = doc.SelectNodes("//D:response");
  ASSERT_EQ(2u, responses.size());
  std::string text;
  EXPECT_TRUE(doc.SelectText(responses[0], "D:href", text));
  EXPECT_EQ("h1", text);
  EXPECT_TRUE(doc.SelectText(responses[1], "D:href", text));
  EXPECT_EQ("h2", text);
  // A prefix that was never bound finds nothing and empties the target.
  EXPECT_FALSE(doc.SelectText(responses[0], "q:href", text));
  EXPECT_EQ("", text);
}

TEST(XmlDocumentLookup, ResponsesAtAnyDepthInDocumentOrderAndFirstMatchWins) {
  const std::string body =
      "<D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>1</D:href><D:href>1b</D:href></D:response>"
      "<D:x><D:y><D:response><D:href>2</D:href></D:response></D:y></D:x>"
      "<D:response><D:href>3<D:i>-in</D:i></D:href></D:response></D:multistatus>";
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.Load(body);
  std::vector<CXmlDocument::Node> responses = doc.SelectNodes("//D:response");
  ASSERT_EQ(3u, responses.size());
  std::string texts;
  for (CXmlDocument::Node r : responses) {
    std::string t;
    ASSERT_TRUE(doc.SelectText(r, "D:href", t));
    texts += t + ",";
  }
  EXPECT_EQ("1,2,3-in,", texts);  // first href only; descendants' text joined
}

TEST(XmlDocumentLookup, SelectTextFoundEmptyAndMissing) {
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.Load("<D:a xmlns:D=\"DAV:\"><D:b/><D:c>  spaced  </D:c></D:a>");
  std::string text = "previous";
  EXPECT_TRUE(doc.SelectText(nullptr, "D:a/D:b", text));
  EXPECT_EQ("", text);
  EXPECT_TRUE(doc.SelectText(nullptr, "D:a/D:c", text));
  EXPECT_EQ("  spaced  ", text);  // not trimmed
  text = "previous";
  EXPECT_FALSE(doc.SelectText(nullptr, "D:a/D:missing", text));
  EXPECT_EQ("", text);
  EXPECT_FALSE(doc.SelectText(nullptr, "D:a/[", text));  // a bad path is only "not found"
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
