// CXmlDocument on libxml2. The parser never touches the network, loads no
// external entity, substitutes no entity and refuses any document type
// declaration, so a reply can only ever describe itself. Node texts come
// out of libxml2 as UTF-8 and are handed on in code page 932.
#include "XmlDocument.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <algorithm>
#include <exception>

#include <libxml/parser.h>
#include <libxml/xmlreader.h>
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

// UTF-8 to code page 932 through a converter opened once per document; a
// character that code page lacks becomes "?", as WideCharToMultiByte's
// default character.
class Cp932Converter {
 public:
  Cp932Converter() = default;
  Cp932Converter(const Cp932Converter&) = delete;
  Cp932Converter& operator=(const Cp932Converter&) = delete;
  ~Cp932Converter() {
    if (Opened()) iconv_close(cd_);
  }

  std::string Convert(const char* utf8, size_t size) {
    // ASCII is the same bytes in both; most of a listing's texts are.
    if (std::all_of(utf8, utf8 + size, [](char c) { return (c & 0x80) == 0; })) return std::string(utf8, size);
    if (!Opened()) cd_ = iconv_open("CP932", "UTF-8");
    if (!Opened()) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // a fresh start for each text
    std::string out(size + 16, '\0');  // CP932 never needs more bytes than UTF-8
    char* in = const_cast<char*>(utf8);
    size_t inLeft = size;
    char* dst = &out[0];
    size_t dstLeft = out.size();
    while (inLeft > 0) {
      if (iconv(cd_, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        const size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2);
        dst = &out[used];
        dstLeft = out.size() - used;
        continue;
      }
      // EILSEQ or EINVAL: replace one character and carry on after it.
      if (dstLeft == 0) {
        const size_t used = out.size();
        out.resize(out.size() * 2);
        dst = &out[used];
        dstLeft = out.size() - used;
      }
      *dst++ = '?';
      --dstLeft;
      size_t skip = Utf8SequenceLength(static_cast<unsigned char>(*in));
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
    }
    out.resize(out.size() - dstLeft);
    return out;
  }

 private:
  bool Opened() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

bool IsCp932Lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Code page 932 to UTF-8 as Windows converts it: a byte pair, or a byte,
// that the code page does not define becomes U+30FB (its default
// character) and the rest is read on. Given whole characters: a lead byte
// ends a text only where the body ends.
class Cp932Decoder {
 public:
  Cp932Decoder() = default;
  Cp932Decoder(const Cp932Decoder&) = delete;
  Cp932Decoder& operator=(const Cp932Decoder&) = delete;
  ~Cp932Decoder() {
    if (Opened()) iconv_close(cd_);
  }

  void Append(std::string_view cp932, std::string& out) {
    if (!Opened()) cd_ = iconv_open("UTF-8", "CP932");
    if (!Opened()) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    const size_t start = out.size();
    out.resize(start + cp932.size() * 3 + 16);  // no byte of it takes more than three in UTF-8
    char* in = const_cast<char*>(cp932.data());
    size_t inLeft = cp932.size();
    char* dst = &out[start];
    size_t dstLeft = out.size() - start;
    while (inLeft > 0) {
      if (iconv(cd_, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
      const bool full = errno == E2BIG;
      if (full || dstLeft < 3) {
        const size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2);
        dst = &out[used];
        dstLeft = out.size() - used;
        if (full) continue;
      }
      memcpy(dst, "\xE3\x83\xBB", 3);
      dst += 3;
      dstLeft -= 3;
      const size_t skip = IsCp932Lead(static_cast<unsigned char>(*in)) && inLeft >= 2 ? 2 : 1;
      in += skip;
      inLeft -= skip;
    }
    out.resize(out.size() - dstLeft);
  }

 private:
  bool Opened() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

std::string Cp932ToUtf8(std::string_view cp932) {
  std::string out;
  Cp932Decoder().Append(cp932, out);
  return out;
}

// What the parser reads: the body (or `converted`), the encoding to tell
// it and its options. Code page 932 is decoded here, leniently, because the
// parser would give up on the whole body at the first byte pair the code
// page lacks; the parser must then ignore the declaration that still names
// the code page.
struct ParserInput {
  std::string_view text;
  std::string encoding;
  int options = kParseOptions;
  std::string converted;
};

void PrepareParserInput(const std::string& body, ParserInput& input) {
  std::string declared;
  const CXmlDocument::Encoding encoding = CXmlDocument::DetectEncoding(body, declared);
  input.text = CXmlDocument::PrepareBody(body, encoding);
  if (encoding == CXmlDocument::Encoding::Cp932) {
    input.converted = Cp932ToUtf8(input.text);
    input.text = input.converted;
    input.encoding = "UTF-8";
    input.options |= XML_PARSE_IGNORE_ENC;
    return;
  }
  input.encoding = ParserEncodingName(encoding, declared);
}

// What the parser reads of a body pulled from its source, as Parse reads
// a whole one: the start is read first to learn the encoding; then the
// body passes piece by piece, without its byte-order mark, ended at a first
// zero byte unless it is UTF-16, and code page 932 is decoded here. A body
// that declares no encoding is held from its first byte above 0x7F until
// kDecisionWindow bytes show whether it is UTF-8; a byte sequence of a body
// so read as UTF-8 that proves not to be UTF-8 is read as code page 932.
class BodyInput {
 public:
  explicit BodyInput(const CXmlDocument::Source& source) : source_(source) {}
  BodyInput(const BodyInput&) = delete;
  BodyInput& operator=(const BodyInput&) = delete;

  // Reads the start of the body and settles how the parser is to read it.
  void Start();
  const char* Encoding() const { return encoding_.c_str(); }
  int Options() const { return options_; }
  // The parser's read callback.
  static int Read(void* context, char* buffer, int size);
  // Throws what a read ran into, if anything.
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  enum class Mode { Pass, Cp932, Undecided, LenientUtf8 };
  static constexpr int kPiece = 64 * 1024;
  static constexpr size_t kDecisionWindow = 1024 * 1024;

  int Give(char* buffer, int size);
  void Pull();
  void Convert();
  void ConvertCp932();
  void ConvertUndecided();
  void ConvertLenientUtf8();

  const CXmlDocument::Source& source_;
  std::string raw_;   // pulled, not yet converted
  std::string out_;   // for the parser, from outAt_ on
  size_t outAt_ = 0;
  Mode mode_ = Mode::Pass;
  bool cutAtZero_ = false;
  bool ended_ = false;  // nothing more comes from the source
  bool failed_ = false;
  std::exception_ptr failure_;
  std::string encoding_ = "UTF-8";
  int options_ = kParseOptions;
  Cp932Decoder decoder_;
};

void BodyInput::Start() {
  while (raw_.size() < CXmlDocument::kEncodingHead && !ended_) Pull();
  if (failed_) throw CXmlDocument::Error(CXmlDocument::kUnspecifiedError, kNotXml);
  CXmlDocument::Encoding encoding = CXmlDocument::Encoding::Utf8;
  std::string declared;
  if (!CXmlDocument::DetectMarkedEncoding(raw_, encoding, declared)) {
    mode_ = Mode::Undecided;
    encoding = CXmlDocument::Encoding::Cp932;  // read as bytes: cut at a zero, no mark
  } else if (encoding == CXmlDocument::Encoding::Cp932) {
    mode_ = Mode::Cp932;
  } else {
    encoding_ = ParserEncodingName(encoding, declared);
  }
  // Whatever comes out of Convert for these is UTF-8, but the body's own
  // declaration may still name its code page.
  if (mode_ != Mode::Pass) options_ |= XML_PARSE_IGNORE_ENC;
  const std::string_view prepared = CXmlDocument::PrepareBody(raw_, encoding);
  cutAtZero_ = encoding != CXmlDocument::Encoding::Utf16LE && encoding != CXmlDocument::Encoding::Utf16BE;
  if (cutAtZero_ && prepared.size() < raw_.size() - (prepared.data() - raw_.data())) ended_ = true;
  raw_ = std::string(prepared);
}

int BodyInput::Read(void* context, char* buffer, int size) {
  auto* input = static_cast<BodyInput*>(context);
  try {
    return input->Give(buffer, size);
  } catch (...) {  // no exception may cross the parser
    input->failure_ = std::current_exception();
    input->failed_ = input->ended_ = true;
    return -1;
  }
}

int BodyInput::Give(char* buffer, int size) {
  while (outAt_ == out_.size()) {
    if (failed_) return -1;
    out_.clear();
    outAt_ = 0;
    Convert();
    if (!out_.empty()) break;
    if (ended_) return failed_ ? -1 : 0;
    Pull();
  }
  const size_t n = std::min(static_cast<size_t>(size), out_.size() - outAt_);
  memcpy(buffer, out_.data() + outAt_, n);
  outAt_ += n;
  return static_cast<int>(n);
}

void BodyInput::Pull() {
  if (ended_) return;
  const size_t at = raw_.size();
  raw_.resize(at + kPiece);
  const int n = source_(&raw_[at], kPiece);
  raw_.resize(at + static_cast<size_t>(std::max(n, 0)));
  if (n <= 0) {
    failed_ = n < 0;
    ended_ = true;
    return;
  }
  if (!cutAtZero_) return;
  const size_t zero = raw_.find('\0', at);
  if (zero == std::string::npos) return;
  raw_.resize(zero);
  ended_ = true;
}

// Moves from raw_ to out_ what the parser may read now; all of it once the
// source has ended.
void BodyInput::Convert() {
  switch (mode_) {
    case Mode::Pass:
      out_.append(raw_);
      raw_.clear();
      return;
    case Mode::Cp932: return ConvertCp932();
    case Mode::Undecided: return ConvertUndecided();
    case Mode::LenientUtf8: return ConvertLenientUtf8();
  }
}

void BodyInput::ConvertCp932() {
  size_t whole = 0;  // the bytes of whole characters; a last lead byte waits for its pair
  while (whole < raw_.size()) {
    const size_t width = IsCp932Lead(static_cast<unsigned char>(raw_[whole])) ? 2 : 1;
    if (whole + width > raw_.size()) break;
    whole += width;
  }
  if (ended_) whole = raw_.size();
  decoder_.Append(std::string_view(raw_).substr(0, whole), out_);
  raw_.erase(0, whole);
}

void BodyInput::ConvertUndecided() {
  const auto high = std::find_if(raw_.begin(), raw_.end(), [](char c) { return (c & 0x80) != 0; });
  out_.append(raw_.begin(), high);
  raw_.erase(raw_.begin(), high);
  if (raw_.empty() || (raw_.size() < kDecisionWindow && !ended_)) return;
  mode_ = Mode::LenientUtf8;
  for (size_t i = 0; i < raw_.size();) {
    const size_t length = CXmlDocument::Utf8SequenceLength(std::string_view(raw_).substr(i));
    if (length == CXmlDocument::kUtf8Partial && !ended_) break;  // the window ends inside it
    if (length == 0 || length == CXmlDocument::kUtf8Partial) {
      mode_ = Mode::Cp932;
      break;
    }
    i += length;
  }
  Convert();
}

void BodyInput::ConvertLenientUtf8() {
  const std::string_view raw(raw_);
  size_t done = 0;  // handed on up to here
  size_t at = 0;
  while (at < raw.size()) {
    const size_t length = CXmlDocument::Utf8SequenceLength(raw.substr(at));
    if (length == CXmlDocument::kUtf8Partial && !ended_) break;
    if (length != 0 && length != CXmlDocument::kUtf8Partial) {
      at += length;
      continue;
    }
    const size_t width = IsCp932Lead(static_cast<unsigned char>(raw[at])) ? 2 : 1;
    if (at + width > raw.size() && !ended_) break;
    out_.append(raw.substr(done, at - done));
    decoder_.Append(raw.substr(at, width), out_);
    at = std::min(at + width, raw.size());
    done = at;
  }
  out_.append(raw.substr(done, at - done));
  raw_.erase(0, at);
}

}  // namespace

struct CXmlDocument::Impl {
  xmlDocPtr doc = nullptr;
  bool ownsDoc = true;  // false while a streaming reader owns it
  // One XPath context for SelectNodes, its prefixes bound once.
  xmlXPathContextPtr xpath = nullptr;
  Cp932Converter converter;
  std::vector<Step> steps;  // of the path being looked up, kept for its capacity

  static bool Matches(const xmlNode* node, const Step& step) {
    if (node->type != XML_ELEMENT_NODE || step.localName != reinterpret_cast<const char*>(node->name)) return false;
    if (node->ns == nullptr || node->ns->href == nullptr) return step.uri.empty();
    return !step.uri.empty() && step.uri == reinterpret_cast<const char*>(node->ns->href);
  }

  // The first element in document order that the steps reach from `from`.
  static xmlNodePtr FindFirst(xmlNodePtr from, const Step* step, const Step* end) {
    for (xmlNodePtr child = from->children; child != nullptr; child = child->next) {
      if (!Matches(child, *step)) continue;
      if (step + 1 == end) return child;
      if (xmlNodePtr found = FindFirst(child, step + 1, end)) return found;
    }
    return nullptr;
  }

  ~Impl() { Reset(); }

  void Reset() {
    if (xpath != nullptr) xmlXPathFreeContext(xpath);
    xpath = nullptr;
    if (doc != nullptr && ownsDoc) xmlFreeDoc(doc);
    doc = nullptr;
    ownsDoc = true;
  }

  // Takes a parsed document over (or, for a reader's, uses it), with a
  // context whose prefixes are bound.
  void Adopt(xmlDocPtr parsed, const std::vector<Binding>& bindings, bool owns = true) {
    Reset();
    doc = parsed;
    ownsDoc = owns;
    xpath = xmlXPathNewContext(doc);
    if (xpath == nullptr) return;
    xpath->error = IgnoreXPathError;
    for (const Binding& b : bindings)
      xmlXPathRegisterNs(xpath, BAD_CAST b.prefix.c_str(), BAD_CAST b.uri.c_str());
  }

  // A path evaluated from a context node.
  xmlXPathObjectPtr Evaluate(xmlNodePtr context, const char* path) {
    if (xpath == nullptr) return nullptr;
    xpath->node = context;
    return xmlXPathEvalExpression(BAD_CAST path, xpath);
  }
};

// The parser's globals are set up before any worker thread parses.
CXmlDocument::CXmlDocument() : impl_(new Impl) { xmlInitParser(); }

CXmlDocument::~CXmlDocument() {}

void CXmlDocument::Load(const std::string& body) {
  if (body.size() > kMaxBodySize) throw Error(kOutOfMemory, kTooLarge);
  Parse(body);
}

void CXmlDocument::Parse(const std::string& body) {
  ParserInput input;
  PrepareParserInput(body, input);

  xmlInitParser();
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (parser == nullptr) throw Error(kOutOfMemory);
  bool doctype = false;
  doctypeSeen = &doctype;
  parser->sax->internalSubset = RefuseDoctype;
  xmlDocPtr doc = xmlCtxtReadMemory(parser, input.text.data(), static_cast<int>(input.text.size()), nullptr,
                                    input.encoding.c_str(), input.options);
  doctypeSeen = nullptr;
  xmlFreeParserCtxt(parser);
  if (doc != nullptr && (doctype || doc->intSubset != nullptr || doc->extSubset != nullptr)) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  if (doc == nullptr) throw Error(kUnspecifiedError, kNotXml);
  impl_->Adopt(doc, bindings_);
  if (impl_->xpath == nullptr) throw Error(kOutOfMemory);
}

std::vector<CXmlDocument::Node> CXmlDocument::SelectNodes(const char* path) {
  if (impl_->doc == nullptr) throw Error(kPointerError);
  xmlXPathObjectPtr result = impl_->Evaluate(reinterpret_cast<xmlNodePtr>(impl_->doc), path);
  if (result == nullptr) throw Error(kPointerError);
  std::vector<Node> nodes;
  xmlNodeSetPtr set = result->type == XPATH_NODESET ? result->nodesetval : nullptr;
  if (set != nullptr) nodes.assign(set->nodeTab, set->nodeTab + set->nodeNr);
  xmlXPathFreeObject(result);
  return nodes;
}

bool CXmlDocument::SelectText(Node context, const char* path, std::string& text) noexcept {
  return SelectIn(context, path, text, 932);
}

bool CXmlDocument::SelectUtf8Text(Node context, const char* path, std::string& text) noexcept {
  return SelectIn(context, path, text, CP_UTF8);
}

bool CXmlDocument::SelectIn(Node context, const char* path, std::string& text, unsigned codePage) noexcept {
  text.clear();
  if (impl_->doc == nullptr) return false;
  xmlNodePtr from = context != nullptr ? static_cast<xmlNodePtr>(const_cast<void*>(context))
                                       : reinterpret_cast<xmlNodePtr>(impl_->doc);
  bool found = false;
  xmlChar* content = nullptr;
  try {
    std::vector<Step>& steps = impl_->steps;
    if (!ResolvePath(path, steps)) return false;
    const xmlNodePtr node = Impl::FindFirst(from, steps.data(), steps.data() + steps.size());
    if (node == nullptr) return false;
    content = xmlNodeGetContent(node);
    const char* utf8 = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    text = codePage == CP_UTF8 ? std::string(utf8) : impl_->converter.Convert(utf8, strlen(utf8));
    found = true;
  } catch (...) {
    text.clear();
  }
  if (content != nullptr) xmlFree(content);
  return found;
}

namespace {

// Frees a streaming reader when the walk ends, however it ends.
class ReaderHandle {
 public:
  explicit ReaderHandle(xmlTextReaderPtr reader) : reader_(reader) {}
  ~ReaderHandle() {
    if (reader_ != nullptr) xmlFreeTextReader(reader_);
  }
  ReaderHandle(const ReaderHandle&) = delete;
  ReaderHandle& operator=(const ReaderHandle&) = delete;
  xmlTextReaderPtr Get() const { return reader_; }

 private:
  xmlTextReaderPtr reader_;
};

bool IsElement(xmlTextReaderPtr reader, const char* uri, const char* localName) {
  if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) return false;
  const xmlChar* name = xmlTextReaderConstLocalName(reader);
  const xmlChar* ns = xmlTextReaderConstNamespaceUri(reader);
  return name != nullptr && ns != nullptr && xmlStrEqual(name, BAD_CAST localName) && xmlStrEqual(ns, BAD_CAST uri);
}

}  // namespace

void CXmlDocument::LoadEach(const std::string& body, const char* uri, const char* localName,
                            const std::function<void(Node)>& visit) {
  if (body.size() > kMaxListingSize) throw Error(kOutOfMemory, kTooLarge);
  size_t at = 0;
  StreamEach(
      [&](char* buffer, int size) {
        const size_t n = std::min(static_cast<size_t>(size), body.size() - at);
        memcpy(buffer, body.data() + at, n);
        at += n;
        return static_cast<int>(n);
      },
      uri, localName, visit);
}

// The reader frees each element's tree once it has moved past it, and the
// parser its input once read, so only the element being visited is held.
void CXmlDocument::StreamEach(const Source& source, const char* uri, const char* localName,
                              const std::function<void(Node)>& visit) {
  BodyInput input(source);
  input.Start();
  impl_->Reset();
  ReaderHandle reader(
      xmlReaderForIO(&BodyInput::Read, nullptr, &input, nullptr, input.Encoding(), input.Options()));
  if (reader.Get() == nullptr) {
    input.RethrowFailure();
    throw Error(kOutOfMemory);
  }
  struct Detach {
    Impl& impl;
    ~Detach() { impl.Reset(); }  // the reader's document goes with the reader
  } detach{*impl_};
  const auto notXml = [&input] {
    input.RethrowFailure();
    return Error(kUnspecifiedError, kNotXml);
  };
  int more = xmlTextReaderRead(reader.Get());
  while (more == 1) {
    if (xmlTextReaderNodeType(reader.Get()) == XML_READER_TYPE_DOCUMENT_TYPE) throw notXml();
    if (!IsElement(reader.Get(), uri, localName)) {
      more = xmlTextReaderRead(reader.Get());
      continue;
    }
    xmlNodePtr element = xmlTextReaderExpand(reader.Get());
    if (element == nullptr) throw notXml();
    if (impl_->doc == nullptr) {
      // The element's own document pointer: asking the reader for its
      // document would make it keep every tree it has passed.
      impl_->Adopt(element->doc, bindings_, false);
      if (impl_->xpath == nullptr) throw Error(kOutOfMemory);
    }
    visit(element);
    more = xmlTextReaderNext(reader.Get());
  }
  if (more != 0) throw notXml();
}
