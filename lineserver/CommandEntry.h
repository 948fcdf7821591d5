// CommandEntry: one row of a line server's command table, the handler that
// takes the command's argument text and the command's name; RunCommand
// matches a received line against a table.
#ifndef KESTRELON_COMMAND_ENTRY_H
#define KESTRELON_COMMAND_ENTRY_H

#include <stddef.h>
#include <string.h>

#include "config/Ascii.h"

template <typename Server>
struct CommandEntry {
  void (Server::*handler)(const char* argument);
  char name[8];  // at most 7 characters and the terminating NUL
};

// Whether `text` starts with `name` (written in capitals), the letters a-z
// of `text` taken as A-Z.
inline bool StartsWithName(const char* text, const char* name) {
  for (; *name != '\0'; ++text, ++name) {
    if (AsciiUpper(*text) != *name) return false;
  }
  return true;
}

// Runs the first row whose name starts `line`, with the rest of the line,
// after exactly one space, as its argument. False when no row matches, or
// when the first matching name is followed by anything but the end of the
// line or a space.
template <typename Server, size_t N>
bool RunCommand(Server& server, const CommandEntry<Server> (&table)[N], const char* line) {
  for (const CommandEntry<Server>& row : table) {
    if (!StartsWithName(line, row.name)) continue;
    const char* rest = line + strlen(row.name);
    if (*rest != '\0' && *rest != ' ') return false;
    (server.*row.handler)(*rest == ' ' ? rest + 1 : rest);
    return true;
  }
  return false;
}

#endif
