// SHA-256 of a byte string, for the certificate pin: both builds compute it
// the same way, with nothing from the system.
#ifndef KESTRELON_SHA256_H
#define KESTRELON_SHA256_H

#include <string>
#include <string_view>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view data);

#endif
