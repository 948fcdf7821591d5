// A POP3 multi-line reply built in one piece.
#ifndef KESTRELON_MULTI_LINE_REPLY_H
#define KESTRELON_MULTI_LINE_REPLY_H

#include <string>
#include <string_view>

// The status line, the text as a multi-line body and the terminating
// ".\r\n", in one string built in the text's own storage (no second copy
// of a large message when the text has room for the few added bytes). A "." that starts a
// line gets another in front of it, and the body ends with CR LF. Clients
// also end lines at a bare LF, so a line starts after either; the
// terminating "." can then never appear inside the text.
std::string MultiLineReply(std::string_view status, std::string&& text);

#endif
