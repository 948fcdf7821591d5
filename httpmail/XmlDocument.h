// CXmlDocument: one parsed reply body and the lookups the HTTPMail readers
// make in it. Lookups are namespace-aware: the prefixes of a path are bound
// to namespace URIs with BindPrefix, so a reply that writes other prefixes
// for the same URIs is read alike. libxml2 or MSXML stands behind it,
// chosen by the build; both walk a path's steps the same way.
#ifndef KESTRELON_XML_DOCUMENT_H
#define KESTRELON_XML_DOCUMENT_H

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CXmlDocument {
 public:
  // A failing DOM call: its result code, and a text of our own for the
  // failures that have no system text.
  class Error {
   public:
    explicit Error(HRESULT code, std::string text = std::string()) : code(code), text_(std::move(text)) {}
    // The text of an error box: ours, else the system's for the code.
    std::string Text() const;
    HRESULT code;

   private:
    std::string text_;
  };

  // How the bytes of a body are to be read.
  enum class Encoding { Cp932, Utf8, Utf16LE, Utf16BE, Declared };

  // A node of the document; null stands for the document itself. Valid
  // while the document lives.
  using Node = const void*;

  static constexpr size_t kMaxBodySize = 16u * 1024u * 1024u;
  // LoadEach and StreamEach hold one element at a time, so a listing may be
  // far longer; what is built from it is what bounds it then.
  static constexpr size_t kMaxListingSize = 256u * 1024u * 1024u;
  // The start of a body that tells its encoding: a mark, or a declaration
  // whose end "?>" lies within 512 bytes.
  static constexpr size_t kEncodingHead = 514;
  // Utf8SequenceLength when the text ends inside a sequence.
  static constexpr size_t kUtf8Partial = static_cast<size_t>(-1);
  static const HRESULT kPointerError;      // no document object, no list
  static const HRESULT kOutOfMemory;       // a conversion ran out of memory
  static const HRESULT kUnspecifiedError;  // the body is no acceptable XML

  CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;
  virtual ~CXmlDocument();

  // Binds a path prefix to a namespace URI; call before Load.
  void BindPrefix(const std::string& prefix, const std::string& uri);
  // Parses a whole body. Throws Error when the body is too large, is not
  // well-formed XML or carries a document type declaration.
  void Load(const std::string& body);
  // Parses a whole body and calls `visit` for every element `localName` of
  // namespace `uri`, at any depth, in document order; SelectText takes it
  // as its context while the call lasts. Only that element is kept as a
  // tree, so a long listing costs little more than its text. Throws Error
  // as Load does, also after some elements were visited.
  void LoadEach(const std::string& body, const char* uri, const char* localName,
                const std::function<void(Node)>& visit);
  // Reads the next piece of a body into `buffer`: the count read, 0 at the
  // end of the body, -1 when it cannot be read.
  using Source = std::function<int(char* buffer, int size)>;
  // LoadEach with the body pulled from `source` as the parse needs it, so it
  // is never held whole. A source that fails makes it throw Error. A body
  // that declares no encoding is taken as UTF-8 or code page 932 by its
  // first megabyte from its first byte above 0x7F.
  void StreamEach(const Source& source, const char* uri, const char* localName,
                  const std::function<void(Node)>& visit);
  // Every node matching an XPath expression from the document, in document
  // order. Throws Error.
  std::vector<Node> SelectNodes(const char* path);
  // The text content of the first element, in document order, that a path
  // of child steps ("p:name/p:name"; an unprefixed name is in no namespace)
  // reaches from the context, in code page 932. The steps are matched by
  // namespace URI and local name as they walk the children, with no XPath
  // evaluation: a listing reads several of them for each element. Never
  // throws: false, with the text emptied, when nothing matches, the path is
  // no such chain or names an unbound prefix, or anything fails.
  bool SelectText(Node context, const char* path, std::string& text) noexcept;
  // SelectText in UTF-8, for texts that go on in Unicode (IMAP folder names).
  bool SelectUtf8Text(Node context, const char* path, std::string& text) noexcept;

  // Reads the byte-order mark and the XML declaration of a body. For
  // Declared, `name` receives the declared encoding name.
  static Encoding DetectEncoding(const std::string& body, std::string& name);
  // What the first kEncodingHead bytes of a body tell of its encoding, as
  // DetectEncoding reads them. False when they tell nothing: a body of
  // bytes without a declared encoding, which is UTF-8 when it is well-formed
  // UTF-8 and code page 932 when not.
  static bool DetectMarkedEncoding(const std::string& head, Encoding& encoding, std::string& name);
  // The length of the well-formed UTF-8 sequence that starts `text` (1 to
  // 4; shortest form, no surrogate, nothing past U+10FFFF); 0 when none
  // does; kUtf8Partial when `text` ends inside one that may still be.
  static size_t Utf8SequenceLength(std::string_view text);
  // The body as the parser is to see it: without its byte-order mark and,
  // for byte-oriented encodings, cut at a first zero byte. A view into it.
  static std::string_view PrepareBody(const std::string& body, Encoding encoding);

 private:
  struct Binding {
    std::string prefix;
    std::string uri;
  };
  struct Impl;
  // A step of a lookup path: the namespace URI (empty for none) and local
  // name of a child element, as views into the path and the bindings.
  struct Step {
    std::string_view uri;
    std::string_view localName;
  };

  // The steps of a lookup path; false when it is not a chain of child steps
  // or names a prefix not bound. The last binding of a prefix holds.
  bool ResolvePath(const char* path, std::vector<Step>& steps) const;
  // Load without the size check.
  void Parse(const std::string& body);
  // SelectText in code page 932 or CP_UTF8.
  bool SelectIn(Node context, const char* path, std::string& text, unsigned codePage) noexcept;

  std::vector<Binding> bindings_;
  std::unique_ptr<Impl> impl_;
};

#endif
