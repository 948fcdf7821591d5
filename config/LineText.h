// Whether a text may go into one line of a protocol or a file: CR or LF
// would end the line and add lines of the sender's choosing, and a NUL would
// cut it short.
#ifndef KESTRELON_LINE_TEXT_H
#define KESTRELON_LINE_TEXT_H

#include <string_view>

inline bool FitsInHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

#endif
