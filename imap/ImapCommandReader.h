// CImapCommandReader: cuts received bytes into whole IMAP commands. A
// command is one line, or several when it carries literals: a line ending
// in {n} (the client waits for a continuation) or {n+} (it does not) is
// followed by n bytes and then the rest of the command. The command comes
// out raw, literals included, for CImapParser. Lines, literals and whole
// commands are bounded; a command over a bound is refused whole, and its
// remaining bytes are skipped so the next command starts in step.
#ifndef KESTRELON_IMAP_COMMAND_READER_H
#define KESTRELON_IMAP_COMMAND_READER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

class CImapCommandReader {
 public:
  enum class Next {
    None,          // nothing complete yet
    Command,       // a whole command is in `command`
    Continuation,  // send "+ " so that the client sends its literal
    TooLong,       // a command over the bounds was dropped; `command` holds what began it
  };

  CImapCommandReader(size_t maxLine, size_t maxLiteral, size_t maxCommand);
  virtual ~CImapCommandReader();

  void Feed(const char* data, size_t size);
  // The next event; call until None after each Feed.
  Next Poll(std::string& command);
  // Whether part of a command has come and the rest has not.
  bool InCommand() const { return !command_.empty() || state_ != State::Line; }
  // Bytes received and not yet part of a command.
  size_t Pending() const { return buffer_.size() - begin_; }

 private:
  enum class State { Line, Literal, SkipLiteral, SkipLine };
  // The literal mark ("{" digits ["+"] "}" [CR]) at the end of a skipped
  // line, read as its bytes pass, so that none of them is kept however the
  // line is cut or however many digits the mark has.
  struct SkippedMark {
    enum class Step { None, Open, Digits, Plus, Close, CloseCr };
    Step step = Step::None;
    uint64_t size = 0;
    bool synchronizing = true;
    void Take(char c);
  };
  void SetState(State state) { state_ = state; }
  void Skip(size_t end);  // the skipped line's bytes up to `end` pass through mark_
  // The literal announced at the end of `line`: false when there is none.
  static bool LiteralAtEnd(const std::string& line, uint64_t* size, bool* synchronizing);
  void Compact();

  std::string buffer_;
  size_t begin_ = 0;
  std::string command_;  // the command assembled so far
  State state_ = State::Line;
  uint64_t literalLeft_ = 0;
  SkippedMark mark_;
  size_t maxLine_;
  size_t maxLiteral_;
  size_t maxCommand_;
};

#endif
