// What every benchmark measures with: the performance counter, and the median of a sample.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

#include "base/percentile.h"

namespace bench {

inline double now_ms() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / ticks_per_ms;
}

// The element n / 2 of the sorted sample; 0 for an empty one.
inline double median(std::vector<double> v) { return tolm::percentile(std::move(v), 0.5); }

}  // namespace bench
