// Windows only. RAII owners for Win32 handles. The type picks the release call, so a find handle
// cannot be closed with CloseHandle by mistake, and "empty" is exact per type: NULL, or
// INVALID_HANDLE_VALUE for what CreateFileW, CreateNamedPipeA and FindFirstFileW return. (The
// grab's GDI objects go back through its seam, frame_grabber_win.cpp.)
#pragma once

#include <windows.h>

#include <utility>

namespace tolm {

template <class Traits>
class Owned {
 public:
  using Handle = typename Traits::Handle;

  Owned() noexcept = default;
  explicit Owned(Handle h) noexcept : handle_(h) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Traits::empty())) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Traits::empty());
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::empty(); }
  explicit operator bool() const noexcept { return valid(); }

  // Releases now; the owner is empty afterwards. The last-error code is kept, so that a failure
  // can be read after the owners of its call's inputs have let go.
  void reset() noexcept {
    if (!valid()) return;
    const DWORD error = GetLastError();
    Traits::release(std::exchange(handle_, Traits::empty()));
    SetLastError(error);
  }
  // Gives up ownership without releasing.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::empty()); }

 private:
  Handle handle_ = Traits::empty();
};

namespace traits {

// The release calls as functions of ours: the address of an imported function is not a constant
// expression for every compiler, so it cannot be a template argument.
inline void close_handle(HANDLE h) noexcept { CloseHandle(h); }
inline void find_close(HANDLE h) noexcept { FindClose(h); }
inline void close_desktop(HDESK h) noexcept { CloseDesktop(h); }
inline void local_free(HLOCAL h) noexcept { LocalFree(h); }
inline void close_service(SC_HANDLE h) noexcept { CloseServiceHandle(h); }

template <class H, void (*Release)(H) noexcept>
struct NullEmpty {
  using Handle = H;
  static Handle empty() noexcept { return nullptr; }
  static void release(Handle h) noexcept { Release(h); }
};

template <void (*Release)(HANDLE) noexcept>
struct InvalidEmpty : NullEmpty<HANDLE, Release> {
  static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
};

// Events, processes, threads, tokens, timers, jobs, sections.
using Kernel = NullEmpty<HANDLE, &close_handle>;
using File = InvalidEmpty<&close_handle>;
using Find = InvalidEmpty<&find_close>;
using Desktop = NullEmpty<HDESK, &close_desktop>;
// Memory the system allocated for the caller: descriptors, SID texts, message buffers.
using Local = NullEmpty<HLOCAL, &local_free>;
using Service = NullEmpty<SC_HANDLE, &close_service>;

}  // namespace traits

using UniqueHandle = Owned<traits::Kernel>;
using UniqueFile = Owned<traits::File>;
using UniqueFind = Owned<traits::Find>;
using UniqueDesktop = Owned<traits::Desktop>;
using UniqueLocal = Owned<traits::Local>;
using UniqueService = Owned<traits::Service>;

// The two handles a CreateProcess call returns.
struct UniqueProcess {
  UniqueProcess() = default;
  explicit UniqueProcess(const PROCESS_INFORMATION& info) noexcept
      : process(info.hProcess), thread(info.hThread) {}
  UniqueHandle process;
  UniqueHandle thread;
};

}  // namespace tolm
