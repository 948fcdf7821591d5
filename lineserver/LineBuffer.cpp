#include "LineBuffer.h"

#include <string.h>

#include <algorithm>

CLineBuffer::CLineBuffer(size_t maxLine) : maxLine_(maxLine) {}

CLineBuffer::~CLineBuffer() {}

char* CLineBuffer::Space(size_t* room) {
  if (data_.size() - end_ < kReceiveChunk && begin_ > 0) {
    // Move the unfinished line to the front only when the space runs short,
    // rather than after every line.
    memmove(data_.data(), data_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    scan_ -= begin_;
    begin_ = 0;
  }
  // The pending bytes never exceed the limit and its CR LF when this is
  // asked (a longer line is refused first), so the store stays below that
  // and one receive.
  if (data_.size() - end_ < kReceiveChunk) data_.resize(std::max(end_ + kReceiveChunk, std::min(data_.size() * 2, maxLine_ + 2 + kReceiveChunk)));
  *room = std::min(data_.size() - end_, kReceiveChunk);
  return data_.data() + end_;
}

void CLineBuffer::Commit(size_t count) { end_ += count; }

CLineBuffer::Next CLineBuffer::NextLine(std::string& line) {
  const char* base = data_.data();
  while (scan_ < end_) {
    const char* lf = static_cast<const char*>(memchr(base + scan_, '\n', end_ - scan_));
    if (lf == nullptr) break;
    const size_t at = static_cast<size_t>(lf - base);
    scan_ = at + 1;
    if (at == begin_ || base[at - 1] != '\r') continue;  // a lone LF is data
    const size_t length = at - 1 - begin_;
    if (length > maxLine_) return Next::TooLong;
    line.assign(base + begin_, length);
    begin_ = scan_;
    if (begin_ == end_) begin_ = end_ = scan_ = 0;
    return Next::Line;
  }
  scan_ = end_;
  // Without its CR LF a line may hold the limit and its CR.
  return end_ - begin_ > maxLine_ + 1 ? Next::TooLong : Next::None;
}

void CLineBuffer::Clear() {
  begin_ = end_ = scan_ = 0;
  if (data_.size() > 2 * kReceiveChunk) std::vector<char>().swap(data_);
}
