// Portable. The percentile of a sample, as the check, the watch and the benchmarks report it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tolm {

// The value at rank p × (n − 1), rounded half away from zero, of the sorted sample (p from 0 to
// 1; 0.5 gives the element n / 2); 0 for an empty sample.
[[nodiscard]] inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  const auto index =
      static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

}  // namespace tolm
