// Portable. The choice of the way of running, made once at start from the command line.
#pragma once

#include <span>
#include <string>

namespace tolm {

// True when an argument (the program path included) is exactly "--worker", "--console" or "-c".
[[nodiscard]] bool asks_for_in_process_server(std::span<const std::string> arguments) noexcept;

}  // namespace tolm
