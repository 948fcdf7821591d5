// Built as C++23 where the compiler offers it (see http/CMakeLists.txt):
// only that standard's string can grow without writing its new bytes.
#include "AppendRead.h"

size_t AppendRead(std::string& text, size_t room, const std::function<size_t(char*, size_t)>& read) {
  const size_t before = text.size();
#if defined(__cpp_lib_string_resize_and_overwrite)
  // The size given to the lambda may be the grown capacity, larger than
  // asked: the read is bounded by `room`, or what lands past it is lost.
  text.resize_and_overwrite(before + room, [&](char* data, size_t) {
    const size_t got = read(data + before, room);
    return before + (got < room ? got : room);
  });
#else
  text.resize(before + room);
  const size_t got = read(&text[before], room);
  text.resize(before + (got < room ? got : room));
#endif
  return text.size() - before;
}
