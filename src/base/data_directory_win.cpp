#include "base/data_directory.h"

#include "base/security_win.h"

namespace tolm {

std::string data_file(std::string_view name) {
  std::string path(kDataDirectory);
  path += '\\';
  path += name;
  return path;
}

TrustedFolder& data_directory() {
  static TrustedFolder folder{std::string(kDataDirectory), kDataFolderSecurity};
  return folder;
}

FileRead read_data_file(std::string_view name) {
  switch (data_directory().check(false)) {
    case TrustedFolder::State::kReady:
      return read_file(data_file(name), std::size_t{1} << 20, Holder::kOwn);
    case TrustedFolder::State::kMissing:
      return {std::nullopt, true};
    case TrustedFolder::State::kUnusable:
      break;
  }
  return {};
}

bool write_data_file(std::string_view name, std::string_view bytes, bool create_folder,
                     const WriteOptions& options) {
  return data_directory().ready(create_folder) && write_whole_file(data_file(name), bytes, options);
}

}  // namespace tolm
