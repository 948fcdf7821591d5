// CXmlDocument on libxml2. The parser never touches the network, loads no
// external entity, substitutes no entity and refuses any document type
// declaration, so a reply can only ever describe itself. Node texts come
// out of libxml2 as UTF-8 and are handed on in code page 932.
#include "XmlDocument.h"

#include <errno.h>
#include <iconv.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

namespace {

const char kTooLarge[] = "[レスポンスが大きすぎます]";
const char kNotXml[] = "[レスポンスの XML を読み取れませんでした]";

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const char* ParserEncodingName(CXmlDocument::Encoding encoding, const std::string& declared) {
  switch (encoding) {
    case CXmlDocument::Encoding::Cp932: return "CP932";
    case CXmlDocument::Encoding::Utf8: return "UTF-8";
    case CXmlDocument::Encoding::Utf16LE: return "UTF-16LE";
    case CXmlDocument::Encoding::Utf16BE: return "UTF-16BE";
    case CXmlDocument::Encoding::Declared: return declared.c_str();
  }
  return "CP932";
}

// Set while a body is parsed on this thread; the parser context's own
// fields are reset by the read call, so the flag lives here.
thread_local bool* doctypeSeen = nullptr;

// The parser calls this when it meets "<!DOCTYPE": stop right there.
void RefuseDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  if (doctypeSeen != nullptr) *doctypeSeen = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
}

void IgnoreXPathError(void*, xmlErrorPtr) {}

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// UTF-8 to code page 932; a character that code page lacks becomes "?",
// as WideCharToMultiByte's default character.
std::string Utf8ToCp932(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
  std::string out;
  std::string chunk(utf8.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  while (inLeft > 0) {
    char* dst = &chunk[0];
    size_t dstLeft = chunk.size();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(chunk.data(), chunk.size() - dstLeft);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: replace one character and carry on after it.
    out.push_back('?');
    size_t skip = Utf8SequenceLength(static_cast<unsigned char>(*in));
    if (skip > inLeft) skip = inLeft;
    in += skip;
    inLeft -= skip;
  }
  iconv_close(cd);
  return out;
}

bool IsCp932Lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Code page 932 to UTF-8 as Windows converts it: a byte pair, or a byte,
// that the code page does not define becomes U+30FB (its default
// character) and the rest is read on.
std::string Cp932ToUtf8(const std::string& cp932) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
  std::string out;
  std::string chunk(cp932.size() * 3 + 16, '\0');
  char* in = const_cast<char*>(cp932.data());
  size_t inLeft = cp932.size();
  while (inLeft > 0) {
    char* dst = &chunk[0];
    size_t dstLeft = chunk.size();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(chunk.data(), chunk.size() - dstLeft);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    out += "\xE3\x83\xBB";
    size_t skip = IsCp932Lead(static_cast<unsigned char>(*in)) && inLeft >= 2 ? 2 : 1;
    in += skip;
    inLeft -= skip;
  }
  iconv_close(cd);
  return out;
}

// The body as the parser reads it, and the encoding to tell the parser.
// Code page 932 is decoded here, leniently, because the parser would give
// up on the whole body at the first byte pair the code page lacks.
std::string BodyForParser(const std::string& body, std::string& parserEncoding) {
  std::string declared;
  const CXmlDocument::Encoding encoding = CXmlDocument::DetectEncoding(body, declared);
  std::string text = CXmlDocument::PrepareBody(body, encoding);
  if (encoding == CXmlDocument::Encoding::Cp932) {
    parserEncoding = "UTF-8";
    return Cp932ToUtf8(text);
  }
  parserEncoding = ParserEncodingName(encoding, declared);
  return text;
}

}  // namespace

struct CXmlDocument::Impl {
  xmlDocPtr doc = nullptr;

  ~Impl() {
    if (doc != nullptr) xmlFreeDoc(doc);
  }

  // A path evaluated from a context node, with the prefixes bound.
  xmlXPathObjectPtr Evaluate(const std::vector<Binding>& bindings, xmlNodePtr context, const char* path) {
    xmlXPathContextPtr xpath = xmlXPathNewContext(doc);
    if (xpath == nullptr) return nullptr;
    xpath->error = IgnoreXPathError;
    for (const Binding& b : bindings)
      xmlXPathRegisterNs(xpath, BAD_CAST b.prefix.c_str(), BAD_CAST b.uri.c_str());
    xpath->node = context;
    xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST path, xpath);
    xmlXPathFreeContext(xpath);
    return result;
  }
};

CXmlDocument::CXmlDocument() : impl_(new Impl) {}

CXmlDocument::~CXmlDocument() {}

void CXmlDocument::Load(const std::string& body) {
  if (body.size() > kMaxBodySize) throw Error(kOutOfMemory, kTooLarge);
  std::string parserEncoding;
  const std::string text = BodyForParser(body, parserEncoding);

  xmlInitParser();
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (parser == nullptr) throw Error(kOutOfMemory);
  bool doctype = false;
  doctypeSeen = &doctype;
  parser->sax->internalSubset = RefuseDoctype;
  xmlDocPtr doc = xmlCtxtReadMemory(parser, text.data(), static_cast<int>(text.size()), nullptr, parserEncoding.c_str(),
                                    kParseOptions);
  doctypeSeen = nullptr;
  xmlFreeParserCtxt(parser);
  if (doc != nullptr && (doctype || doc->intSubset != nullptr || doc->extSubset != nullptr)) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  if (doc == nullptr) throw Error(kUnspecifiedError, kNotXml);
  if (impl_->doc != nullptr) xmlFreeDoc(impl_->doc);
  impl_->doc = doc;
}

std::vector<CXmlDocument::Node> CXmlDocument::SelectNodes(const char* path) {
  if (impl_->doc == nullptr) throw Error(kPointerError);
  xmlXPathObjectPtr result = impl_->Evaluate(bindings_, reinterpret_cast<xmlNodePtr>(impl_->doc), path);
  if (result == nullptr) throw Error(kPointerError);
  std::vector<Node> nodes;
  xmlNodeSetPtr set = result->type == XPATH_NODESET ? result->nodesetval : nullptr;
  if (set != nullptr) nodes.assign(set->nodeTab, set->nodeTab + set->nodeNr);
  xmlXPathFreeObject(result);
  return nodes;
}

bool CXmlDocument::SelectText(Node context, const char* path, std::string& text) noexcept {
  text.clear();
  if (impl_->doc == nullptr) return false;
  xmlNodePtr from = context != nullptr ? static_cast<xmlNodePtr>(const_cast<void*>(context))
                                       : reinterpret_cast<xmlNodePtr>(impl_->doc);
  xmlXPathObjectPtr result = impl_->Evaluate(bindings_, from, path);
  if (result == nullptr) return false;
  bool found = false;
  xmlNodeSetPtr set = result->type == XPATH_NODESET ? result->nodesetval : nullptr;
  if (set != nullptr && set->nodeNr > 0) {
    xmlChar* content = xmlNodeGetContent(set->nodeTab[0]);
    try {
      text = Utf8ToCp932(content != nullptr ? reinterpret_cast<const char*>(content) : "");
      found = true;
    } catch (...) {
      text.clear();
    }
    if (content != nullptr) xmlFree(content);
  }
  xmlXPathFreeObject(result);
  return found;
}
