// Helpers shared by the pricing tests: bitwise comparison of doubles,
// comparison against a decimal quote to the precision of its last digit, and a
// deterministic generator for input sweeps.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "pricing/core/constants.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

// Inputs as printed in failure messages and parameter names of tests.
inline std::ostream& operator<<(std::ostream& os, const OptionInputs& in) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "(s=%.17g, k=%.17g, t=%.17g, r=%.17g, sigma=%.17g, q=%.17g)", in.s, in.k,
                  in.t, in.r, in.sigma, in.q);
    return os << buf;
}

}  // namespace varnelle

namespace varnelle::testing {

using varnelle::kInf;
using varnelle::kNaN;

inline constexpr OptionType kCall = OptionType::Call;
inline constexpr OptionType kPut = OptionType::Put;

inline std::uint64_t bits_of(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline std::string hex(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a (%.17g)", x, x);
    return buf;
}

// Identical bit patterns, except that any NaN matches any NaN. The sign of zero
// counts, so -0.0 does not match 0.0.
inline ::testing::AssertionResult same_bits(double actual, double expected) {
    if (std::isnan(actual) && std::isnan(expected)) return ::testing::AssertionSuccess();
    if (bits_of(actual) == bits_of(expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << hex(actual) << ", want " << hex(expected);
}

// Expected value of a reference table: either a double that must be met to the
// bit, or a decimal quote (as printed, e.g. "0.0187620") that must be met to
// within one unit of its last digit.
struct Expect {
    double exact;
    const char* quote;  // null for an exact value
};
inline Expect exactly(double v) { return {v, nullptr}; }
inline Expect quoted(const char* text) { return {0.0, text}; }

inline double quote_unit(const char* text) {
    const char* dot = std::strchr(text, '.');
    const char* e = std::strpbrk(text, "eE");
    const char* end = e != nullptr ? e : text + std::strlen(text);
    const long decimals = dot != nullptr && dot < end ? static_cast<long>(end - dot - 1) : 0;
    const long exp10 = e != nullptr ? std::strtol(e + 1, nullptr, 10) : 0;
    return std::pow(10.0, static_cast<double>(exp10 - decimals));
}

inline ::testing::AssertionResult meets(double actual, const Expect& want) {
    if (want.quote == nullptr) return same_bits(actual, want.exact);
    const double value = std::strtod(want.quote, nullptr);
    const double unit = quote_unit(want.quote);
    if (std::fabs(actual - value) <= unit) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got " << hex(actual) << ", want " << want.quote << " within " << unit;
}

// SplitMix64: a fixed seed gives the same sweep on every run and platform.
class Sweep {
public:
    explicit Sweep(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform on [lo, hi).
    double uniform(double lo, double hi) {
        const double u = static_cast<double>(next() >> 11) * 0x1.0p-53;
        return lo + (hi - lo) * u;
    }
    // One of the listed values.
    template <std::size_t N>
    double pick(const double (&values)[N]) {
        return values[next() % N];
    }

private:
    std::uint64_t state_;
};

}  // namespace varnelle::testing
