// Windows only. Frames as a stream: each call asks for the frame after the one the client holds,
// and brings the client's own copy up to it; or, with shared memory, maps the section the helper
// gave it and lets go of the one before.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/locations.h"
#include "client/pipe_client.h"
#include "protocol/answer.h"

namespace tolm::client {

class FrameStream {
 public:
  // `changed_only`: ask for the changed rectangles' pixels only, and patch the copy held.
  // `shared`: ask for each frame in a section of its own, mapped read-only (a helper that has none
  // to give sends pixels instead).
  explicit FrameStream(std::string token, bool changed_only = true, bool shared = false,
                       const char* pipe_name = kPipeName)
      : token_(std::move(token)),
        changed_only_(changed_only),
        shared_(shared),
        pipe_name_(pipe_name) {}

  struct Next {
    Exchange exchange;                         // how the exchange went
    AnswerKind kind = AnswerKind::kMalformed;  // kNext; kFrame from a helper that knows no stream
    std::string problem;                       // kMalformed: what is wrong
    std::uint32_t number = 0;                  // 0 from a helper that numbers nothing
    std::uint64_t capture_ms = 0;              // 0 likewise
    std::vector<Rect> changed;                 // since the frame held before
  };
  // The frame after the one held, waiting up to `wait_ms` for it (the server waits 1 s at most).
  // On a frame (kNext or kFrame) the copy held is brought up to it.
  [[nodiscard]] Next next(std::uint32_t wait_ms);

  // The frame held: its number (0: none, or from a helper that numbers nothing), size and pixels
  // (in the section mapped, when it came in one).
  [[nodiscard]] std::uint32_t number() const { return number_; }
  [[nodiscard]] FrameView frame() const;
  [[nodiscard]] bool in_section() const { return mapped_ != nullptr; }

 private:
  struct Unmap {
    void operator()(const void* view) const { UnmapViewOfFile(view); }
  };
  // Maps the section of a kShared answer: read-only, and as large as its frame.
  [[nodiscard]] std::string map(const NextHeader& h);

  std::string token_;
  bool changed_only_;
  bool shared_;
  const char* pipe_name_;
  std::uint32_t number_ = 0;
  std::uint32_t width_ = 0, height_ = 0, stride_ = 0;
  std::vector<std::uint8_t> pixels_;
  std::unique_ptr<const std::uint8_t, Unmap> mapped_;
};

}  // namespace tolm::client
