#include "entry.h"

#include <algorithm>
#include <string_view>

namespace tolm {

bool asks_for_in_process_server(std::span<const std::string> arguments) noexcept {
  // Exact and case-sensitive: the service launches its worker with "--worker", and nothing
  // else may be mistaken for it.
  return std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) {
    return a == "--worker" || a == "--console" || a == "-c";
  });
}

}  // namespace tolm
