// Windows only. The access token file, kept and made.
#pragma once

#include <string>

#include "server/access_token.h"

namespace tolm {

// The current token. Reads capture.auth again on every call and returns the token found there;
// when the file is missing or not a token, stores a new random one, in a file only SYSTEM,
// Administrators and the helper's account may open, and returns it. When the file cannot be read,
// or a new one cannot be stored, the token last read or stored in this process. Never fails:
// every failure inside is absorbed.
[[nodiscard]] std::string load_or_create_token();

// Gives a token file made by an earlier version, which let Users read it, the permissions of one
// made now; a file of another account is left to the next read, which replaces it.
void protect_token_file();

}  // namespace tolm
