#include "imap/ImapBody.h"

#include "config/Ascii.h"
#include "imap/ImapWriter.h"

namespace {

std::string Address(const std::string& name, const std::string& adl, const std::string& mailbox,
                    const std::string& host) {
  return "(" + CImapWriter::NStringOrNil(name) + " " + CImapWriter::NStringOrNil(adl) + " " +
         CImapWriter::String(mailbox) + " " + CImapWriter::String(host) + ")";
}

// One address of a list ("Name <a@b>", "a@b", "<@route:a@b>") as an
// address structure; empty when there is nothing in it. Without a display
// name, the last comment names the person ("a@b (Ann Smith)").
std::string OneAddress(const std::string& raw, const std::string& comment) {
  std::string text = CMimePart::Trim(raw);
  if (text.empty()) return "";
  std::string name, addrSpec = text, adl;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && quoted) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == '<' && !quoted) {
      name = CMimePart::Unquote(text.substr(0, i));
      size_t close = text.find('>', i);
      addrSpec = CMimePart::Trim(text.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1));
      break;
    }
  }
  if (!addrSpec.empty() && addrSpec[0] == '@') {
    size_t colon = addrSpec.find(':');
    if (colon != std::string::npos) {
      adl = addrSpec.substr(0, colon);
      addrSpec = addrSpec.substr(colon + 1);
    }
  }
  size_t at = addrSpec.rfind('@');
  std::string mailbox = at == std::string::npos ? addrSpec : addrSpec.substr(0, at);
  std::string host = at == std::string::npos ? "" : addrSpec.substr(at + 1);
  if (mailbox.empty() && host.empty() && name.empty()) return "";
  if (name.empty()) name = CMimePart::Trim(comment);
  if (mailbox.empty()) mailbox = "MISSING_MAILBOX";
  if (host.empty()) host = "MISSING_DOMAIN";
  return Address(name, adl, mailbox, host);
}

std::string Params(const CMimePart::Params& params) {
  if (params.empty()) return "NIL";
  std::string out = "(";
  for (size_t i = 0; i < params.size(); ++i) {
    if (i > 0) out += " ";
    out += CImapWriter::String(params[i].first) + " " + CImapWriter::String(params[i].second);
  }
  return out + ")";
}

std::string HeaderOrNil(const std::string& text, const CMimePart& part, const char* name) {
  std::string value;
  if (!part.Header(text, name, value)) return "NIL";
  return CImapWriter::NStringOrNil(value);
}

// (disposition (params)) or NIL, then language and location: the
// extension data every part ends with.
std::string Extensions(const std::string& text, const CMimePart& part) {
  std::string out;
  std::string value;
  if (part.Header(text, "Content-Disposition", value) && !CMimePart::Trim(value).empty()) {
    std::string first;
    CMimePart::Params params;
    CMimePart::SplitParams(value, first, params);
    out += "(" + CImapWriter::String(first) + " " + Params(params) + ")";
  } else {
    out += "NIL";
  }
  if (part.Header(text, "Content-Language", value) && !CMimePart::Trim(value).empty()) {
    out += " " + CImapWriter::String(CMimePart::Trim(value));
  } else {
    out += " NIL";
  }
  out += " " + HeaderOrNil(text, part, "Content-Location");
  return out;
}

// A part's header as the message's own header block says it (the
// section "MIME" of a part, "HEADER" of a message).
std::string HeaderBytes(const std::string& text, const CMimePart& part) {
  return text.substr(part.headerBegin, part.headerEnd - part.headerBegin);
}

std::string HeaderFields(const std::string& text, const CMimePart& part, const ImapSection& section) {
  bool wanted = section.text == ImapSection::Text::HeaderFields;
  std::string out;
  for (const CMimePart::Field& field : part.fields) {
    const std::string upper = AsciiUpper(field.name);
    bool listed = false;
    for (const std::string& name : section.fields) listed = listed || name == upper;
    if (listed == wanted) out += text.substr(field.begin, field.end - field.begin);
  }
  return out + "\r\n";
}

}  // namespace

std::string CImapBody::Addresses(const std::string& value) {
  std::string out;
  std::string current, lastComment, commentText;
  bool quoted = false, angle = false, group = false;
  int comment = 0;
  auto flush = [&]() {
    out += OneAddress(current, lastComment);
    current.clear();
    lastComment.clear();
  };
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (comment > 0) {
      if (c == '\\' && i + 1 < value.size()) {
        commentText.push_back(value[++i]);
        continue;
      }
      if (c == '(') ++comment;
      if (c == ')' && --comment == 0) {
        lastComment = commentText;
        continue;
      }
      commentText.push_back(c);
      continue;
    }
    if (quoted) {
      current.push_back(c);
      if (c == '\\' && i + 1 < value.size()) current.push_back(value[++i]);
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    else if (c == '(' && !angle) {
      ++comment;
      commentText.clear();
      continue;
    } else if (c == '<') angle = true;
    else if (c == '>') angle = false;
    else if (!angle && c == ':' && !group && current.find('@') == std::string::npos) {
      // A group starts with its name as mailbox and NIL as host.
      out += "(NIL NIL " + CImapWriter::String(CMimePart::Unquote(current)) + " NIL)";
      current.clear();
      group = true;
      continue;
    } else if (!angle && c == ';' && group) {
      flush();
      out += "(NIL NIL NIL NIL)";
      group = false;
      continue;
    } else if (!angle && c == ',') {
      flush();
      continue;
    }
    current.push_back(c);
  }
  flush();
  if (group) out += "(NIL NIL NIL NIL)";
  return out.empty() ? "NIL" : "(" + out + ")";
}

std::string CImapBody::Envelope(const std::string& text, const CMimePart& root) {
  std::string value;
  // Every field of the name counts: some senders write two To fields.
  auto address = [&](const char* name, const char* fallback) {
    if (root.Header(text, name, value, true) && !CMimePart::Trim(value).empty()) return Addresses(value);
    if (fallback != nullptr && root.Header(text, fallback, value, true)) return Addresses(value);
    return std::string("NIL");
  };
  std::string out = "(";
  out += HeaderOrNil(text, root, "Date") + " ";
  out += HeaderOrNil(text, root, "Subject") + " ";
  out += address("From", nullptr) + " ";
  out += address("Sender", "From") + " ";
  out += address("Reply-To", "From") + " ";
  out += address("To", nullptr) + " ";
  out += address("Cc", nullptr) + " ";
  out += address("Bcc", nullptr) + " ";
  out += HeaderOrNil(text, root, "In-Reply-To") + " ";
  out += HeaderOrNil(text, root, "Message-ID") + ")";
  return out;
}

std::string CImapBody::Structure(const std::string& text, const CMimePart& part, bool extended) {
  if (part.IsMultipart()) {
    std::string out = "(";
    for (const auto& child : part.children) out += Structure(text, *child, extended);
    out += " " + CImapWriter::String(part.subtype);
    if (extended) out += " " + Params(part.params) + " " + Extensions(text, part);
    return out + ")";
  }
  std::string out = "(" + CImapWriter::String(part.type) + " " + CImapWriter::String(part.subtype) + " ";
  out += Params(part.params) + " ";
  out += HeaderOrNil(text, part, "Content-ID") + " ";
  out += HeaderOrNil(text, part, "Content-Description") + " ";
  std::string encoding;
  part.Header(text, "Content-Transfer-Encoding", encoding);
  encoding = CMimePart::Trim(encoding);
  out += CImapWriter::String(encoding.empty() ? "7BIT" : encoding) + " ";
  out += std::to_string(part.BodySize());
  if (part.IsMessage() && !part.children.empty()) {
    const CMimePart& inner = *part.children[0];
    out += " " + Envelope(text, inner) + " " + Structure(text, inner, extended) + " " +
           std::to_string(part.lines);
  } else if (part.IsText()) {
    out += " " + std::to_string(part.lines);
  }
  if (extended) out += " " + HeaderOrNil(text, part, "Content-MD5") + " " + Extensions(text, part);
  return out + ")";
}

bool CImapBody::Section(const std::string& text, const CMimePart& root, const ImapSection& section,
                        std::string& out) {
  out.clear();
  const CMimePart* part = &root;
  bool atMessage = true;  // `part` is a message (its header a message header)
  for (uint32_t number : section.part) {
    if (!atMessage && part->IsMessage() && !part->children.empty()) {
      part = part->children[0].get();
      atMessage = true;
    }
    if (part->IsMultipart()) {
      if (number > part->children.size()) return false;
      part = part->children[number - 1].get();
    } else if (number != 1 || !atMessage) {
      return false;
    }
    atMessage = false;
  }
  switch (section.text) {
    case ImapSection::Text::All:
      if (section.part.empty()) {
        out = text;
      } else {
        out = text.substr(part->bodyBegin, part->BodySize());
      }
      return true;
    case ImapSection::Text::Mime:
      out = HeaderBytes(text, *part);
      return true;
    default:
      break;
  }
  // HEADER, HEADER.FIELDS and TEXT are of a message: the whole one, or the
  // one a message/rfc822 part carries.
  if (!section.part.empty()) {
    if (!part->IsMessage() || part->children.empty()) return false;
    part = part->children[0].get();
  }
  if (section.text == ImapSection::Text::Text) {
    out = text.substr(part->bodyBegin, part->BodySize());
  } else if (section.text == ImapSection::Text::Header) {
    out = HeaderBytes(text, *part);
  } else {
    out = HeaderFields(text, *part, section);
  }
  return true;
}
