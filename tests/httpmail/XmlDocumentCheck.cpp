// The XML document's contract as one self-checking program, without a test
// framework, so the Windows build (MSXML) can be run under Wine and held to
// what the libxml2 build's unit tests hold. Prints each failed check and
// returns the number of failures.
#include <stdio.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "httpmail/DavNames.h"
#include "httpmail/XmlDocument.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    ++failures;
    printf("FAILED: %s\n", what);
  }
}

std::string Utf16Le(const std::u16string& text, bool bom) {
  std::string out;
  if (bom) out += "\xFF\xFE";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

// Loads a body and reads D:a/D:b, or "<error>" when the load throws.
std::string TextOf(const std::string& body) {
  try {
    CXmlDocument doc;
    doc.BindPrefix("D", "DAV:");
    doc.Load(body);
    std::string text;
    if (!doc.SelectText(nullptr, "D:a/D:b", text)) return "<missing>";
    return text;
  } catch (const CXmlDocument::Error&) {
    return "<error>";
  }
}

void Encodings() {
  const std::string so = "\x83\x5C";  // "ソ" in code page 932
  const std::string tail = "</D:b></D:a>";
  Check(TextOf(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><D:a xmlns:D=\"DAV:\"><D:b>") + u8"ソ" + tail) == so,
        "UTF-8 declared");
  Check(TextOf(std::string("\xEF\xBB\xBF<D:a xmlns:D=\"DAV:\"><D:b>") + u8"ソ" + tail) == so, "UTF-8 mark");
  Check(TextOf(Utf16Le(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><D:a xmlns:D=\"DAV:\"><D:b>ソ</D:b></D:a>", true)) == so,
        "UTF-16 mark");
  Check(TextOf(Utf16Le(u"<?xml version=\"1.0\"?><D:a xmlns:D=\"DAV:\"><D:b>ソ</D:b></D:a>", false)) == so,
        "UTF-16 without mark");
  Check(TextOf("<D:a xmlns:D=\"DAV:\"><D:b>" + so + tail) == so, "code page 932 without declaration");
  Check(TextOf(std::string("<D:a xmlns:D=\"DAV:\"><D:b>") + u8"ソ" + tail) == so, "UTF-8 without declaration");
  // A byte pair code page 932 does not define costs that character only.
  Check(TextOf("<D:a xmlns:D=\"DAV:\"><D:b>" + so + "\x85\x40" + so + tail) == so + "\x81\x45" + so,
        "code page 932 gap read on");
  Check(TextOf("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><D:a xmlns:D=\"DAV:\"><D:b>x\xA0" + so + tail) != "<error>",
        "Shift_JIS declared with an undefined byte read on");
  Check(TextOf("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><D:a xmlns:D=\"DAV:\"><D:b>" + so + tail) == so,
        "Shift_JIS declared");
  Check(TextOf(std::string("<D:a xmlns:D=\"DAV:\"><D:b>x</D:b></D:a>") + std::string("\0junk<", 6)) == "x",
        "cut at the first zero byte");
}

void Safety() {
  const char* refused[] = {
      "",
      "not xml",
      "<D:a xmlns:D=\"DAV:\"><D:b>x</D:a>",
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x \"xx\">]><D:a xmlns:D=\"DAV:\"><D:b>&x;</D:b></D:a>",
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><D:a xmlns:D=\"DAV:\"><D:b>&e;</D:b></D:a>",
      "<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/x.dtd\"><D:a xmlns:D=\"DAV:\"><D:b>x</D:b></D:a>",
  };
  for (const char* body : refused) Check(TextOf(body) == "<error>", body);
  Check(TextOf("<a>" + std::string(CXmlDocument::kMaxBodySize, ' ') + "</a>") == "<error>", "size limit");
}

void Lookups() {
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.BindPrefix("hm", "urn:schemas:httpmail:");
  try {
    doc.Load(
        "<x:multistatus xmlns:x=\"DAV:\"><x:response><x:href>h1</x:href><x:href>h1b</x:href></x:response>"
        "<x:deep><response xmlns=\"DAV:\"><href>h2<i>-in</i></href></response></x:deep>"
        "<D:response xmlns:D=\"urn:other\"><D:href>no</D:href></D:response>"
        "<x:response><x:href>  spaced  </x:href><x:e/></x:response></x:multistatus>");
  } catch (const CXmlDocument::Error& e) {
    Check(false, e.Text().c_str());
    return;
  }
  std::vector<CXmlDocument::Node> responses = doc.SelectNodes("//D:response");
  Check(responses.size() == 3, "three DAV: responses at any depth");
  if (responses.size() != 3) return;
  std::string t;
  Check(doc.SelectText(responses[0], "D:href", t) && t == "h1", "first match in document order");
  Check(doc.SelectText(responses[1], "D:href", t) && t == "h2-in", "default namespace, descendants' text");
  Check(doc.SelectText(responses[2], "D:href", t) && t == "  spaced  ", "text not trimmed");
  Check(doc.SelectText(responses[2], "D:e", t) && t.empty(), "empty element found");
  t = "previous";
  Check(!doc.SelectText(responses[2], "D:missing", t) && t.empty(), "missing empties the target");
  Check(!doc.SelectText(responses[0], "q:href", t), "unbound prefix finds nothing");
  Check(!doc.SelectText(nullptr, "hm:x", t), "bound prefix, no such node");
}

// The readers' properties of each DAV: response, "-" for one not found, as
// read from a listing pulled a byte at a time.
std::string Properties(const std::string& response) {
  const std::string body = "<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:schemas:mailheader:\">" + response +
                           "</D:multistatus>";
  std::string texts;
  size_t at = 0;
  CXmlDocument doc;
  doc.BindPrefix("D", "DAV:");
  doc.BindPrefix("m", "urn:schemas:mailheader:");
  doc.StreamEach([&](char* buffer, int) { return at == body.size() ? 0 : (*buffer = body[at++], 1); }, "DAV:",
                 "response", [&](CXmlDocument::Node r) {
                   for (const char* path : {DavNames::kHref, DavNames::kId, DavNames::kSubject}) {
                     std::string text;
                     texts += (doc.SelectText(r, path, text) ? text : "-") + "|";
                   }
                 });
  return texts;
}

// Properties are found by namespace URI and local name, as children of
// exactly the path's elements, the first in document order.
void Properties() {
  const char* rows[][2] = {
      {"<a:response xmlns:a=\"DAV:\" xmlns:b=\"urn:schemas:mailheader:\"><a:href>h</a:href><a:propstat><a:prop>"
       "<a:id>1</a:id><b:subject>s</b:subject></a:prop></a:propstat></a:response>",
       "h|1|s|"},
      {"<response xmlns=\"DAV:\">\r\n <href>h</href>\r\n <propstat>\r\n  <prop>\r\n   <id>1</id>\r\n"
       "   <subject xmlns=\"urn:schemas:mailheader:\">s</subject>\r\n  </prop>\r\n </propstat>\r\n</response>",
       "h|1|s|"},
      {"<D:response><href>n</href><x:href xmlns:x=\"urn:x\">x</x:href><D:HREF>c</D:HREF><D:href>h</D:href>"
       "<D:propstat><D:prop><D:id xmlns:D=\"urn:x\">x</D:id><m:subject xmlns:m=\"DAV:\">x</m:subject><D:id>1</D:id>"
       "</D:prop></D:propstat></D:response>",
       "h|1|-|"},
      {"<D:response><D:propstat><D:href>x</D:href><D:prop><D:x><D:id>x</D:id></D:x></D:prop></D:propstat>"
       "<D:prop><D:id>x</D:id></D:prop><D:x><D:href>x</D:href></D:x></D:response>",
       "-|-|-|"},
      {"<D:response><D:href>h</D:href><D:href>x</D:href><D:propstat><D:prop><m:subject>s</m:subject></D:prop>"
       "<D:status>HTTP/1.1 200 OK</D:status></D:propstat><D:propstat><D:prop/><D:prop><D:id>1</D:id></D:prop>"
       "<D:prop><D:id>x</D:id><m:subject>x</m:subject></D:prop></D:propstat></D:response>",
       "h|1|s|"},
      {"<D:response><!-- c --><?p i?><D:href> <![CDATA[a<b]]>&amp;&#x41;<D:i>in</D:i> </D:href><D:propstat><D:prop>"
       "<D:id/><m:subject></m:subject></D:prop></D:propstat></D:response>",
       " a<b&Ain |||"},
  };
  for (const auto& row : rows) Check(Properties(row[0]) == row[1], row[0]);
}

// A listing pulled in pieces of three bytes by `StreamEach`, or "<error>".
std::string StreamedTexts(const std::string& body, size_t failAt) {
  std::string texts;
  size_t at = 0;
  try {
    CXmlDocument doc;
    doc.BindPrefix("D", "DAV:");
    doc.StreamEach(
        [&](char* buffer, int size) {
          if (at >= failAt) return -1;
          size_t n = body.size() - at;
          if (n > 3) n = 3;
          if (n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
          memcpy(buffer, body.data() + at, n);
          at += n;
          return static_cast<int>(n);
        },
        "DAV:", "r",
        [&](CXmlDocument::Node r) {
          std::string text;
          doc.SelectText(r, "D:b", text);
          texts += text + "|";
        });
  } catch (const CXmlDocument::Error&) {
    return "<error>";
  }
  return texts;
}

// As a session's worker streams a listing: on a thread of its own, which
// has not entered COM. Joined, so that the thread's own state is gone
// before the program ends.
void Streaming() {
  std::thread worker([] {
    const std::string so = "\x83\x5C";
    const std::string body = "<D:a xmlns:D=\"DAV:\"><D:r><D:b>x</D:b></D:r><D:r><D:b>" + so + "</D:b></D:r></D:a>";
    Check(StreamedTexts(body, std::string::npos) == "x|" + so + "|", "streamed in pieces on a worker thread");
    Check(StreamedTexts(body, body.size() / 2) == "<error>", "streamed from a source that fails");
  });
  worker.join();
}

}  // namespace

int main() {
  CoInitialize(nullptr);  // as the HTTPMail client does for its thread
  Encodings();
  Safety();
  Lookups();
  Properties();
  Streaming();
  CoUninitialize();
  printf("%d failures\n", failures);
  return failures;
}
