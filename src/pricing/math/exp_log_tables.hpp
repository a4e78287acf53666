// The tables and constants of the platform's exp and log, so that the lane
// versions (vector_exp.hpp, vector_log.hpp) give the same bits as the C
// library's scalar functions.
//
// The platform here is glibc (2.28 and later) on x86-64 with FMA and AVX2,
// whose exp and log are table-driven algorithms with published constants:
//
// exp(x) = 2^(k/128) * e^r with k = round(x * 128 / ln 2): a table of
//   2^(i/128), i = 0..127, each as the double nearest it and the relative
//   error of that double as a second double, and a polynomial of degree 5
//   for e^r - 1 on |r| <= ln 2 / 256.
// log(x) = k ln 2 + log(c) + log1p(z / c - 1) with x = 2^k z, z in
//   [0x1.6p-1, 0x1.6p0) cut into 128 pieces by the leading bits of z, c near
//   the middle of z's piece: a table of 1/c and log(c), a polynomial of
//   degree 6 for log1p, and a second polynomial of degree 12 for x close to 1.
//
// The tables are built at first use from their mathematical definitions in
// exact fixed-point arithmetic (exp_log_tables.cpp). The only numbers taken
// from experiment are which c the library chose in each of log's 128 pieces:
// log(c) of every one lies within 2^-66 of a multiple of 2^-43, and the
// multiples were found by comparing candidates against the platform's log
// (tests/cpp/derive_log_table.cpp repeats the search).
#pragma once

#include <cstdint>

namespace varnelle::exp_log {

inline constexpr int kTableBits = 7;
inline constexpr int kTableSize = 1 << kTableBits;

// exp: x * kInvLn2N rounds to k with the shift 1.5 * 2^52; r = x - k ln2/128
// with ln2/128 in two parts; e^r - 1 ~ r + C2 r^2 + ... + C5 r^5.
inline constexpr double kExpInvLn2N = 0x1.71547652b82fep7;    // 128 / ln 2
inline constexpr double kExpShift = 0x1.8p52;
inline constexpr double kExpNegLn2HiN = -0x1.62e42fefa0000p-8;  // -(ln 2)/128, upper part
inline constexpr double kExpNegLn2LoN = -0x1.cf79abc9e3b3ap-47;  // the rest
inline constexpr double kExpC2 = 0x1.ffffffffffdbdp-2;
inline constexpr double kExpC3 = 0x1.555555555543cp-3;
inline constexpr double kExpC4 = 0x1.55555cf172b91p-5;
inline constexpr double kExpC5 = 0x1.1111167a4d017p-7;

// log: k ln 2 in two parts, the main polynomial (|r| < 1/256) and the one
// for 1 - 2^-4 <= x < 1 + 0x1.09p-4.
inline constexpr double kLogLn2Hi = 0x1.62e42fefa3800p-1;
inline constexpr double kLogLn2Lo = 0x1.ef35793c76730p-45;
inline constexpr double kLogA[5] = {-0x1.0000000000001p-1, 0x1.555555551305bp-2, -0x1.fffffffeb459p-3,
                                    0x1.999b324f10111p-3, -0x1.55575e506c89fp-3};
inline constexpr double kLogB[11] = {-0x1p-1,
                                     0x1.5555555555577p-2,
                                     -0x1.ffffffffffdcbp-3,
                                     0x1.999999995dd0cp-3,
                                     -0x1.55555556745a7p-3,
                                     0x1.24924a344de3p-3,
                                     -0x1.fffffa4423d65p-4,
                                     0x1.c7184282ad6cap-4,
                                     -0x1.999eb43b068ffp-4,
                                     0x1.78182f7afd085p-4,
                                     -0x1.5521375d145cdp-4};
// pow(x, y) = exp(y hi + y lo) with hi + lo = log x in two doubles, y lo
// joining exp's reduced argument. For x = kE (the double nearest e), hi is 1
// and lo is log(kE) - 1 = -5.3e-17 up to the error of pow's logarithm in its
// last bits, which no result pins down exactly; lo lies in this interval, cut
// down by experiment (tests/cpp/derive_pow_e_tail.cpp, 400 million
// exponents: 1.65 million units of lo's last place wide).
inline constexpr double kPowETailLow = -0x1.ea85574005636p-55;
inline constexpr double kPowETailHigh = -0x1.ea85573e72da6p-55;

// The bits of the start of log's range of z; its pieces start every 2^45.
inline constexpr std::uint64_t kLogOffset = 0x3fe6000000000000;
// log c of each piece in units of 2^-43 (see above).
extern const std::int64_t kLogCInUnits[kTableSize];

struct alignas(64) Tables {
    // exp: the relative error of the double nearest 2^(i/128), and that
    // double's bits less i << 45 (so that adding k << 45 for k = 128 j + i
    // adds j to its exponent).
    double exp_tail[kTableSize];
    std::uint64_t exp_scale[kTableSize];
    // log: 1/c and log c.
    double log_invc[kTableSize];
    double log_logc[kTableSize];
};

// Built once, on first use (thread-safe).
const Tables& tables();

}  // namespace varnelle::exp_log
