// Windows only. Where the status file is, as the helper writes it and the client's check reads it.
#pragma once

#include <string>
#include <vector>

namespace tolm {

// The data directory's copy, C:\Windows\Temp's, then the calling process's temporary directory's
// (left out when the system reports none). Built afresh on every call.
[[nodiscard]] std::vector<std::string> status_file_paths();

}  // namespace tolm
