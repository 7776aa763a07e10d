// Windows only. The data directory C:\ProgramData\Tolm and the helper's files in it, read and
// written only through its guard.
#pragma once

#include <string>
#include <string_view>

#include "base/files.h"
#include "base/locations.h"
#include "base/trusted_folder.h"

namespace tolm {

// `kDataDirectory` joined with a file name.
[[nodiscard]] std::string data_file(std::string_view name);

// The process's guard of `kDataDirectory`. Every read and write of the helper's own files in it
// goes through it.
[[nodiscard]] TrustedFolder& data_directory();

// A file of the data directory, read only when the folder can be trusted and the file is the
// helper's own (Holder::kOwn); a missing folder is a missing file.
[[nodiscard]] FileRead read_data_file(std::string_view name);

// Writes a file of the data directory, creating the folder when `create_folder` asks for it.
bool write_data_file(std::string_view name, std::string_view bytes, bool create_folder,
                     const WriteOptions& options = {});

}  // namespace tolm
