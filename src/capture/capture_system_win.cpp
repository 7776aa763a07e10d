#include "capture/capture_system_win.h"

#include "base/clock_win.h"
#include "capture/section_pixels_win.h"

#include <utility>

#include "capture/control_files_win.h"
#include "status/status_writer.h"

namespace tolm {

namespace {

// Sections kept ready while clients take every frame's: for the next grab and the one after.
constexpr std::size_t kReadySections = 2;

// Not in every SDK's headers; the system rejects the flag where it has no such timer.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

}  // namespace

Win32CaptureSystem::Win32CaptureSystem(void (*upkeep)())
    : upkeep_(upkeep),
      grabber_(win32_grab_system(), &section_pixels),
      timer_(CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer,
                                    TIMER_MODIFY_STATE | SYNCHRONIZE)) {
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
    counter_frequency_ = static_cast<std::uint64_t>(frequency.QuadPart);
  }
}

CaptureTarget Win32CaptureSystem::read_capture_target() { return tolm::read_capture_target(); }

std::vector<DesktopCandidate> Win32CaptureSystem::candidate_desktops() {
  aftercare_.wait_for_marked();
  return tracker_.candidate_desktops();
}

std::string Win32CaptureSystem::input_desktop_name() { return tracker_.input_desktop_name(); }

GrabResult Win32CaptureSystem::grab(const std::optional<std::string>& desktop,
                                    std::uint32_t width, std::uint32_t height,
                                    Pixels buffer) {
  return grabber_.grab(desktop, width, height, read_display_index(), std::move(buffer));
}

void Win32CaptureSystem::remember_desktop(std::string_view name) {
  aftercare_.post([this, name = std::string(name)] { tracker_.remember_desktop(name); },
                  Aftercare::Mark::kWaitedFor);
}

void Win32CaptureSystem::write_last_error(std::string_view text) { tolm::write_last_error(text); }

void Win32CaptureSystem::write_status(const StatusSnapshot& snapshot) {
  aftercare_.post([this, snapshot] {
    tolm::write_status(snapshot);
    if (upkeep_ != nullptr) upkeep_();
  });
}

void Win32CaptureSystem::settle() { aftercare_.wait_for_all(); }

void Win32CaptureSystem::release_frame(std::shared_ptr<const Frame> frame) {
  if (!frame) return;
  aftercare_.post([frame = std::move(frame)]() mutable {
    // A frame a client was handed leaves no memory for the next grab: sections are made ready for
    // it instead, as long as clients take them.
    const std::size_t bytes = frame->pixels.size();
    const bool handed_out = frame->pixels.memory() && frame->pixels.memory()->handed_out();
    frame.reset();
    prepare_section_pixels(bytes, handed_out ? kReadySections : 0);
  });
}

std::uint64_t Win32CaptureSystem::monotonic_ns() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
  // Split so that ticks * 10^9 cannot overflow after an uptime of minutes.
  return ticks / counter_frequency_ * 1'000'000'000ULL +
         ticks % counter_frequency_ * 1'000'000'000ULL / counter_frequency_;
}

void Win32CaptureSystem::sleep_ns(std::uint64_t ns) {
  if (timer_) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((ns + 99) / 100);  // relative, in 100 ns units
    if (SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer_.get(), INFINITE) == WAIT_OBJECT_0) {
      return;
    }
  }
  Sleep(static_cast<DWORD>((ns + 999'999) / 1'000'000));
}

std::uint64_t Win32CaptureSystem::unix_ms() { return now_unix_ms(); }

void run_capture_loop(const StopFlag& stop, const std::shared_ptr<CaptureState>& state,
                      void (*upkeep)()) {
  Win32CaptureSystem system(upkeep);
  CaptureLoop(system).run(stop, state);
}

}  // namespace tolm
