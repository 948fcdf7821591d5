// HTTP Digest authentication (MD5, qop "auth") as a test server checks it.
#ifndef KESTRELON_TEST_DIGEST_H
#define KESTRELON_TEST_DIGEST_H

#include <string>

// The MD5 digest of `data` in lowercase hexadecimal.
std::string Md5Hex(const std::string& data);

// The WWW-Authenticate header line (CR LF ended) of a Digest challenge.
std::string DigestChallenge(const std::string& realm, const std::string& nonce);

// True when `authorization` (the Authorization header value) is a Digest
// answer to that challenge for this user, password, verb and URI.
bool DigestAnswers(const std::string& authorization, const std::string& method, const std::string& user,
                   const std::string& password, const std::string& realm, const std::string& nonce);

#endif
