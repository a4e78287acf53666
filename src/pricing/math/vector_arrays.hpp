// A lane function over an array of any length. Templates over a lane type:
// include only where one is.
#pragma once

#include <cstddef>

namespace varnelle::lanes {

// out[i] = f(x[i]) a vector at a time; the rest through one vector padded
// with a harmless value.
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

// The same for a function of whole blocks, f(x, out, m) with m a multiple of
// the lane width and at most Block.
template <class L, std::size_t Block, class F>
[[gnu::always_inline]] inline void map_blocks(const double* x, double* out, std::size_t count, F f) {
    constexpr std::size_t n = L::kLanes;
    std::size_t i = 0;
    for (; i + Block <= count; i += Block) f(x + i, out + i, Block);
    const std::size_t rest = count - i;
    if (rest == 0) return;
    const std::size_t padded = (rest + n - 1) / n * n;
    double in[Block], result[Block];
    for (std::size_t j = 0; j < Block; ++j) in[j] = j < rest ? x[i + j] : 1.0;
    f(in, result, padded);
    for (std::size_t j = 0; j < rest; ++j) out[i + j] = result[j];
}

}  // namespace varnelle::lanes
