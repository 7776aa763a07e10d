#include "client/stream.h"

#include "base/handles.h"
#include "protocol/request.h"

namespace tolm::client {
namespace {

// Beyond the server's wait: the answer's transfer and the connection's own bounds.
constexpr unsigned kTransferMs = 5000;

}  // namespace

FrameStream::Next FrameStream::next(std::uint32_t wait_ms) {
  Next out;
  const std::uint32_t wait = std::min(wait_ms, kMaxStreamWaitMs);
  out.exchange = exchange(stream_request(token_, {number_, wait, changed_only_, shared_}),
                          wait + kTransferMs, pipe_name_);
  if (out.exchange.failure != Failure::kNone) return out;
  const Answer answer = read_answer(out.exchange.bytes, true);
  out.kind = answer.kind;
  out.problem = answer.problem;
  if (answer.kind == AnswerKind::kFrame) {  // a helper that knows no stream: a whole frame
    const FrameView& f = answer.frame;
    pixels_.assign(f.pixels.begin(), f.pixels.end());
    width_ = f.width, height_ = f.height, stride_ = f.stride, number_ = 0;
    mapped_.reset();
    out.changed = {Rect{0, 0, f.width, f.height}};
  } else if (answer.kind == AnswerKind::kNext && answer.next.payload == Payload::kShared) {
    if (std::string problem = map(answer.next); !problem.empty()) {
      number_ = 0;
      out.kind = AnswerKind::kMalformed;
      out.problem = std::move(problem);
      return out;
    }
  } else if (answer.kind == AnswerKind::kNext) {
    const NextHeader& h = answer.next;
    // A copy of our own, patched: it starts from the section's frame when that was the last.
    if (mapped_) pixels_.assign(mapped_.get(), mapped_.get() + std::size_t{stride_} * height_);
    mapped_.reset();
    if (!apply_payload(pixels_, h, answer.payload)) {
      // Changed pixels over a copy that does not fit them: the next call asks for everything.
      number_ = 0;
      out.kind = AnswerKind::kMalformed;
      out.problem = "changed pixels for a frame of another size";
      return out;
    }
  }
  if (answer.kind == AnswerKind::kNext) {
    const NextHeader& h = answer.next;
    width_ = h.width, height_ = h.height, stride_ = h.stride, number_ = h.number;
    out.number = h.number;
    out.capture_ms = h.capture_ms;
    out.changed = h.changed;
  }
  return out;
}

std::string FrameStream::map(const NextHeader& h) {
  // The handle is ours now, whatever comes of it; the view, once made, keeps the section.
  const UniqueHandle section(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h.section)));
  const std::size_t bytes = std::size_t{h.stride} * h.height;
  std::unique_ptr<const std::uint8_t, Unmap> view(
      static_cast<const std::uint8_t*>(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0)));
  if (!view) {
    return "the section given cannot be mapped (error " + std::to_string(GetLastError()) + ")";
  }
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view.get(), &info, sizeof info) == 0 || info.RegionSize < bytes) {
    return "the section given is smaller than its frame";
  }
  if (info.Protect != PAGE_READONLY) return "the section given is not read-only";
  mapped_ = std::move(view);
  return {};
}

FrameView FrameStream::frame() const {
  if (mapped_) {
    return {width_, height_, stride_, {mapped_.get(), std::size_t{stride_} * height_}};
  }
  return {width_, height_, stride_, pixels_};
}

}  // namespace tolm::client
