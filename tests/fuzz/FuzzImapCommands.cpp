// Received bytes through the IMAP command reader, whole and cut into pieces
// of any size (the same commands must come out either way), and each
// command through the parser and the grammar its name asks for. Every
// refusal must carry a text that fits on the BAD reply's line. The first
// byte chooses the piece size and small or usual bounds.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "imap/ImapCommandReader.h"
#include "imap/ImapParser.h"

namespace {

using Next = CImapCommandReader::Next;

struct Event {
  Next next;
  std::string command;  // a command's text; a refusal's prefix differs with the cut
};

std::vector<Event> Read(const std::string& bytes, size_t piece, bool small) {
  CImapCommandReader reader(small ? 64 : 64 * 1024, small ? 64 : 64 * 1024, small ? 256 : 256 * 1024);
  std::vector<Event> events;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    reader.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    std::string command;
    for (Next next; (next = reader.Poll(command)) != Next::None;)
      events.push_back({next, next == Next::Command ? command : std::string()});
  }
  return events;
}

void CheckRefusal(bool ok, const std::string& error) {
  if (!ok && (error.empty() || error.find_first_of("\r\n") != std::string::npos)) abort();
}

void Parse(const std::string& raw) {
  std::string tag, name, error;
  std::vector<ImapArg> args;
  const bool ok = CImapParser::ParseCommand(raw, tag, name, args, error);
  CheckRefusal(ok, error);
  if (tag.empty() || tag.find_first_of(" \r\n") != std::string::npos) abort();  // it heads the reply
  if (!ok) return;
  size_t first = 0;
  if (name == "UID" && !args.empty() && args[0].kind == ImapArg::Kind::Atom) {
    name = args[0].text;
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    first = 1;
  }
  CSequenceSet set;
  if (args.size() > first && args[first].kind == ImapArg::Kind::Atom) {
    if (CImapParser::ParseSequenceSet(args[first].text, set)) {
      set.Contains(1, 3);
      set.WithinRange(3);
    }
  }
  std::vector<ImapFetchItem> items;
  ImapStore store;
  ImapSearchKey key;
  if (name == "FETCH") CheckRefusal(CImapParser::ParseFetchItems(args, first + 1, items, error), error);
  if (name == "STORE") CheckRefusal(CImapParser::ParseStore(args, first + 1, store, error), error);
  if (name == "SEARCH") CheckRefusal(CImapParser::ParseSearch(args, first, key, error), error);
  for (const ImapArg& arg : args) {
    if (arg.IsAstring()) CImapParser::MailboxName(arg);
    int days = 0;
    uint32_t number = 0;
    CImapParser::ParseDate(arg.text, &days);
    CImapParser::ParseNumber(arg.text, &number);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 16 + 1;
  const bool small = (data[0] & 0x80) != 0;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<Event> whole = Read(bytes, bytes.size() + 1, small);
  const std::vector<Event> pieces = Read(bytes, piece, small);
  if (whole.size() != pieces.size()) abort();
  for (size_t i = 0; i < whole.size(); ++i)
    if (whole[i].next != pieces[i].next || whole[i].command != pieces[i].command) abort();
  for (const Event& event : whole)
    if (event.next == Next::Command) Parse(event.command);
  return 0;
}
