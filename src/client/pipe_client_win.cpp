#include "client/pipe_client.h"

#include <windows.h>

#include <algorithm>

#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/security_win.h"
#include "base/trust.h"
#include "protocol/answer.h"
#include "protocol/request.h"

namespace tolm::client {
namespace {

// A name that has vanished is retried this long: a server has no instance for a moment between
// two clients, and busy instances may all be replaced at once.
constexpr ULONGLONG kGoneGraceMs = 1000;
// Reads start this small, for the many small answers, and double up to the largest piece.
constexpr std::size_t kFirstRead = std::size_t{64} << 10;
constexpr std::size_t kLargestRead = std::size_t{1} << 20;

class Deadline {
 public:
  explicit Deadline(unsigned ms) noexcept : ms_(ms), end_(GetTickCount64() + ms) {}
  [[nodiscard]] DWORD left() const noexcept {
    const ULONGLONG now = GetTickCount64();
    return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
  }
  [[nodiscard]] unsigned ms() const noexcept { return ms_; }

 private:
  unsigned ms_;
  ULONGLONG end_;
};

void fail(Exchange& out, Failure failure, std::string text) {
  out.failure = failure;
  out.error = std::move(text);
}

std::string os_error(const char* what, DWORD code) {
  return std::string(what) + " failed (os error " + std::to_string(code) + ")";
}

UniqueFile open_pipe(const char* name, decltype(&::CreateFileA) open, const Deadline& deadline,
                     Exchange& out) {
  ULONGLONG last_seen = GetTickCount64();
  for (;;) {
    // Identification only: whoever holds the name cannot act as this process.
    HANDLE h = open(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h != INVALID_HANDLE_VALUE) return UniqueFile(h);
    const DWORD code = GetLastError();
    if (code == ERROR_PIPE_BUSY) {
      last_seen = GetTickCount64();
      if (deadline.left() == 0) {
        fail(out, Failure::kBusy, "every instance of the capture pipe stayed busy");
        return {};
      }
      (void)WaitNamedPipeA(name, std::min<DWORD>(deadline.left(), 500));
      continue;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
      if (GetTickCount64() - last_seen < kGoneGraceMs && deadline.left() > 0) {
        Sleep(10);
        continue;
      }
      fail(out, Failure::kNoServer,
           std::string("no capture server is running (no pipe ") + name + ")");
      return {};
    }
    fail(out, code == ERROR_ACCESS_DENIED ? Failure::kAccessDenied : Failure::kIo,
         os_error("opening the capture pipe", code));
    return {};
  }
}

// A call of `what` failed with `code`: past the deadline, or for another reason.
void failed(Exchange& out, const char* what, DWORD code, const Deadline& deadline) {
  if (code == ERROR_OPERATION_ABORTED) {
    fail(out, Failure::kTimeout,
         "no complete answer from the capture server within " + std::to_string(deadline.ms()) +
             " ms");
  } else {
    fail(out, Failure::kIo, os_error(what, code));
  }
}

// Whoever created the instance could be anyone who got to the name first: the token goes only to
// a server of a trusted account. Empty, with the failure in `out`, otherwise.
UniqueFile open_trusted(const char* name, decltype(&::CreateFileA) open, const Deadline& deadline,
                        Exchange& out) {
  UniqueFile pipe = open_pipe(name, open, deadline, out);
  if (!pipe) return {};
  out.server_owner = owner_sid(pipe.get(), SE_KERNEL_OBJECT);
  (void)GetNamedPipeServerProcessId(pipe.get(), &out.server_process);
  if (!is_trusted_server(out.server_owner, own_account_sid(), is_elevated())) {
    fail(out, Failure::kUntrustedServer,
         "pipe served by an untrusted owner: " +
             (out.server_owner.empty() ? std::string("none") : out.server_owner));
    return {};
  }
  return pipe;
}

bool send(HANDLE pipe, std::string_view request, const Deadline& deadline, Exchange& out) {
  if (request.empty()) return true;
  DWORD written = 0;
  if (!within(deadline.left(), [&] {
        return WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written,
                         nullptr);
      })) {
    failed(out, "sending the request", GetLastError(), deadline);
    return false;
  }
  if (written != request.size()) {
    failed(out, "sending the request", ERROR_WRITE_FAULT, deadline);
    return false;
  }
  return true;
}

// Reads until the server closes its end, which is how every answer ends.
void read_to_close(HANDLE pipe, const Deadline& deadline, Exchange& out) {
  for (std::size_t chunk = kFirstRead;; chunk = std::min(chunk * 2, kLargestRead)) {
    const std::size_t have = out.bytes.size();
    if (have > kMaxResponseBytes) {
      fail(out, Failure::kTooLong, "response too long");
      return;
    }
    out.bytes.resize(have + chunk);
    DWORD got = 0;
    const BOOL read = within(deadline.left(), [&] {
      return ReadFile(pipe, out.bytes.data() + have, static_cast<DWORD>(chunk), &got, nullptr);
    });
    const DWORD code = read ? 0 : GetLastError();
    out.bytes.resize(have + got);
    // Room for the whole answer at once, when its header says how large it is: a frame is not
    // copied again each time the buffer grows.
    if (have == 0 && read) {
      if (const auto size = announced_size(out.bytes); size && *size <= kMaxResponseBytes) {
        out.bytes.reserve(static_cast<std::size_t>(*size) + kLargestRead);
      }
    }
    if (read) continue;
    if (code != ERROR_BROKEN_PIPE && code != ERROR_PIPE_NOT_CONNECTED) {
      failed(out, "reading the response", code, deadline);
    }
    return;
  }
}

}  // namespace

Exchange exchange(std::string_view request, unsigned timeout_ms, const char* pipe_name,
                  decltype(&::CreateFileA) open) {
  Exchange out;
  if (request.size() > kMaxRequestBytes) {
    fail(out, Failure::kIo, "the request is longer than the server reads (256 bytes)");
    return out;
  }
  const Deadline deadline(timeout_ms);
  const UniqueFile pipe = open_trusted(pipe_name, open, deadline, out);
  if (pipe && send(pipe.get(), request, deadline, out)) read_to_close(pipe.get(), deadline, out);
  return out;
}

}  // namespace tolm::client
