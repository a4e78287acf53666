// A lane function over an array of any length: whole vectors, then the rest
// through one vector padded with a harmless value. Templates over a lane
// type: include only where one is.
#pragma once

#include <cstddef>

namespace varnelle::lanes {

template <class L, class F>
[[gnu::always_inline]] inline void map_array(const double* x, double* out, std::size_t count, F f) {
    constexpr std::size_t n = L::kLanes;
    std::size_t i = 0;
    for (; i + n <= count; i += n) L::store(out + i, f(L::load(x + i)));
    if (i == count) return;
    double in[n], result[n];
    for (std::size_t j = 0; j < n; ++j) in[j] = i + j < count ? x[i + j] : 1.0;
    L::store(result, f(L::load(in)));
    for (std::size_t j = 0; i + j < count; ++j) out[i + j] = result[j];
}

}  // namespace varnelle::lanes
