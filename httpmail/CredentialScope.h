// Where an account's credentials may go: only to the origins (scheme, host
// and port) that its discovery named. A listing may name any URL; one on
// another origin would get the password, in clear when it asks for Basic.
#ifndef KESTRELON_CREDENTIAL_SCOPE_H
#define KESTRELON_CREDENTIAL_SCOPE_H

#include <string>
#include <vector>

// The scheme, host and port of an absolute URL as the transport reads it,
// in lower case with the port always written; empty when it has no host.
std::string UrlOrigin(const std::string& url);

// Whether a request carrying the credentials may go to `url`, given the
// URLs their discovery named (the entry URL, the folder root, the send URL).
bool MayCarryCredentials(const std::string& url, const std::vector<std::string>& named);

#endif
