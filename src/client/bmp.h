// Portable. A frame as a BMP file, as every image viewer opens.
#pragma once

#include <string>

#include "protocol/answer.h"

namespace tolm::client {

// A 24-bit, bottom-up BMP file of the frame; empty when it is too large for one.
[[nodiscard]] std::string encode_bmp(const FrameView& frame);

}  // namespace tolm::client
