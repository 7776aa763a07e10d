#include "client/stream.h"

#include "protocol/request.h"

namespace tolm::client {
namespace {

// Beyond the server's wait: the answer's transfer and the connection's own bounds.
constexpr unsigned kTransferMs = 5000;

}  // namespace

FrameStream::Next FrameStream::next(std::uint32_t wait_ms) {
  Next out;
  const std::uint32_t wait = std::min(wait_ms, kMaxStreamWaitMs);
  out.exchange = exchange(stream_request(token_, {number_, wait, changed_only_, false}),
                          wait + kTransferMs, pipe_name_);
  if (out.exchange.failure != Failure::kNone) return out;
  const Answer answer = read_answer(out.exchange.bytes, true);
  out.kind = answer.kind;
  out.problem = answer.problem;
  if (answer.kind == AnswerKind::kFrame) {  // a helper that knows no stream: a whole frame
    const FrameView& f = answer.frame;
    pixels_.assign(f.pixels.begin(), f.pixels.end());
    width_ = f.width, height_ = f.height, stride_ = f.stride, number_ = 0;
    out.changed = {Rect{0, 0, f.width, f.height}};
  } else if (answer.kind == AnswerKind::kNext) {
    const NextHeader& h = answer.next;
    if (!apply_payload(pixels_, h, answer.payload)) {
      // Changed pixels over a copy that does not fit them: the next call asks for everything.
      number_ = 0;
      out.kind = AnswerKind::kMalformed;
      out.problem = "changed pixels for a frame of another size";
      return out;
    }
    width_ = h.width, height_ = h.height, stride_ = h.stride, number_ = h.number;
    out.number = h.number;
    out.capture_ms = h.capture_ms;
    out.changed = h.changed;
  }
  return out;
}

}  // namespace tolm::client
