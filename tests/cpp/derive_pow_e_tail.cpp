// Finds, by experiment, the bounds exp_log_tables.hpp holds for the platform's
// pow(e, y) (kPowETailLow, kPowETailHigh). Not part of the test suite; build
// and run it with
//
//   cmake --build build/check --target derive_pow_e_tail
//   build/check/tests/cpp/derive_pow_e_tail [samples]
//
// The platform's pow(x, y) forms log x as a double-double hi + lo and
// returns exp(y hi + y lo) through exp's algorithm, the product y lo joining
// the reduced argument. For x the double nearest e, log x = 1 - 5.3e-17
// rounds to hi = 1, and lo is log x - 1 to within the error of pow's log,
// a few units in its 2^-68th place: those last bits decide a result only
// rarely, so no sample pins lo, but each sample whose result changes within
// an interval of candidates for lo cuts the interval at the change. The
// program narrows [exact - 2^-70, exact + 2^-70] this way over the given
// number of random exponents (400 million unless given), then checks both
// ends and the middle against the platform on as many again, and prints the
// bounds as hex doubles.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "quad_math.hpp"

namespace {

using namespace varnelle::exp_log;
using varnelle::testing::exp_quad;
using varnelle::testing::log_quad;
using varnelle::testing::Quad;

// exp(y + y lo) as the platform's pow forms it, for 2^-54 <= |y| < 512.
double pow_e(double y, double lo, const Tables& t) {
    const double elo = y * lo;
    const double shifted = std::fma(y, kExpInvLn2N, kExpShift);
    const std::uint64_t ki = std::bit_cast<std::uint64_t>(shifted);
    const double kd = shifted - kExpShift;
    const double r = std::fma(kd, kExpNegLn2LoN, std::fma(kd, kExpNegLn2HiN, y)) + elo;
    const std::size_t i = ki % kTableSize;
    const double scale = std::bit_cast<double>(t.exp_scale[i] + (ki << (52 - kTableBits)));
    const double r2 = r * r;
    const double tmp = std::fma(r2 * r2, std::fma(r, kExpC5, kExpC4), std::fma(r2, std::fma(r, kExpC3, kExpC2), t.exp_tail[i] + r));
    return std::fma(scale, tmp, scale);
}

double exponent(std::mt19937_64& gen) {
    const double u = std::uniform_real_distribution<double>(-1.0, 1.0)(gen);
    switch (gen() % 3) {
        case 0: return 25.0 * u;
        case 1: return 500.0 * u;
        default: return u;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long samples = argc > 1 ? std::atol(argv[1]) : 400'000'000;
    const Tables& t = tables();
    const double e = varnelle::kE;
    const double exact = static_cast<double>(log_quad(static_cast<Quad>(e)) - 1);
    double low = exact - 0x1p-70, high = exact + 0x1p-70;
    std::mt19937_64 gen(2024);
    long cuts = 0;
    for (long n = 0; n < samples; ++n) {
        const double y = exponent(gen);
        if (std::fabs(y) < 0x1p-54) continue;
        const double a = pow_e(y, low, t), b = pow_e(y, high, t);
        if (a == b) continue;
        const double want = std::pow(e, y);
        // The result moves monotonically with lo; bisect for where it
        // starts or stops being the platform's.
        const bool low_matches = std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(want);
        const bool high_matches = std::bit_cast<std::uint64_t>(b) == std::bit_cast<std::uint64_t>(want);
        if (low_matches == high_matches) continue;  // the platform's result lies inside: no cut from this one
        double matching = low_matches ? low : high, other = low_matches ? high : low;
        while (std::nextafter(matching, other) != other) {
            const double mid = matching + (other - matching) / 2;
            if (mid == matching || mid == other) break;
            const bool m = std::bit_cast<std::uint64_t>(pow_e(y, mid, t)) == std::bit_cast<std::uint64_t>(want);
            (m ? matching : other) = mid;
        }
        (low_matches ? high : low) = matching;
        ++cuts;
    }
    std::printf("after %ld samples and %ld cuts: lo in [%a, %a], %.3g units of lo's last place wide\n", samples, cuts,
                low, high, (high - low) / (std::nextafter(std::fabs(exact), 1.0) - std::fabs(exact)));
    long wrong[3] = {0, 0, 0};
    const double checks[3] = {low, (low + high) / 2, high};
    std::mt19937_64 check(7);
    for (long n = 0; n < samples; ++n) {
        const double y = exponent(check);
        if (std::fabs(y) < 0x1p-54) continue;
        const double want = std::pow(e, y);
        for (int j = 0; j < 3; ++j) {
            wrong[j] += std::bit_cast<std::uint64_t>(pow_e(y, checks[j], t)) != std::bit_cast<std::uint64_t>(want);
        }
    }
    std::printf("check on %ld more: %ld, %ld, %ld differ at the low end, middle, high end\n", samples, wrong[0],
                wrong[1], wrong[2]);
    return wrong[0] + wrong[1] + wrong[2] == 0 ? 0 : 1;
}
