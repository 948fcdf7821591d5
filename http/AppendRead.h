// AppendRead: grows a text by what a reader writes straight into its end.
#ifndef KESTRELON_APPEND_READ_H
#define KESTRELON_APPEND_READ_H

#include <stddef.h>

#include <functional>
#include <string>

// Gives `read` room for `room` more bytes at the end of `text` and keeps the
// count it returns (at most `room`). The room is not cleared first: a large
// body then touches each of its pages once, when its bytes land there.
size_t AppendRead(std::string& text, size_t room, const std::function<size_t(char*, size_t)>& read);

#endif
