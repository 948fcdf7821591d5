// The XML document behind the readers: encodings, safety, namespaces and
// the two lookups.
#include <gtest/gtest.h>

#include <string>

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
