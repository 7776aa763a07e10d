// Windows only. RAII owners for Win32 handles and GDI objects. The type picks the release call, so
// a DC from GetDC cannot be deleted with DeleteDC by mistake. Each owner keeps the release function
// as a pointer of that exact type; production uses the default, tests may pass a recording one.
#pragma once

#include <windows.h>

#include <utility>

namespace tolm {

template <class Traits>
class Owned {
 public:
  using Handle = typename Traits::Handle;
  using Release = typename Traits::Release;

  Owned() noexcept = default;
  explicit Owned(Handle h, Release release_call = Traits::default_release()) noexcept
      : handle_(h), release_(release_call) {}
  Owned(Owned&& other) noexcept
      : handle_(std::exchange(other.handle_, Traits::empty())), release_(other.release_) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Traits::empty());
      release_ = other.release_;
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
    Traits::call(release_, std::exchange(handle_, Traits::empty()));
    SetLastError(error);
  }
  // Gives up ownership without releasing.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::empty()); }

 private:
  Handle handle_ = Traits::empty();
  Release release_ = Traits::default_release();
};

namespace traits {

// Handles that fail as NULL and go back through one call taking the handle alone. The default
// release call is returned by a function, not given as a template argument: the address of an
// imported function is not a constant expression for every compiler.
template <class H, class R>
struct NullEmpty {
  using Handle = H;
  using Release = R;
  static Handle empty() noexcept { return nullptr; }
  static void call(Release r, Handle h) noexcept { r(h); }
};

// Events, processes, threads, tokens, timers, jobs.
struct Kernel : NullEmpty<HANDLE, decltype(&::CloseHandle)> {
  static Release default_release() noexcept { return &::CloseHandle; }
};

struct File : Kernel {  // CreateFileW and CreateNamedPipeA fail as INVALID_HANDLE_VALUE
  static Handle empty() noexcept { return INVALID_HANDLE_VALUE; }
};

struct Desktop : NullEmpty<HDESK, decltype(&::CloseDesktop)> {
  static Release default_release() noexcept { return &::CloseDesktop; }
};

struct MemoryDc : NullEmpty<HDC, decltype(&::DeleteDC)> {
  static Release default_release() noexcept { return &::DeleteDC; }
};

struct Bitmap : NullEmpty<HBITMAP, decltype(&::DeleteObject)> {
  static Release default_release() noexcept { return &::DeleteObject; }
};

// Memory the system allocated for the caller: descriptors, SID texts, message buffers.
struct Local : NullEmpty<HLOCAL, decltype(&::LocalFree)> {
  static Release default_release() noexcept { return &::LocalFree; }
};

struct Service : NullEmpty<SC_HANDLE, decltype(&::CloseServiceHandle)> {
  static Release default_release() noexcept { return &::CloseServiceHandle; }
};

struct ScreenDc {  // a DC from GetDC(NULL) goes back with ReleaseDC(NULL, dc)
  using Handle = HDC;
  using Release = decltype(&::ReleaseDC);
  static Handle empty() noexcept { return nullptr; }
  static Release default_release() noexcept { return &::ReleaseDC; }
  static void call(Release r, Handle h) noexcept { r(nullptr, h); }
};

}  // namespace traits

using UniqueHandle = Owned<traits::Kernel>;
using UniqueFile = Owned<traits::File>;
using UniqueDesktop = Owned<traits::Desktop>;
using UniqueMemoryDc = Owned<traits::MemoryDc>;
using UniqueBitmap = Owned<traits::Bitmap>;
using UniqueScreenDc = Owned<traits::ScreenDc>;
using UniqueLocal = Owned<traits::Local>;
using UniqueService = Owned<traits::Service>;

// The two handles a CreateProcess call returns.
struct UniqueProcess {
  UniqueProcess() = default;
  explicit UniqueProcess(const PROCESS_INFORMATION& info,
                         traits::Kernel::Release close = &::CloseHandle) noexcept
      : process(info.hProcess, close), thread(info.hThread, close) {}
  UniqueHandle process;
  UniqueHandle thread;
};

}  // namespace tolm
