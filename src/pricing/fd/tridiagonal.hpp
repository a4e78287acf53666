// Tridiagonal systems whose interior rows are all alike (a constant-
// coefficient scheme on a uniform mesh), some of whose rows are pinned to a
// given value: the systems an obstacle problem solves at each time level.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace varnelle::fd {

// A row of the matrix: the weights of w_j-1, w_j, w_j+1.
struct TridiagonalRow {
    double lower, centre, upper;
};

// Gaussian elimination of the rows after a pinned row depends only on the
// distance k from it: c_k = u / (c - l c_k-1) with c_0 = 0, and the pivots'
// inverses likewise. Every solve with the same row shares these, so they are
// worked out once (they settle to a fixed point within a few dozen nodes)
// and the sweeps need no division.
struct Elimination {
    std::vector<double> c, inverse;

    explicit Elimination(std::size_t n) : c(n), inverse(n) {}

    void set(const TridiagonalRow& m) {
        const std::size_t n = c.size();
        double previous = 0.0;
        c[0] = 0.0;
        inverse[0] = 1.0;
        for (std::size_t k = 1; k < n; ++k) {
            const double inv = 1.0 / (m.centre - m.lower * previous);
            const double ck = m.upper * inv;
            c[k] = ck;
            inverse[k] = inv;
            if (ck == previous && inv == inverse[k - 1]) {
                std::fill(c.begin() + static_cast<std::ptrdiff_t>(k), c.end(), ck);
                std::fill(inverse.begin() + static_cast<std::ptrdiff_t>(k), inverse.end(), inv);
                break;
            }
            previous = ck;
        }
    }
};

// Solves the system whose interior rows are m, except that the nodes marked
// in `pinned` take the row w_j = fixed_j instead; the first and last rows
// are w = rhs. c and d are scratch of the system's size; the solution goes
// to w.
inline void solve_pinned(const TridiagonalRow& m, const Elimination& e, const std::vector<unsigned char>& pinned,
                         const std::vector<double>& fixed, const std::vector<double>& rhs, std::vector<double>& c,
                         std::vector<double>& d, std::vector<double>& w) {
    const std::size_t n = rhs.size();
    c[0] = 0.0;
    d[0] = rhs[0];
    std::size_t k = 0;  // rows since the last pinned one
    for (std::size_t j = 1; j + 1 < n; ++j) {
        if (pinned[j] != 0) {
            c[j] = 0.0;
            d[j] = fixed[j];
            k = 0;
        } else {
            ++k;
            c[j] = e.c[k];
            d[j] = (rhs[j] - m.lower * d[j - 1]) * e.inverse[k];
        }
    }
    w[n - 1] = rhs[n - 1];
    for (std::size_t j = n - 1; j-- > 0;) w[j] = d[j] - c[j] * w[j + 1];
}

}  // namespace varnelle::fd
