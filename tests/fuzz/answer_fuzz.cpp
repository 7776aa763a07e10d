// A client's reading of whatever a pipe server sends back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/bmp.h"
#include "protocol/answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (bool frame : {true, false}) {
    const tolm::Answer r = tolm::read_answer(bytes, frame);
    if (r.kind != tolm::AnswerKind::kFrame) continue;
    // A frame read from the bytes stays inside them, and its rows inside the pixels.
    const auto& f = r.frame;
    if (f.pixels.data() + f.pixels.size() != data + size) std::abort();
    if (std::uint64_t{f.stride} * f.height != f.pixels.size() || f.width > f.stride / 4) {
      std::abort();
    }
    if (tolm::client::encode_bmp(f).size() < 54) std::abort();
  }
  return 0;
}
