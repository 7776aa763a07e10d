// What every benchmark measures with: the performance counter, and the median of a sample.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

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

// 0 for an empty sample.
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace bench
