#include "capture/section_pixels_win.h"

#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/handles.h"
#include "base/mutex.h"

namespace tolm {
namespace {

// The system's count of handles to, and references of, a kernel object (NtQueryObject's
// ObjectBasicInformation, PUBLIC_OBJECT_BASIC_INFORMATION); nothing when it does not say.
struct References {
  unsigned long handles = 0;
  unsigned long pointers = 0;
  friend bool operator==(const References&, const References&) = default;
};

std::optional<References> references(HANDLE object) {
  struct Basic {
    ULONG attributes, granted_access, handle_count, pointer_count, reserved[10];
  } basic{};
  using Query = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  ULONG got = 0;
  if (query == nullptr || query(object, 0, &basic, sizeof basic, &got) != 0) return std::nullopt;
  return References{basic.handle_count, basic.pointer_count};
}

class SectionMemory final : public PixelMemory {
 public:
  SectionMemory(UniqueHandle section, void* view, std::size_t bytes)
      : section_(std::move(section)),
        view_(static_cast<std::uint8_t*>(view)),
        bytes_(bytes),
        ours_(references(section_.get())) {}
  ~SectionMemory() override { UnmapViewOfFile(view_); }
  SectionMemory(const SectionMemory&) = delete;
  SectionMemory& operator=(const SectionMemory&) = delete;

  std::span<std::uint8_t> bytes() override { return {view_, bytes_}; }
  [[nodiscard]] HANDLE handle() const { return section_.get(); }
  // The counts while only this process held it, as they were when it was made.
  [[nodiscard]] bool only_ours() const { return ours_ && references(section_.get()) == ours_; }

 private:
  UniqueHandle section_;
  std::uint8_t* view_;
  std::size_t bytes_;
  std::optional<References> ours_;
};

std::shared_ptr<SectionMemory> make_section(std::size_t bytes) {
  const auto size = static_cast<std::uint64_t>(bytes);
  UniqueHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                          static_cast<DWORD>(size >> 32),
                                          static_cast<DWORD>(size), nullptr));
  if (!section) return nullptr;
  void* view = MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
  if (view == nullptr) return nullptr;
  return std::make_shared<SectionMemory>(std::move(section), view, bytes);
}

// Sections made ready by the helper thread for the capture thread.
struct Ready {
  Mutex mutex;
  std::vector<std::shared_ptr<SectionMemory>> sections TOLM_GUARDED_BY(mutex);
};

Ready& ready() {
  static Ready r;
  return r;
}

}  // namespace

Pixels section_pixels(std::size_t bytes) {
  {
    Ready& r = ready();
    const MutexLock lock(r.mutex);
    if (!r.sections.empty() && r.sections.back()->bytes().size() == bytes) {
      std::shared_ptr<SectionMemory> taken = std::move(r.sections.back());
      r.sections.pop_back();
      return Pixels(std::move(taken));
    }
  }
  if (std::shared_ptr<SectionMemory> made = make_section(bytes)) return Pixels(std::move(made));
  return own_pixels(bytes);
}

void prepare_section_pixels(std::size_t bytes, std::size_t count) {
  Ready& r = ready();
  for (;;) {
    {
      const MutexLock lock(r.mutex);
      std::erase_if(r.sections, [&](const auto& s) { return s->bytes().size() != bytes; });
      if (r.sections.size() >= count) {
        r.sections.resize(count);
        return;
      }
    }
    std::shared_ptr<SectionMemory> made = make_section(bytes);
    if (!made) return;
    std::memset(made->bytes().data(), 0, bytes);  // every page touched here, not in the grab
    const MutexLock lock(r.mutex);
    r.sections.push_back(std::move(made));
  }
}

bool only_ours(const PixelMemory& memory) {
  const auto* section = dynamic_cast<const SectionMemory*>(&memory);
  return section != nullptr && section->only_ours();
}

HANDLE section_of(const Pixels& pixels) {
  const auto* section = dynamic_cast<const SectionMemory*>(pixels.memory().get());
  return section != nullptr ? section->handle() : nullptr;
}

}  // namespace tolm
