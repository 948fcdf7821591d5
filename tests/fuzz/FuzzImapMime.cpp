// libFuzzer target: any bytes as a message, and any bytes as a command,
// through the MIME parser, BODYSTRUCTURE, ENVELOPE, every section and the
// command parser. Run by scripts/fuzz.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "imap/ImapBody.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapParser.h"
#include "imap/MimePart.h"

namespace {

void Sections(const std::string& text, const CMimePart& root) {
  static const char* const kSections[] = {"", "TEXT", "HEADER", "1", "1.MIME", "2", "1.1", "2.HEADER", "2.TEXT",
                                          "1.2.3", "HEADER.FIELDS (From Subject)", "3.HEADER.FIELDS.NOT (To)"};
  for (const char* section : kSections) {
    std::string tag, name, error;
    std::vector<ImapArg> args;
    std::vector<ImapFetchItem> items;
    if (!CImapParser::ParseCommand(std::string("t X BODY[") + section + "]", tag, name, args, error)) __builtin_trap();
    if (!CImapParser::ParseFetchItems(args, 0, items, error)) __builtin_trap();
    std::string out;
    CImapBody::Section(text, root, items[0].section, out);
    if (out.size() > text.size() + 2) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto root = CMimePart::Parse(text);
  CImapBody::Structure(text, *root, true);
  CImapBody::Envelope(text, *root);
  Sections(text, *root);

  CImapCommandReader reader(256, 256, 1024);
  reader.Feed(text.data(), text.size());
  std::string command;
  for (CImapCommandReader::Next next; (next = reader.Poll(command)) != CImapCommandReader::Next::None;) {
    if (next != CImapCommandReader::Next::Command) continue;
    std::string tag, name, error;
    std::vector<ImapArg> args;
    if (!CImapParser::ParseCommand(command, tag, name, args, error)) continue;
    std::vector<ImapFetchItem> items;
    ImapSearchKey key;
    ImapStore store;
    CImapParser::ParseFetchItems(args, args.empty() ? 0 : 1, items, error);
    CImapParser::ParseSearch(args, 0, key, error);
    CImapParser::ParseStore(args, 0, store, error);
  }
  return 0;
}
