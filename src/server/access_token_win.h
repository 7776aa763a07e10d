// Windows only. The access token file, kept and made.
#pragma once

#include <string>

#include "server/access_token.h"

namespace tolm {

// The current token. Reads capture.auth again on every call (nothing is cached) and
// returns the token found there; when the file is missing or not a token, stores a new random
// one, has icacls restrict the file to SYSTEM, Administrators and read-only Users, and returns
// it. Never fails: every failure inside is absorbed.
[[nodiscard]] std::string load_or_create_token();

}  // namespace tolm
