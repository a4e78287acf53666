// Internals of bjerksund_stensland_call, exposed so that tests can check the
// boundary, the triggers and the twelve terms one by one.
#pragma once

#include <array>

#include "pricing/european/european.hpp"  // detail::european_call, the value E

namespace varnelle::detail {

enum class Bs2002Path {
    Expiry,            // T <= 0: intrinsic value
    NoEarlyExercise,   // b >= r: European value
    ImmediateExercise, // S >= I2: max(European, S - K)
    Approximation,     // the twelve-term sum, capped at the perpetual value, against the European value
};

struct Bs2002Evaluation {
    double value;
    Bs2002Path path;
    // Filled from the immediate-exercise test on.
    double beta, b_inf, b0, h_T, i2;
    // Filled on the approximation path only.
    double h_t1, i1, alpha1, alpha2;
    std::array<double, 12> terms;  // coefficient * phi, before the sign is applied
    double approximation;          // A, the signed left-to-right sum of the terms
    double perpetual;              // the perpetual call's value, the cap on A
    // European value, where the path computed it.
    double european;
};

Bs2002Evaluation evaluate_bjerksund_stensland(double S, double K, double T, double r, double b,
                                              double sigma);

}  // namespace varnelle::detail
