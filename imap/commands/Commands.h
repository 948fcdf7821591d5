// The IMAP command table and the commands, one file for each group:
// Session.cpp (any state), Login.cpp, Folders.cpp (the authenticated state),
// Select.cpp, Search.cpp, Fetch.cpp, Store.cpp, Transfer.cpp (COPY, MOVE),
// Expunge.cpp (EXPUNGE, CLOSE).
#ifndef KESTRELON_IMAP_COMMANDS_H
#define KESTRELON_IMAP_COMMANDS_H

#include <memory>
#include <string>
#include <vector>

#include "imap/ImapSession.h"

namespace ImapCommands {

using Handler = void (*)(CImapSession& session, ImapCommandLine& c);

struct Entry {
  const char* name;
  unsigned states;  // StateBit of each state it is valid in
  Handler handler;
};

inline unsigned StateBit(CImapSession::State state) { return 1u << static_cast<int>(state); }

// The entry of a command name, or null.
const Entry* Find(const std::string& name);

void Capability(CImapSession& session, ImapCommandLine& c);
void Noop(CImapSession& session, ImapCommandLine& c);
void Logout(CImapSession& session, ImapCommandLine& c);
void Id(CImapSession& session, ImapCommandLine& c);
void Login(CImapSession& session, ImapCommandLine& c);
void Authenticate(CImapSession& session, ImapCommandLine& c);
// The line that answers AUTHENTICATE's "+".
void AuthenticateResponse(CImapSession& session, const std::string& tag, const std::string& base64);
void Enable(CImapSession& session, ImapCommandLine& c);
void Namespace(CImapSession& session, ImapCommandLine& c);
void List(CImapSession& session, ImapCommandLine& c);
void Status(CImapSession& session, ImapCommandLine& c);
void Subscribe(CImapSession& session, ImapCommandLine& c);
void Refuse(CImapSession& session, ImapCommandLine& c);
void Append(CImapSession& session, ImapCommandLine& c);
void Idle(CImapSession& session, ImapCommandLine& c);
void Select(CImapSession& session, ImapCommandLine& c);
void Unselect(CImapSession& session, ImapCommandLine& c);
void Search(CImapSession& session, ImapCommandLine& c);
void Fetch(CImapSession& session, ImapCommandLine& c);
void Store(CImapSession& session, ImapCommandLine& c);
void Copy(CImapSession& session, ImapCommandLine& c);
void Expunge(CImapSession& session, ImapCommandLine& c);
void Close(CImapSession& session, ImapCommandLine& c);

// The re-listing of an idling client's folder.
std::unique_ptr<CImapCommand> NewIdleRelist(CImapSession& session);

// Shared by the commands of a selected folder: the 0-based indexes of the
// set in argument `argIndex`, or a BAD answer (false).
bool ResolveSet(CImapSession& session, ImapCommandLine& c, size_t argIndex, std::vector<size_t>& indexes);
// A set of UIDs in the short form "1:3,7".
std::string UidSet(const std::vector<uint32_t>& uids);

}  // namespace ImapCommands

#endif
