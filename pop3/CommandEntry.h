// CommandEntry: one row of a line server's command table, the handler that
// takes the command's argument text and the command's name.
#ifndef KESTRELON_COMMAND_ENTRY_H
#define KESTRELON_COMMAND_ENTRY_H

template <typename Server>
struct CommandEntry {
  void (Server::*handler)(const char* argument);
  char name[8];  // at most 7 characters and the terminating NUL
};

#endif
