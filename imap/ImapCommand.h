// CImapCommand: an IMAP command that waits for the service. The session
// calls Continue when the command starts and again each time a request it
// made has completed (its completion, wrapped by CImapSession::Then, has
// stored the result), until Continue says it has answered. Commands that
// answer at once are plain functions of the command table.
#ifndef KESTRELON_IMAP_COMMAND_H
#define KESTRELON_IMAP_COMMAND_H

#include <string>
#include <vector>

#include "imap/ImapParser.h"

class CImapSession;

// One parsed command line.
struct ImapCommandLine {
  std::string tag;
  std::string name;  // upper case; "UID FETCH" for the UID forms
  std::vector<ImapArg> args;
  bool uid = false;
};

class CImapCommand {
 public:
  enum class Step { Waits, Done };

  CImapCommand(CImapSession& session, std::string tag) : session_(session), tag_(std::move(tag)) {}
  CImapCommand(const CImapCommand&) = delete;
  CImapCommand& operator=(const CImapCommand&) = delete;
  virtual ~CImapCommand() {}

  // Goes on until the command waits for a request (Waits) or has sent its
  // tagged answer (Done).
  virtual Step Continue() = 0;

  const std::string& Tag() const { return tag_; }
  // The folder the command works in, if any: when the session leaves it
  // meanwhile, the command ends with "NO The folder was closed".
  const std::string& FolderId() const { return folderId_; }

 protected:
  CImapSession& session_;
  std::string tag_;
  std::string folderId_;
};

#endif
