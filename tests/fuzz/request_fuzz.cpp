// The authorization of arbitrary requests.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "protocol/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string token(64, 'a');
  const std::string request =
      tolm::decode_utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
  if (tolm::is_authorized(request, token)) {
    if (request.find(token) == std::string::npos) std::abort();
    if (request.find("AUTH ") == std::string::npos && request.find("auth ") == std::string::npos) {
      std::abort();
    }
  }
  // Whatever comes before it, a line of its own with the token lets the client in.
  if (!tolm::is_authorized(request + "\nAUTH " + token + "\n", token)) std::abort();
  (void)tolm::wants_frame(request);
  return 0;
}
