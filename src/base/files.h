// Whole-file access and the data directory. Paths are UTF-8. Windows only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// The data directory: a literal path, never derived from the environment.
inline constexpr std::string_view kDataDirectory = "C:\\ProgramData\\Tolm";

// `kDataDirectory` joined with a file name.
[[nodiscard]] std::string data_file(std::string_view name);

// The bytes of the file, or nothing when it is missing, unreadable or longer than `max_bytes`
// (control files are a few bytes; the bound keeps a runaway file from being read 60 times a second).
[[nodiscard]] std::optional<std::string> read_whole_file(std::string_view path,
                                                         std::size_t max_bytes = 1 << 20);

// Creates or truncates the file and writes all of `bytes`: read, write and delete sharing, no
// temporary file, no rename, no flush. Returns false on any failure; callers may ignore it.
bool write_whole_file(std::string_view path, std::string_view bytes);

// Creates `kDataDirectory` with all missing parents; failures are ignored.
void create_data_directory();

// Creates a directory and all of its missing parents. True when it exists afterwards.
bool create_directories(std::string_view path);

}  // namespace tolm
