// exp and log in quadruple precision (113 bits), for the experiments that
// find the platform's constants (derive_log_table.cpp, derive_pow_e_tail.cpp).
#pragma once

#include <cmath>

namespace varnelle::testing {

__extension__ typedef __float128 Quad;

// e^a by its Taylor series after halving a below 2^-10, then squaring back.
inline Quad exp_quad(Quad a) {
    int halvings = 0;
    while (a > Quad(0x1p-10) || a < Quad(-0x1p-10)) {
        a /= 2;
        ++halvings;
    }
    Quad sum = 1, term = 1;
    for (int n = 1; n < 30; ++n) {
        term *= a / n;
        sum += term;
    }
    while (halvings-- > 0) sum *= sum;
    return sum;
}

// ln x by Newton's method on exp_quad.
inline Quad log_quad(Quad x) {
    Quad y = static_cast<Quad>(std::log(static_cast<double>(x)));
    for (int i = 0; i < 4; ++i) y += (x - exp_quad(y)) / exp_quad(y);
    return y;
}

}  // namespace varnelle::testing
