// `kestrelon --show-log`: the plug-in's log in UTF-8. The log mixes code
// page 932 (status lines, texts of the service) with UTF-8 (message bodies),
// so each line is read as UTF-8 when it is valid UTF-8 and as code page 932
// otherwise; a byte neither reads is shown as \xNN.
#ifndef KESTRELON_LOG_VIEWER_H
#define KESTRELON_LOG_VIEWER_H

#include <stdio.h>

#include <string>

// One line of the log in UTF-8.
std::string LogLineToUtf8(const std::string& line);

// Writes the log at `path` to `out`; 0, or 1 with a message on stderr.
int ShowLog(const std::string& path, FILE* out);

// Code page 932 to UTF-8; false when the text holds a byte that does not
// convert (the platform's part).
bool Cp932ToUtf8(const std::string& text, std::string& utf8);

#endif
