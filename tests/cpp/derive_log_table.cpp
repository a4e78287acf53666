// Finds, by experiment, which c the platform's log uses in each of its 128
// pieces: the numbers exp_log_tables.cpp holds as kLogCInUnits. Not part of
// the test suite; build and run it with
//
//   cmake --build build/check --target derive_log_table
//   build/check/tests/cpp/derive_log_table
//
// In piece i, log x = k ln 2 + log c + log1p(z/c - 1) with 1/c and log c
// from a table. The table's log c lies within 2^-66 of a multiple m 2^-43
// and its 1/c is the double nearest exp(-m 2^-43), so the candidates are the
// m near 2^43 log(middle of the piece) for which that double is that close.
// Each candidate's log is compared with the platform's on 200,000 arguments
// of the piece at several exponents; exactly one candidate per piece gives
// every bit, and its m is printed (the program fails if any piece has none
// or several).
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "pricing/math/exp_log_tables.hpp"
#include "quad_math.hpp"

namespace {

using namespace varnelle::exp_log;
using varnelle::testing::exp_quad;
using varnelle::testing::Quad;

// The platform's log on its usual path, with a candidate 1/c and log c.
double log_with(double x, double invc, double logc) {
    const std::uint64_t ix = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t tmp = ix - kLogOffset;
    const double kd = static_cast<double>(static_cast<std::int64_t>(tmp) >> 52);
    const double z = std::bit_cast<double>(ix - (tmp & (std::uint64_t{0xfff} << 52)));
    const double r = std::fma(z, invc, -1.0);
    const double w = std::fma(kd, kLogLn2Hi, logc);
    const double hi = w + r;
    const double lo = std::fma(kd, kLogLn2Lo, (w - hi) + r);
    const double r2 = r * r;
    const double p = std::fma(r2, std::fma(r, kLogA[4], kLogA[3]), std::fma(r, kLogA[2], kLogA[1]));
    return std::fma(r * r2, p, std::fma(r2, kLogA[0], lo)) + hi;
}

}  // namespace

int main() {
    std::mt19937_64 gen(1);
    int unique = 0;
    for (std::uint64_t i = 0; i < kTableSize; ++i) {
        const std::uint64_t start = kLogOffset + (i << 45), end = kLogOffset + ((i + 1) << 45);
        const double middle = (std::bit_cast<double>(start) + std::bit_cast<double>(end)) / 2;
        // Arguments of the piece, off the range near 1 that log treats apart.
        std::vector<double> x, want;
        std::uniform_int_distribution<std::uint64_t> in_piece(start, end - 1);
        const int exponents[] = {0, 1, -1, 7, -9, 300, -600};
        for (int n = 0; n < 200000; ++n) {
            const double v = std::ldexp(std::bit_cast<double>(in_piece(gen)), exponents[n % 7]);
            if (v >= 1.0 - 0x1p-4 && v < 1.0 + 0x1.09p-4) continue;
            x.push_back(v);
            want.push_back(std::log(v));
        }
        // m within 2^22 of 2^43 log(middle): 1/c within about 2^-21 of 1/middle.
        const double centre = std::floor(std::log(middle) * 0x1p43);
        std::vector<std::int64_t> found;
        for (std::int64_t d = -(std::int64_t{1} << 22); d <= (std::int64_t{1} << 22); ++d) {
            const std::int64_t m = static_cast<std::int64_t>(centre) + d;
            const double logc = static_cast<double>(m) * 0x1p-43;
            // A cheap filter first: exp(-log c) near a double in long double.
            const long double e = std::exp(-static_cast<long double>(logc));
            const double invc = static_cast<double>(e);
            if (std::fabs(static_cast<double>((e - invc) / e)) > 0x1p-58) continue;
            const Quad exact = exp_quad(-Quad(m) * Quad(0x1p-43));
            const double eps = static_cast<double>((exact - Quad(invc)) / exact);
            if (std::fabs(eps) > 0x1p-64) continue;
            std::size_t j = 0;
            while (j < x.size() && std::bit_cast<std::uint64_t>(log_with(x[j], invc, logc)) ==
                                       std::bit_cast<std::uint64_t>(want[j])) {
                ++j;
            }
            if (j == x.size()) found.push_back(m);
        }
        if (found.size() == 1) ++unique;
        std::printf("%3llu: ", static_cast<unsigned long long>(i));
        for (const std::int64_t m : found) std::printf("%lld ", static_cast<long long>(m));
        std::printf("%s\n", found.size() == 1 && found[0] == kLogCInUnits[i] ? "(as in the table)" : "(!)");
        std::fflush(stdout);
    }
    std::printf("%d of %d pieces have exactly one c\n", unique, kTableSize);
    return unique == kTableSize ? 0 : 1;
}
