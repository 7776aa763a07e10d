// Windows only. Pixels in sections: memory the helper can give a client as a handle of its own, so
// that a frame reaches it without a copy.
#pragma once

#include <windows.h>

#include <cstddef>

#include "capture/pixels.h"

namespace tolm {

// A picture's memory in an unnamed section of its own, mapped here for writing; memory of this
// process's own when the system makes no section. Takes one made ready beforehand when there is
// one of that size.
[[nodiscard]] Pixels section_pixels(std::size_t bytes);

// Makes sections of `bytes` ready, their pages touched, until `count` wait (none: those waiting
// are let go). Called off the capture thread, so that a grab into a new section pays for no page
// it touches first.
void prepare_section_pixels(std::size_t bytes, std::size_t count);

// The section `pixels` live in; null when they live in memory of this process's own.
[[nodiscard]] HANDLE section_of(const Pixels& pixels);

// True when the system knows of no handle to the section of `memory` but this process's own, and
// of no view of it but this process's own (Windows counts views as references to the section;
// Wine counts handles only).
[[nodiscard]] bool only_ours(const PixelMemory& memory);

}  // namespace tolm
