// CLineBuffer: received bytes of a line-oriented connection, cut into lines
// ended by CR LF. The buffer grows geometrically and consumed lines are
// skipped, not moved out, so assembling a stream costs time linear in its
// length; a line longer than the buffer's limit is refused rather than held,
// and the buffer never grows past that limit and one receive.
#ifndef KESTRELON_LINE_BUFFER_H
#define KESTRELON_LINE_BUFFER_H

#include <stddef.h>

#include <string>
#include <vector>

class CLineBuffer {
 public:
  enum class Next { Line, None, TooLong };

  // `maxLine`: the longest line accepted, in bytes without its CR LF.
  explicit CLineBuffer(size_t maxLine);
  virtual ~CLineBuffer();

  // The most one receive asks for.
  static constexpr size_t kReceiveChunk = 64 * 1024;

  // Free space at the end for the next receive, at most kReceiveChunk;
  // *room is at least 1.
  char* Space(size_t* room);
  // Counts `count` bytes written into the space as received.
  void Commit(size_t count);
  // Takes the next complete line without its CR LF. TooLong when the next
  // line exceeds the limit, with or without its CR LF yet.
  Next NextLine(std::string& line);
  // Changes the limit for the lines not yet taken.
  void SetMaxLine(size_t maxLine) { maxLine_ = maxLine; }
  // Forgets the received bytes and gives back a large store.
  void Clear();
  size_t Pending() const { return end_ - begin_; }

 private:
  std::vector<char> data_;
  size_t begin_ = 0;  // first byte not yet taken as a line
  size_t end_ = 0;    // end of the received bytes
  size_t scan_ = 0;   // where the search for the next line feed resumes
  size_t maxLine_;
};

#endif
