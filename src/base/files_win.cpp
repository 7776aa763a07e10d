#include <windows.h>

#include "base/files.h"
#include "base/handles.h"
#include "base/win_text.h"

namespace tolm {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::string data_file(std::string_view name) {
  std::string path(kDataDirectory);
  path += '\\';
  path += name;
  return path;
}

std::optional<std::string> read_whole_file(std::string_view path, std::size_t max_bytes) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return std::nullopt;
    if (got == 0) return bytes;
    if (bytes.size() + got > max_bytes) return std::nullopt;
    bytes.append(chunk, got);
  }
}

bool write_whole_file(std::string_view path, std::string_view bytes) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  while (!bytes.empty()) {
    const DWORD piece = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), piece, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

namespace {

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool create_directories(std::string_view path) {
  const std::wstring wide = to_wide(path);
  // The capture thread asks for the data directory on every pass; it is almost always there.
  if (is_directory(wide)) return true;
  // Create every prefix that ends before a separator, then the whole path; existing ones fail
  // harmlessly. Starting at index 3 skips the drive ("C:\").
  for (std::size_t i = 3; i < wide.size(); ++i) {
    if (wide[i] == L'\\' || wide[i] == L'/') CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
  }
  CreateDirectoryW(wide.c_str(), nullptr);
  return is_directory(wide);
}

void create_data_directory() { create_directories(kDataDirectory); }

}  // namespace tolm
