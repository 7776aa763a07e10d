// The status document's reader on arbitrary bytes: it takes only what the writer makes, byte for
// byte; and whatever names and notes the writer is given, the reader gives them back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/status_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto read = tolm::parse_status(bytes)) {
    const std::string written = tolm::format_status(*read);
    if (written != bytes && written != std::string(bytes) + "\n") std::abort();
  }
  const std::size_t half = size / 2;
  for (const tolm::StatusDocument& d :
       {tolm::worker_status(bytes.substr(0, half), size % 2 == 0, static_cast<std::uint32_t>(size),
                            size, bytes.substr(half)),
        tolm::service_status(bytes, size)}) {
    if (tolm::parse_status(tolm::format_status(d)) != d) std::abort();
  }
  return 0;
}
