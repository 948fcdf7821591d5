// The one base64 decoder (RFC 4648), for the AUTH PLAIN responses of the
// local servers, in the two readings they give it.
#ifndef KESTRELON_BASE64_H
#define KESTRELON_BASE64_H

#include <string>
#include <string_view>

// Strict: only the alphabet, whole groups of four, and "=" only as the last
// one or two digits. False, with `out` empty, for anything else.
bool DecodeBase64(std::string_view in, std::string& out);
// Loose, as the SMTP server has always read it: characters outside the
// alphabet are skipped, the first "=" ends the data, and an unfinished
// group gives the whole bytes it holds.
std::string DecodeBase64Loosely(std::string_view in);

#endif
