// Interpolation on the Chebyshev extrema z_i = cos(i pi / n), i = 0..n, of
// [-1, 1]. The interpolant is the degree-n Chebyshev series through the n + 1
// values; it is evaluated here in barycentric form, which gives the same
// polynomial as Clenshaw's recurrence on the series. When the points at which
// it is read are known in advance, the weights of every node at every point
// are computed once and an interpolation becomes a short dot product.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace varnelle::chebyshev {

inline double node(std::size_t i, std::size_t n) {
    return std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(n));
}

// weights[i] = l_i(z), the Lagrange basis of the n + 1 extrema at z, so that
// the interpolant of values v is sum_i weights[i] * v[i].
inline void lagrange_weights(double z, std::size_t n, double* weights) {
    double total = 0.0;
    for (std::size_t i = 0; i <= n; ++i) {
        const double zi = node(i, n);
        if (z == zi) {
            for (std::size_t j = 0; j <= n; ++j) weights[j] = j == i ? 1.0 : 0.0;
            return;
        }
        // Barycentric weights of the extrema: (-1)^i, halved at both ends.
        double b = (i % 2 == 0) ? 1.0 : -1.0;
        if (i == 0 || i == n) b *= 0.5;
        weights[i] = b / (z - zi);
        total += weights[i];
    }
    for (std::size_t i = 0; i <= n; ++i) weights[i] /= total;
}

}  // namespace varnelle::chebyshev
