#include "base/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/clock_win.h"
#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/security_win.h"
#include "base/trust.h"
#include "base/win_text.h"

namespace tolm {
namespace {

// One WriteFile call's share of a file write.
constexpr std::size_t kFilePieceBytes = 0x10000000;

// Renames the object behind `handle` (itself, never a link's target) to `to`, in place of nothing.
bool rename_by_handle(HANDLE handle, const std::wstring& to) {
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer(bytes / sizeof(std::uint64_t) + 1);  // aligned for the handle
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), rename->FileName);
  return SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(bytes));
}

// Frees the name `path` of the object behind `opened` (itself, never a link's target): moves it
// aside, so that the name is free at once even while others hold the object open, and marks it
// for deletion, so that it goes when its last holder lets go.
bool remove_name(HANDLE opened, const std::string& path) {
  const UniqueFile deleter(ReOpenFile(opened, DELETE, kShareAll, FILE_FLAG_OPEN_REPARSE_POINT));
  if (!deleter) return false;
  (void)move_aside(deleter.get(), path, ".removed-");  // else deleted in place
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(deleter.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition);
}

// The rest of the file from where `file` stands; none past `max_bytes` or on a failed read.
FileRead read_to_end(HANDLE file, std::size_t max_bytes) {
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) return {};
    if (bytes.size() + got > max_bytes) return {};
    bytes.append(chunk, got);
    // A disk file reads short only at its end: one call fewer for the small files read each pass.
    if (got < sizeof chunk) return {std::move(bytes)};
  }
}

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool is_reparse_point(unsigned long attributes) noexcept {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool move_aside(HANDLE handle, const std::string& path, std::string_view suffix) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::uint8_t random[8] = {};
    (void)system_random(random);
    std::string name = path + std::string(suffix) + std::to_string(now_unix_ms()) + "-";
    for (const std::uint8_t b : random) {
      name += "0123456789abcdef"[b >> 4];
      name += "0123456789abcdef"[b & 0xF];
    }
    if (rename_by_handle(handle, to_wide(name))) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool is_own_plain_file(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(file, &info) && !is_reparse_point(info.dwFileAttributes) &&
         info.nNumberOfLinks <= 1 &&
         is_trusted_owner(owner_sid(file, SE_FILE_OBJECT), own_account_sid());
}

FileRead read_file(std::string_view path, std::size_t max_bytes, Holder holder) {
  const IoDeadline deadline(kFileIoMs);
  const bool own = holder == Holder::kOwn;
  const DWORD access = GENERIC_READ | (own ? READ_CONTROL : 0);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (own ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), access, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return {std::nullopt, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
  }
  if (own && !is_own_plain_file(file.get())) return {std::nullopt, true, true};
  return read_to_end(file.get(), max_bytes);
}

std::optional<std::string> read_whole_file(std::string_view path, std::size_t max_bytes) {
  return read_file(path, max_bytes).bytes;
}

bool write_whole_file(std::string_view path, std::string_view bytes,
                      const WriteOptions& options) {
  const IoDeadline deadline(kFileIoMs);
  const std::string name(path);
  const std::wstring wide = to_wide(path);
  const wchar_t* const security = options.security;
  const UniqueLocal descriptor =
      security != nullptr ? security_descriptor(security) : UniqueLocal();
  if (security != nullptr && !descriptor) return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  const DWORD access = GENERIC_WRITE | READ_CONTROL | (security != nullptr ? WRITE_DAC : 0) |
                       (options.read_back != nullptr ? GENERIC_READ : 0);
  const auto open = [&](DWORD disposition) {
    return UniqueFile(security_calls().create_file(
        wide.c_str(), access, kShareAll, descriptor ? &attributes : nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  // Opened without truncating and without following a link, so that what is there can be looked
  // at before anything is changed.
  UniqueFile file = open(OPEN_ALWAYS);
  const bool found = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!file) return false;
  if (found && !is_own_plain_file(file.get())) {
    if (!remove_name(file.get(), name)) return false;
    file.reset();
    file = open(CREATE_NEW);
    if (!file) return false;
  } else if (found && options.only_if_absent) {
    SetLastError(ERROR_FILE_EXISTS);
    return false;
  } else if (found && security != nullptr && !set_access_list(file.get(), descriptor.get())) {
    return false;
  }
  if (!write_in_pieces(file.get(), bytes, kFilePieceBytes) || !SetEndOfFile(file.get())) {
    return false;
  }
  if (options.read_back == nullptr) return true;
  FileRead read;
  if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == 0) {
    read = read_to_end(file.get(), std::size_t{1} << 20);
  }
  *options.read_back = read.bytes.value_or("");
  return read.bytes.has_value();
}

bool write_in_pieces(HANDLE handle, std::string_view bytes, std::size_t piece) {
  while (!bytes.empty()) {
    const auto size = static_cast<DWORD>(std::min(bytes.size(), piece));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), size, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

std::optional<std::wstring> executable_path(decltype(&::GetModuleFileNameW) get) {
  // Past the longest path the system allows (32767 units and the terminator).
  constexpr std::size_t kMaxPathBuffer = std::size_t{64} * 1024;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = get(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    // A path that fills the buffer may have been cut.
    if (buffer.size() >= kMaxPathBuffer) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool create_directories(std::string_view path) {
  const std::wstring wide = to_wide(path);
  if (is_directory(wide)) return true;
  // Create every prefix that ends before a separator, then the whole path; existing ones fail
  // harmlessly. Starting at index 3 skips the drive ("C:\").
  for (std::size_t i = 3; i < wide.size(); ++i) {
    if (wide[i] == L'\\' || wide[i] == L'/') CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
  }
  // No security attributes: the folder inherits its permissions, which let the product's other
  // programs write their control files in it.
  CreateDirectoryW(wide.c_str(), nullptr);
  return is_directory(wide);
}

}  // namespace tolm
