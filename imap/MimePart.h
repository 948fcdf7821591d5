// CMimePart: one part of a message as IMAP sees it, found by offsets into
// the message text (which the caller keeps). A message is a part whose
// header is an RFC 5322 header; a multipart has children, a message/rfc822
// part the message it carries. Parsing never fails: what does not read
// (no boundary, no end delimiter, no blank line after the header) takes the
// most plain meaning, and depth and part count are bounded.
#ifndef KESTRELON_MIME_PART_H
#define KESTRELON_MIME_PART_H

#include <stddef.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class CMimePart {
 public:
  struct Field {
    std::string name;  // as written
    size_t begin;      // the field's first byte
    size_t end;        // past its last line break
  };
  using Params = std::vector<std::pair<std::string, std::string>>;

  // Parses the whole of `text`.
  static std::unique_ptr<CMimePart> Parse(const std::string& text);
  virtual ~CMimePart();

  // The unfolded value of the first field named `name` (any case), its
  // leading blanks removed; empty and false when there is none. With
  // `all`, the values of every such field joined by commas.
  bool Header(const std::string& text, const char* name, std::string& value, bool all = false) const;

  // A multipart's boundary, from "boundary" or its RFC 2231 form; empty
  // when there is none.
  std::string Boundary() const;
  bool IsMultipart() const { return type == "MULTIPART"; }
  bool IsMessage() const { return type == "MESSAGE" && subtype == "RFC822"; }
  bool IsText() const { return type == "TEXT"; }
  size_t BodySize() const { return bodyEnd - bodyBegin; }

  size_t headerBegin = 0;
  size_t headerEnd = 0;  // past the blank line that ends the header
  size_t bodyBegin = 0;
  size_t bodyEnd = 0;
  std::vector<Field> fields;
  std::string type = "TEXT";  // upper-case
  std::string subtype = "PLAIN";
  Params params;  // names upper-case, values unquoted
  size_t lines = 0;
  std::vector<std::unique_ptr<CMimePart>> children;  // parts, or the one carried message

  // Splits a structured value "a/b; x=y; z="w"" into its first word and
  // parameters (names upper-cased).
  static void SplitParams(const std::string& value, std::string& first, Params& params);
  // `text` without blanks and line breaks at either end.
  static std::string Trim(const std::string& text);
  // A quoted string's content, its backslashes taken away; other text trimmed.
  static std::string Unquote(const std::string& text);

 private:
  CMimePart() = default;
  static std::unique_ptr<CMimePart> ParseRange(const std::string& text, size_t begin, size_t end,
                                               bool digestDefault, int depth, size_t& budget);
  void ReadHeader(const std::string& text, size_t begin, size_t end);
  void ReadContentType(const std::string& text, bool digestDefault);
  // Where the search for this multipart's next delimiter goes on after
  // a part that starts at `partStart`.
  size_t PastReusedBoundary(const std::string& text, size_t partStart, const std::string& boundary,
                            bool digest) const;
  void SplitMultipart(const std::string& text, const std::string& boundary, int depth, size_t& budget);
};

#endif
