// Windows only. What the benchmarks that talk to the real helper share: starting it beside
// themselves, waiting for its token, and a bare pipe server to compare it with.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "base/data_directory.h"
#include "base/handles.h"
#include "base/security_win.h"
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
  const std::optional<std::string> bytes = tolm::read_whole_file(tolm::data_file(tolm::kTokenFileName));
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
