#include <windows.h>

#include <bcrypt.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/mutex.h"
#include "base/security_win.h"
#include "base/win_text.h"
#include "server/access_token_win.h"

namespace tolm {
namespace {

constexpr DWORD kSecondLookMs = 50;
// How long icacls may take, its output drained, before it is ended: it runs on threads that serve
// clients and keep the capture going.
constexpr ULONGLONG kIcaclsMs = 5000;

TokenBytes random_bytes() {
  TokenBytes bytes{};
  const NTSTATUS status = BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status != 0) {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    mix_fallback_seed(bytes,
                      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime,
                      GetCurrentProcessId());
  }
  return bytes;
}

// The directory of the running executable, without a trailing separator; empty on failure.
std::wstring module_directory() {
  const std::wstring full = executable_path().value_or(L"");
  const std::size_t slash = full.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
}

// A directory from one of the GetXxxDirectoryW calls, which report the size they need.
template <class Call>
std::wstring system_path(Call call) {
  const UINT needed = call(nullptr, 0);
  if (needed == 0) return {};
  std::wstring dir(needed, L'\0');
  const UINT n = call(dir.data(), needed);
  if (n == 0 || n >= needed) return {};
  dir.resize(n);
  return dir;
}

std::vector<std::wstring> path_directories() {
  std::vector<std::wstring> dirs;
  const DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (needed == 0) return dirs;
  std::wstring value(needed, L'\0');
  const DWORD n = GetEnvironmentVariableW(L"PATH", value.data(), needed);
  if (n == 0 || n >= needed) return dirs;
  value.resize(n);
  for (std::size_t begin = 0; begin <= value.size();) {
    std::size_t end = value.find(L';', begin);
    if (end == std::wstring::npos) end = value.size();
    std::wstring dir = value.substr(begin, end - begin);
    // Entries with spaces are often written in double quotes.
    if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') {
      dir = dir.substr(1, dir.size() - 2);
    }
    if (!dir.empty()) dirs.push_back(std::move(dir));
    begin = end + 1;
  }
  return dirs;
}

// The full path of icacls.exe, looked up in our own directory, the system directory, the Windows
// directory and then PATH; empty when it is in none. Done here rather than by CreateProcessW,
// whose own search also tries the current directory.
std::wstring find_icacls() {
  std::vector<std::wstring> dirs{module_directory(), system_path(GetSystemDirectoryW),
                                 system_path(GetWindowsDirectoryW)};
  for (std::wstring& dir : path_directories()) dirs.push_back(std::move(dir));
  for (const std::wstring& dir : dirs) {
    if (dir.empty()) continue;
    std::wstring candidate = dir;
    if (candidate.back() != L'\\' && candidate.back() != L'/') candidate += L'\\';
    candidate += L"icacls.exe";
    const DWORD attributes = GetFileAttributesW(candidate.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return candidate;
    }
  }
  return {};
}

// Runs icacls on the token file and waits for it, at most kIcaclsMs; every failure is ignored.
void restrict_token_file() {
  const std::wstring program = find_icacls();
  if (program.empty()) return;
  // None of the arguments contains a space, so only the program path needs quotes. The names are
  // English, so on a system in another language icacls changes nothing: the file was made with
  // these permissions already, given by well-known SIDs.
  std::wstring command = L"\"" + program + L"\" " + to_wide(data_file(kTokenFileName)) +
                         L" /inheritance:r /grant:r SYSTEM:F Administrators:F Users:R";
  const ULONGLONG end = GetTickCount64() + kIcaclsMs;
  const auto left = [end]() -> std::uint32_t {
    const ULONGLONG now = GetTickCount64();
    return now >= end ? 0 : static_cast<std::uint32_t>(end - now);
  };

  // The child's ends are made inheritable, and the attribute list below hands the child those and
  // nothing else, whatever other handles of this process are inheritable.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueFile null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!null_input) return;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return;
  const UniqueHandle output(read_end);
  UniqueHandle child_output(write_end);
  if (!SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0)) return;

  HANDLE inherited[] = {null_input.get(), child_output.get()};
  SIZE_T list_bytes = 0;
  (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &list_bytes);
  std::vector<std::uint64_t> list_buffer(list_bytes / sizeof(std::uint64_t) + 1);
  const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_bytes)) return;
  const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&DeleteProcThreadAttributeList)>
      list_owner(list, &DeleteProcThreadAttributeList);
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 sizeof inherited, nullptr, nullptr)) {
    return;
  }

  // Standard output and error share one pipe, so a single reader drains both and neither can
  // fill up and block the tool.
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input.get();
  startup.StartupInfo.hStdOutput = child_output.get();
  startup.StartupInfo.hStdError = child_output.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessW(
      program.c_str(), command.data(), nullptr, nullptr, TRUE,
      CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
      &startup.StartupInfo, &child);
  // Our copy of the write end must go before reading, or the pipe never reports its end.
  child_output.reset();
  if (!started) return;
  const UniqueProcess owned(child);
  char discard[4096];
  DWORD got = 0;
  const auto read = [&] { return ReadFile(output.get(), discard, sizeof discard, &got, nullptr); };
  while (left() > 0 && within(left(), read)) {
  }
  if (WaitForSingleObject(owned.process.get(), left()) != WAIT_OBJECT_0) {
    (void)TerminateProcess(owned.process.get(), 1);
  }
}

// Within the process, one caller at a time reads or makes the token, so that two threads that find
// it missing do not each make one; `last` is the token last read or stored.
struct TokenKeeper {
  Mutex mutex;
  std::string last GUARDED_BY(mutex);
};

TokenKeeper& token_keeper() {
  static TokenKeeper keeper;
  return keeper;
}

TokenFileRead read_token_file() {
  FileRead read = read_data_file(kTokenFileName);
  return {std::move(read.bytes), read.missing};
}

}  // namespace

std::string load_or_create_token() {
  TokenKeeper& keeper = token_keeper();
  std::string token;
  bool stored = false;
  {
    const MutexLock lock(keeper.mutex);
    TokenChoice choice = choose_token(&read_token_file, [] { Sleep(kSecondLookMs); }, keeper.last);
    if (!choice.make) {
      if (!choice.token.empty()) keeper.last = choice.token;
      return std::move(choice.token);
    }
    token = format_token(random_bytes());
    // Made with its final permissions, in a folder only SYSTEM and Administrators may change:
    // nobody else can own it, rename it or put a link in its place before icacls is pointed at it.
    stored = write_data_file(kTokenFileName, token, true, kTokenFileSecurity);
    if (stored) keeper.last = token;
  }
  if (stored) restrict_token_file();
  return token;
}

}  // namespace tolm
