// Windows only. What the benchmarks that talk to the real helper share: starting it beside
// themselves, waiting for its token, and a bare pipe server to compare it with.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/security_win.h"
#include "base/win_text.h"
#include "server/access_token.h"
#include "server/capture_server.h"

namespace bench {

// tolm-capture-helper.exe --console `arguments`, from this program's folder; empty on failure.
inline tolm::UniqueProcess start_helper(const std::wstring& arguments = L"") {
  const std::wstring exe = tolm::executable_path().value_or(L"");
  std::wstring command = L"\"" + exe.substr(0, exe.find_last_of(L'\\') + 1) +
                         L"tolm-capture-helper.exe\" --console " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    return {};
  }
  return tolm::UniqueProcess(started);
}

// The token capture.auth holds now, as a client reads it.
inline std::optional<std::string> read_token() {
  const std::optional<std::string> bytes =
      tolm::read_whole_file(tolm::data_file(tolm::kTokenFileName));
  return bytes ? tolm::accept_token_file(*bytes) : std::nullopt;
}

// The token once the helper has written it, or nothing after 20 seconds.
inline std::optional<std::string> wait_for_token(HANDLE helper) {
  for (int i = 0; i < 200; ++i) {
    if (std::optional<std::string> token = read_token()) return token;
    if (WaitForSingleObject(helper, 100) == WAIT_OBJECT_0) break;
  }
  return std::nullopt;
}

// The helper's Linux process, from its command line, which carries `marker`; 0 if not found.
inline unsigned long linux_process(const std::string& marker) {
  WIN32_FIND_DATAW found{};
  const tolm::UniqueFind search(FindFirstFileW(L"Z:\\proc\\*", &found));
  unsigned long pid = 0;
  for (BOOL more = search.valid(); more && pid == 0; more = FindNextFileW(search.get(), &found)) {
    const std::string name = tolm::from_wide(found.cFileName);
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto cmdline = tolm::read_whole_file("Z:\\proc\\" + name + "\\cmdline");
    if (cmdline && cmdline->find(marker) != std::string::npos) pid = std::stoul(name);
  }
  return pid;
}

// The CPU time the Linux process has used, user and system, in seconds.
inline double cpu_seconds(unsigned long linux_pid) {
  const std::string stat =
      tolm::read_whole_file("Z:\\proc\\" + std::to_string(linux_pid) + "\\stat").value_or("");
  // After the command name in parentheses: state, then fields 4 on; utime and stime are 14 and 15.
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  double ticks = 0;
  for (int field = 3; field <= 15 && at != std::string::npos; ++field) {
    at = stat.find(' ', at + 1);
    if (field >= 14 && at != std::string::npos) ticks += std::atof(stat.c_str() + at + 1);
  }
  return ticks / 100;  // USER_HZ
}

// The Linux process's resident memory, in MB (Wine reports no private bytes for another process).
inline double resident_mb(unsigned long linux_pid) {
  const std::string status =
      tolm::read_whole_file("Z:\\proc\\" + std::to_string(linux_pid) + "\\status").value_or("");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atof(status.c_str() + at + 6) / 1024;
}

// The helper's loop without its request rules, token or frame: the floor a server can reach. Its
// instances are made as the helper's are, so the client accepts them. A client's request wakes it
// after `stop` is set.
inline void serve_bare(const char* name, const std::string& response,
                       const std::atomic<bool>& stop) {
  const tolm::PipeSettings settings =
      tolm::capture_pipe_settings(tolm::pipe_owner_sid(), tolm::own_account_sid());
  while (!stop.load()) {
    tolm::UniqueFile owned = tolm::create_pipe_instance(name, settings);
    if (!owned) return;
    const HANDLE pipe = owned.get();
    (void)ConnectNamedPipe(pipe, nullptr);
    char request[256];
    DWORD got = 0;
    (void)ReadFile(pipe, request, sizeof request, &got, nullptr);
    for (std::size_t done = 0; done < response.size() && !stop.load();) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(response.size() - done, 65536));
      DWORD written = 0;
      if (!WriteFile(pipe, response.data() + done, piece, &written, nullptr) || written == 0) break;
      done += written;
    }
    (void)FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
  }
}

}  // namespace bench
