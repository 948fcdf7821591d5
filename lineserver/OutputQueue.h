// COutputQueue: the output a non-blocking socket has not taken yet. Bytes
// leave in the order they were written: while anything waits, new output
// goes behind it, and the queue is sent again when the socket reports that
// it can take more (FD_WRITE). A text handed over by move, or a piece of a
// text held elsewhere, is sent from where it lies: a large reply is never
// copied into the queue.
#ifndef KESTRELON_OUTPUT_QUEUE_H
#define KESTRELON_OUTPUT_QUEUE_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include <deque>
#include <string>
#include <string_view>

#include "lineserver/OutputPiece.h"

class COutputQueue {
 public:
  COutputQueue();
  virtual ~COutputQueue();

  // Sends what the socket takes now and queues the rest. Returns 0, or the
  // Windows Sockets error that ended the send (the unsent rest is dropped).
  int Write(SOCKET s, std::string&& text) { return Queue(s, COutputPiece(std::move(text)), false); }
  int Write(SOCKET s, COutputPiece&& piece) { return Queue(s, std::move(piece), false); }
  int Write(SOCKET s, const char* data, size_t length) { return Write(s, std::string(data, length)); }
  // As Write, for the text of a multi-line reply: a line that starts with a
  // dot goes out with that dot twice. The dots are found just before their
  // part of the text is sent, so a large text is read once, not once more
  // to build a stuffed copy.
  int WriteDotStuffed(SOCKET s, std::string&& text) { return Queue(s, COutputPiece(std::move(text)), true); }
  int WriteDotStuffed(SOCKET s, COutputPiece&& piece) { return Queue(s, std::move(piece), true); }
  // Sends queued output; the result as for Write.
  int Flush(SOCKET s);
  size_t Queued() const { return queued_; }
  bool Empty() const { return queued_ == 0; }
  void Clear();

 private:
  struct Text {
    COutputPiece piece;
    bool stuffed;
  };
  int Queue(SOCKET s, COutputPiece&& piece, bool stuffed);
  // Where the part of a stuffed text that starts at `head_` ends.
  void NextPart(std::string_view text);

  std::deque<Text> texts_;
  size_t head_ = 0;    // bytes of texts_.front() already sent
  size_t queued_ = 0;  // bytes waiting, over all texts
  // The part of a stuffed front text being sent: [head_, partEnd_). A part
  // ends just after a line's leading dot, and the next part starts at that
  // dot again; `scanFrom_` is where the search for the next such dot goes on.
  size_t partEnd_ = 0;
  size_t scanFrom_ = 0;
  bool partEndsAtDot_ = false;
};

// The text as WriteDotStuffed sends it (for the log).
std::string DotStuffed(std::string_view text);

#endif
