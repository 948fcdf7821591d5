// COutputPiece: one part of a reply, sent behind the parts before it
// without being joined to them: bytes of its own, or a range of a text
// others hold as well (a message sent from where it was downloaded).
#ifndef KESTRELON_OUTPUT_PIECE_H
#define KESTRELON_OUTPUT_PIECE_H

#include <stddef.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

struct COutputPiece {
  COutputPiece() = default;
  explicit COutputPiece(std::string text) : own(std::move(text)) {}
  // [offset, offset + length) of `text`, cut to what it has.
  COutputPiece(std::shared_ptr<const std::string> text, size_t offset, size_t length)
      : held(std::move(text)), offset(offset), length(length) {}

  std::string_view Bytes() const {
    return held ? std::string_view(*held).substr(std::min(offset, held->size()), length) : std::string_view(own);
  }

  std::string own;
  std::shared_ptr<const std::string> held;
  size_t offset = 0;
  size_t length = 0;
};

#endif
