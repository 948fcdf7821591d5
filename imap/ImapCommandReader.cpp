#include "imap/ImapCommandReader.h"

CImapCommandReader::CImapCommandReader(size_t maxLine, size_t maxLiteral, size_t maxCommand)
    : maxLine_(maxLine), maxLiteral_(maxLiteral), maxCommand_(maxCommand) {}

CImapCommandReader::~CImapCommandReader() {}

void CImapCommandReader::Feed(const char* data, size_t size) {
  Compact();
  buffer_.append(data, size);
}

void CImapCommandReader::Compact() {
  if (begin_ > 0 && begin_ * 2 >= buffer_.size()) {
    buffer_.erase(0, begin_);
    begin_ = 0;
  }
}

void CImapCommandReader::SkippedMark::Take(char c) {
  using S = Step;
  if (c == '{') {
    step = S::Open;
    size = 0;
    synchronizing = true;
  } else if (c >= '0' && c <= '9' && (step == S::Open || step == S::Digits)) {
    step = S::Digits;
    size = size > (UINT64_MAX - 9) / 10 ? UINT64_MAX : size * 10 + static_cast<uint64_t>(c - '0');
  } else if (c == '+' && step == S::Digits) {
    step = S::Plus;
    synchronizing = false;
  } else if (c == '}' && (step == S::Digits || step == S::Plus)) {
    step = S::Close;
  } else if (c == '\r' && step == S::Close) {
    step = S::CloseCr;
  } else {
    step = S::None;
  }
}

void CImapCommandReader::Skip(size_t end) {
  for (; begin_ < end; ++begin_) mark_.Take(buffer_[begin_]);
}

bool CImapCommandReader::LiteralAtEnd(const std::string& line, uint64_t* size, bool* synchronizing) {
  if (line.empty() || line.back() != '}') return false;
  size_t open = line.rfind('{');
  if (open == std::string::npos) return false;
  size_t end = line.size() - 1;
  *synchronizing = true;
  if (end > open + 1 && line[end - 1] == '+') {
    *synchronizing = false;
    --end;
  }
  if (end == open + 1) return false;
  // Any count of digits is a literal (leading zeros too), so its bytes are
  // never read as commands; one too large to count is over every bound.
  uint64_t n = 0;
  for (size_t i = open + 1; i < end; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    n = n > (UINT64_MAX - 9) / 10 ? UINT64_MAX : n * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  *size = n;
  return true;
}

CImapCommandReader::Next CImapCommandReader::Poll(std::string& command) {
  for (;;) {
    size_t available = buffer_.size() - begin_;
    if (state_ == State::Literal || state_ == State::SkipLiteral) {
      if (available == 0) return Next::None;
      size_t take = literalLeft_ < available ? static_cast<size_t>(literalLeft_) : available;
      if (state_ == State::Literal) command_.append(buffer_, begin_, take);
      begin_ += take;
      literalLeft_ -= take;
      if (literalLeft_ > 0) return Next::None;
      SetState(state_ == State::Literal ? State::Line : State::SkipLine);
      continue;
    }
    size_t lf = buffer_.find('\n', begin_);
    if (state_ == State::SkipLine) {
      // Still inside a refused command: a literal its line announces is
      // skipped too.
      Skip(lf == std::string::npos ? buffer_.size() : lf);
      if (lf == std::string::npos) return Next::None;
      ++begin_;
      const bool closed = mark_.step == SkippedMark::Step::Close || mark_.step == SkippedMark::Step::CloseCr;
      if (closed && !mark_.synchronizing) {
        literalLeft_ = mark_.size;
        SetState(State::SkipLiteral);
      } else {
        SetState(State::Line);
      }
      mark_ = SkippedMark();
      continue;
    }
    if (lf == std::string::npos) {
      if (available > maxLine_ + 1) {
        // Refuse now rather than hold an endless line.
        command = command_ + buffer_.substr(begin_, 64);
        command_.clear();
        mark_ = SkippedMark();
        Skip(buffer_.size());
        SetState(State::SkipLine);
        return Next::TooLong;
      }
      return Next::None;
    }
    std::string line = buffer_.substr(begin_, lf - begin_);
    begin_ = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    uint64_t literal = 0;
    bool synchronizing = false;
    bool hasLiteral = LiteralAtEnd(line, &literal, &synchronizing);
    bool tooLong = line.size() > maxLine_ ||
                   command_.size() + line.size() + 2 + (hasLiteral ? literal : 0) > maxCommand_ ||
                   (hasLiteral && literal > maxLiteral_);
    if (tooLong) {
      command = command_ + line;
      command_.clear();
      if (hasLiteral && !synchronizing) {
        literalLeft_ = literal;
        SetState(State::SkipLiteral);
      } else {
        SetState(State::Line);
      }
      return Next::TooLong;
    }
    command_ += line;
    if (!hasLiteral) {
      command.swap(command_);
      command_.clear();
      return Next::Command;
    }
    command_ += "\r\n";
    literalLeft_ = literal;
    SetState(State::Literal);
    if (synchronizing) return Next::Continuation;
  }
}
