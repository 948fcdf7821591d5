// How the log shows a received line that carries a secret (a password, a
// SASL response): the words before it, then one mask whatever its length.
// POP3, SMTP, IMAP and the HTTP header log all mask this way.
#ifndef KESTRELON_LOG_MASK_H
#define KESTRELON_LOG_MASK_H

#include <string>
#include <string_view>

inline constexpr char kMaskedSecret[] = "********";

// `kept`, a space and the mask; the mask alone when nothing is kept.
inline std::string MaskedAfter(std::string_view kept) {
  return kept.empty() ? std::string(kMaskedSecret) : std::string(kept) + " " + kMaskedSecret;
}

#endif
