// CXmlDocument on MSXML ("Microsoft.XMLDOM", IXMLDOMDocument2). The body is
// decoded here, by its byte-order mark or declared encoding, and handed to
// loadXML as UTF-16 without its declaration. Lookups walk the DOM's
// children; SelectNodes uses XPath with the bound prefixes as selection
// namespaces. No DTD is accepted and nothing external is resolved.
#include "XmlDocument.h"

#include <msxml2.h>
#include <oleauto.h>
#include <wctype.h>
#include <strings.h>

namespace {

const char kTooLarge[] = "[レスポンスが大きすぎます]";
const char kNotXml[] = "[レスポンスの XML を読み取れませんでした]";
constexpr UINT kCodePage = 932;

// IID_IXMLDOMDocument2, spelled out so no import library is needed for it.
const IID kDocument2Id = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

class Bstr {
 public:
  explicit Bstr(const std::wstring& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (value_ == nullptr) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value_); }
  operator BSTR() const { return value_; }

 private:
  BSTR value_;
};

std::wstring Ascii(const char* text) {
  std::wstring out;
  for (; *text != '\0'; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return out;
}

std::wstring Widen(const std::string& bytes, UINT codePage) {
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) throw CXmlDocument::Error(CXmlDocument::kUnspecifiedError, kNotXml);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], n);
  return out;
}

std::wstring FromUtf16(const std::string& bytes, bool bigEndian) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    out += static_cast<wchar_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  }
  return out;
}

// Code pages for the encoding names a reply may declare besides UTF-8 and
// code page 932; 0 when the name is not known.
UINT CodePageOf(const std::string& name) {
  struct Entry {
    const char* name;
    UINT codePage;
  };
  static const Entry kNames[] = {
      {"ISO-8859-1", 28591}, {"Latin1", 28591},       {"US-ASCII", 20127},     {"ASCII", 20127},
      {"EUC-JP", 20932},     {"ISO-2022-JP", 50220}, {"Windows-1252", 1252}, {"ISO-8859-15", 28605},
  };
  for (const Entry& e : kNames)
    if (strcasecmp(name.c_str(), e.name) == 0) return e.codePage;
  return 0;
}

std::wstring Decode(const std::string& body) {
  std::string declared;
  const CXmlDocument::Encoding encoding = CXmlDocument::DetectEncoding(body, declared);
  const std::string text(CXmlDocument::PrepareBody(body, encoding));
  switch (encoding) {
    case CXmlDocument::Encoding::Utf16LE: return FromUtf16(text, false);
    case CXmlDocument::Encoding::Utf16BE: return FromUtf16(text, true);
    case CXmlDocument::Encoding::Utf8: return Widen(text, CP_UTF8);
    case CXmlDocument::Encoding::Cp932: return Widen(text, kCodePage);
    case CXmlDocument::Encoding::Declared: break;
  }
  const UINT codePage = CodePageOf(declared);
  if (codePage == 0) throw CXmlDocument::Error(CXmlDocument::kUnspecifiedError, kNotXml);
  return Widen(text, codePage);
}

// loadXML takes the text as it stands; a declaration naming the bytes'
// former encoding would only contradict it.
std::wstring WithoutDeclaration(const std::wstring& text) {
  if (text.compare(0, 5, L"<?xml") != 0 || text.size() < 6 || !iswspace(text[5])) return text;
  size_t end = text.find(L"?>");
  return end == std::wstring::npos ? text : text.substr(end + 2);
}

std::string Narrow(BSTR text, UINT codePage = kCodePage) {
  const int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) throw CXmlDocument::Error(CXmlDocument::kOutOfMemory);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

HRESULT SetProperty(IXMLDOMDocument2* doc, const wchar_t* name, VARIANT value) {
  Bstr property(name);
  return doc->setProperty(property, value);
}

HRESULT SetTextProperty(IXMLDOMDocument2* doc, const wchar_t* name, const std::wstring& text) {
  Bstr value(text);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value;
  return SetProperty(doc, name, v);
}

HRESULT SetFlagProperty(IXMLDOMDocument2* doc, const wchar_t* name, bool flag) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
  return SetProperty(doc, name, v);
}

void Check(HRESULT hr) {
  if (FAILED(hr)) throw CXmlDocument::Error(hr);
}

// A string the DOM handed out, freed when done with.
struct BstrValue {
  BstrValue() = default;
  BstrValue(const BstrValue&) = delete;
  BstrValue& operator=(const BstrValue&) = delete;
  ~BstrValue() { SysFreeString(bstr); }
  bool Is(const std::wstring& text) const {
    return SysStringLen(bstr) == text.size() && (text.empty() || text.compare(0, text.size(), bstr, text.size()) == 0);
  }
  BSTR bstr = nullptr;
};

// A node the DOM handed out, released when done with.
class NodeRef {
 public:
  explicit NodeRef(IXMLDOMNode* node = nullptr) : node_(node) {}
  NodeRef(NodeRef&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  NodeRef(const NodeRef&) = delete;
  NodeRef& operator=(const NodeRef&) = delete;
  ~NodeRef() {
    if (node_ != nullptr) node_->Release();
  }
  IXMLDOMNode* Get() const { return node_; }

 private:
  IXMLDOMNode* node_;
};

// A step of a lookup path as the DOM spells names.
struct WideStep {
  std::wstring uri;  // empty: no namespace
  std::wstring localName;
};

bool Matches(IXMLDOMNode* node, const WideStep& step) {
  DOMNodeType type = NODE_INVALID;
  if (FAILED(node->get_nodeType(&type)) || type != NODE_ELEMENT) return false;
  BstrValue name, uri;
  return SUCCEEDED(node->get_baseName(&name.bstr)) && name.Is(step.localName) &&
         SUCCEEDED(node->get_namespaceURI(&uri.bstr)) && uri.Is(step.uri);
}

// The first element in document order that the steps reach from `from`.
NodeRef FindFirst(IXMLDOMNode* from, const WideStep* step, const WideStep* end) {
  IXMLDOMNode* next = nullptr;
  if (from->get_firstChild(&next) != S_OK) next = nullptr;
  while (next != nullptr) {
    NodeRef child(next);
    if (Matches(child.Get(), *step)) {
      if (step + 1 == end) return child;
      NodeRef found = FindFirst(child.Get(), step + 1, end);
      if (found.Get() != nullptr) return found;
    }
    if (child.Get()->get_nextSibling(&next) != S_OK) next = nullptr;
  }
  return NodeRef();
}

}  // namespace

struct CXmlDocument::Impl {
  IXMLDOMDocument2* doc = nullptr;
  std::vector<IXMLDOMNode*> nodes;  // handed out as Node, held while the document lives

  ~Impl() { Clear(); }
  void Clear() {
    for (IXMLDOMNode* n : nodes) n->Release();
    nodes.clear();
    if (doc != nullptr) doc->Release();
    doc = nullptr;
  }
};

CXmlDocument::CXmlDocument() : impl_(new Impl) {}

CXmlDocument::~CXmlDocument() {}

void CXmlDocument::Load(const std::string& body) {
  if (body.size() > kMaxBodySize) throw Error(kOutOfMemory, kTooLarge);
  Parse(body);
}

// The DOM holds the whole listing here; the elements are visited from it.
void CXmlDocument::LoadEach(const std::string& body, const char* uri, const char* localName,
                            const std::function<void(Node)>& visit) {
  if (body.size() > kMaxListingSize) throw Error(kOutOfMemory, kTooLarge);
  Parse(body);
  const std::string path = std::string("//*[local-name()='") + localName + "' and namespace-uri()='" + uri + "']";
  for (Node node : SelectNodes(path.c_str())) visit(node);
}

namespace {

// COM for the thread that streams a body, which may be a worker that has
// not entered it; left again only if entered here.
class ComApartment {
 public:
  ComApartment() : entered_(SUCCEEDED(CoInitialize(nullptr))) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (entered_) CoUninitialize();
  }

 private:
  bool entered_;
};

constexpr int kPiece = 64 * 1024;

}  // namespace

// The DOM takes a whole text: the pieces are gathered first. Its nodes are
// released before the thread leaves COM.
void CXmlDocument::StreamEach(const Source& source, const char* uri, const char* localName,
                              const std::function<void(Node)>& visit) {
  ComApartment com;
  std::string body;
  std::vector<char> piece(kPiece);
  for (;;) {
    const int n = source(piece.data(), kPiece);
    if (n < 0) throw Error(kUnspecifiedError, kNotXml);
    if (n == 0) break;
    if (body.size() + static_cast<size_t>(n) > kMaxListingSize) throw Error(kOutOfMemory, kTooLarge);
    body.append(piece.data(), static_cast<size_t>(n));
  }
  struct Release {
    Impl& impl;
    ~Release() { impl.Clear(); }
  } release{*impl_};
  LoadEach(body, uri, localName, visit);
}

void CXmlDocument::Parse(const std::string& body) {
  const std::wstring text = WithoutDeclaration(Decode(body));

  impl_->Clear();
  CLSID clsid;
  IXMLDOMDocument2* doc = nullptr;
  if (SUCCEEDED(CLSIDFromProgID(L"Microsoft.XMLDOM", &clsid)))
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kDocument2Id, reinterpret_cast<void**>(&doc));
  if (doc == nullptr) throw Error(kPointerError);
  impl_->doc = doc;

  Check(doc->put_async(VARIANT_FALSE));
  Check(doc->put_validateOnParse(VARIANT_FALSE));
  Check(doc->put_resolveExternals(VARIANT_FALSE));
  Check(doc->put_preserveWhiteSpace(VARIANT_TRUE));
  // Not every parser honours the property, so the text is checked before
  // any parse can expand an entity.
  SetFlagProperty(doc, L"ProhibitDTD", true);
  if (text.find(L"<!DOCTYPE") != std::wstring::npos) throw Error(kUnspecifiedError, kNotXml);

  VARIANT_BOOL loaded = VARIANT_FALSE;
  Bstr xml(text);
  Check(doc->loadXML(xml, &loaded));
  if (loaded != VARIANT_TRUE) throw Error(kUnspecifiedError, kNotXml);

  std::wstring namespaces;
  for (const Binding& b : bindings_) {
    const char quote = b.uri.find('\'') == std::string::npos ? '\'' : '"';
    if (b.uri.find(quote) != std::string::npos) continue;  // cannot be written; its lookups find nothing
    namespaces += Ascii(("xmlns:" + b.prefix + "=").c_str()) + static_cast<wchar_t>(quote) +
                  Widen(b.uri, kCodePage) + static_cast<wchar_t>(quote) + L" ";
  }
  Check(SetTextProperty(doc, L"SelectionLanguage", L"XPath"));
  Check(SetTextProperty(doc, L"SelectionNamespaces", namespaces));
}

std::vector<CXmlDocument::Node> CXmlDocument::SelectNodes(const char* path) {
  if (impl_->doc == nullptr) throw Error(kPointerError);
  IXMLDOMNodeList* list = nullptr;
  Bstr query(Ascii(path));
  HRESULT hr = impl_->doc->selectNodes(query, &list);
  if (FAILED(hr)) throw Error(hr);
  if (list == nullptr) throw Error(kPointerError);
  std::vector<Node> nodes;
  long length = 0;
  hr = list->get_length(&length);
  for (long i = 0; SUCCEEDED(hr) && i < length; ++i) {
    IXMLDOMNode* node = nullptr;
    hr = list->get_item(i, &node);
    if (SUCCEEDED(hr) && node != nullptr) {
      impl_->nodes.push_back(node);
      nodes.push_back(node);
    }
  }
  list->Release();
  if (FAILED(hr)) throw Error(hr);
  return nodes;
}

bool CXmlDocument::SelectText(Node context, const char* path, std::string& text) noexcept {
  return SelectIn(context, path, text, kCodePage);
}

bool CXmlDocument::SelectUtf8Text(Node context, const char* path, std::string& text) noexcept {
  return SelectIn(context, path, text, CP_UTF8);
}

bool CXmlDocument::SelectIn(Node context, const char* path, std::string& text, unsigned codePage) noexcept {
  text.clear();
  if (impl_->doc == nullptr) return false;
  IXMLDOMNode* from = context != nullptr ? static_cast<IXMLDOMNode*>(const_cast<void*>(context))
                                         : static_cast<IXMLDOMNode*>(impl_->doc);
  try {
    std::vector<Step> steps;
    if (!ResolvePath(path, steps)) return false;
    std::vector<WideStep> wide;
    for (const Step& step : steps)
      wide.push_back(WideStep{Widen(std::string(step.uri), kCodePage), Ascii(std::string(step.localName).c_str())});
    const NodeRef node = FindFirst(from, wide.data(), wide.data() + wide.size());
    if (node.Get() == nullptr) return false;
    BstrValue value;
    if (FAILED(node.Get()->get_text(&value.bstr))) return false;
    text = Narrow(value.bstr, codePage);
    return true;
  } catch (...) {
    text.clear();
  }
  return false;
}
