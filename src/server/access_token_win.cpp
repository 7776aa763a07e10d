#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/trust.h"
#include "base/mutex.h"
#include "base/security_win.h"
#include "base/win_text.h"
#include "server/access_token_win.h"

namespace tolm {
namespace {

constexpr DWORD kSecondLookMs = 50;
// Makes and stores a token at most this often in one call; more means other processes keep making
// files at the same moment, and the last token known is used.
constexpr int kMakeRounds = 3;

TokenBytes random_bytes() {
  TokenBytes bytes{};
  if (!system_random(bytes)) {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    mix_fallback_seed(bytes,
                      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime,
                      GetCurrentProcessId());
  }
  return bytes;
}

// Within the process, one caller at a time reads or makes the token, so that two threads that find
// it missing do not each make one; `last` is the token last read or stored.
struct TokenKeeper {
  Mutex mutex;
  std::string last TOLM_GUARDED_BY(mutex);
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
  const MutexLock lock(keeper.mutex);
  std::string made;
  for (int round = 0; round < kMakeRounds; ++round) {
    TokenChoice choice = choose_token(&read_token_file, [] { Sleep(kSecondLookMs); }, keeper.last);
    if (!choice.make) {
      if (!choice.token.empty()) keeper.last = choice.token;
      return std::move(choice.token);
    }
    made = format_token(random_bytes());
    // Made with its final permissions, in a folder only SYSTEM and Administrators may change:
    // nobody else can own it, open it or put a link in its place. Where there was none, it is made
    // only if nobody else (the service's fallback server and a worker, say) made one meanwhile: the
    // one made first is the one every process serves.
    if (write_data_file(kTokenFileName, made, true,
                        {.security = kTokenFileSecurity, .only_if_absent = choice.missing})) {
      keeper.last = made;
      return made;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  // Not stored: a token nobody can read authorizes no one, so the last good one stays in use.
  return keeper.last.empty() ? made : keeper.last;
}

void protect_token_file() {
  if (!data_directory().ready(false)) return;
  // No data access asked, so no open of another process, with whatever sharing, stands in the way.
  const UniqueFile file(CreateFileW(to_wide(data_file(kTokenFileName)).c_str(),
                                    READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // Another account's file is no token: the next read counts it missing and replaces it.
  if (!file || !is_own_plain_file(file.get())) return;
  const std::optional<std::vector<AccessEntry>> entries = access_entries(file.get());
  if (entries && !others_may_open(*entries, own_account_sid())) return;
  (void)set_access_list(file.get(), security_descriptor(kTokenFileSecurity).get());
}

}  // namespace tolm
