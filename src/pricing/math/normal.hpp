// The standard normal distribution function and density.
//
// norm_cdf goes through a complementary error function built from fixed
// rational approximations (one for erf below 0.5, thirteen range-by-range
// ratios for erfc up to 110). The tables are published coefficient sets whose
// error (up to ~1e-10 relative near z = 0.5) is part of this library's
// results: a correctly rounded erfc would NOT reproduce them.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "pricing/core/constants.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

namespace detail {

// Horner's rule from the highest coefficient down; coefficients are stored
// constant term first. Each product and sum is rounded on its own.
template <std::size_t N>
[[gnu::always_inline]] inline double horner(const std::array<double, N>& c, double w) {
    double s = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) s = s * w + c[i];
    return s;
}

// erf on 1e-10 <= z < 0.5: erf(z) ~ z * 1.125 + z * P(z) / Q(z), P and Q of degree 7.
inline constexpr std::array<double, 8> kErfSmallP{
    0.0033791670955125737, -0.0007369565304816795, -0.3747323373929196,
    0.08174424487335873,   -0.04210893199365486,   0.007016570951209575,
    -0.004950912559824351, 0.0008716465990379225};
inline constexpr std::array<double, 8> kErfSmallQ{
    1.0,                  -0.21808821808792464, 0.4125429727254421,
    -0.08418911478731067, 0.06553388564002416,  -0.012001960445494177,
    0.00408165558926174,  -0.0006159007215577697};

// erfc on [a, b): erfc(z) ~ exp(-z*z)/z * (Y + P(z - a) / Q(z - a)).
// Ranges and degrees (P/Q) per row; relative error up to ~1e-10 on [0.5, 38).
// [0.5, 0.75), degrees 5/5.
inline constexpr std::array<double, 6> kErfc1P{
    -0.03617903907182625, 0.2922518834448827,   0.2814470417976045,
    0.12561020886276694,  0.027413502826893053, 0.0025083967216806575};
inline constexpr std::array<double, 6> kErfc1Q{
    1.0, 1.8545005897903486, 1.4357580303783142, 0.5828276587530365, 0.12481047693294975,
    0.011372417654635328};
// [0.75, 1.25), degrees 6/6.
inline constexpr std::array<double, 7> kErfc2P{
    -0.03978768926111369, 0.1531652124678783,   0.19126029560093624, 0.10276327061989304,
    0.029637090615738836, 0.004609348678027549, 0.0003076078203486802};
inline constexpr std::array<double, 7> kErfc2Q{
    1.0,                 1.955200729876277,    1.6476231719938486,   0.7682386070221262,
    0.20979318593650978, 0.031956931689991336, 0.0021336316089578537};
// [1.25, 2.25), degrees 6/7.
inline constexpr std::array<double, 7> kErfc3P{
    -0.030083856055794972, 0.05385788298444545,   0.07262115416519142,  0.036762846988804936,
    0.009646290155725275,  0.0013345348007529107, 7.780875997825043e-05};
inline constexpr std::array<double, 8> kErfc3Q{
    1.0,                  1.7596709814716753,    1.3288357143796112,    0.5525285965087576,
    0.13379305694133287,  0.017950964517628076, 0.0010471244001993736, -1.0664038182035734e-08};
// [2.25, 3.5), degrees 6/6.
inline constexpr std::array<double, 7> kErfc4P{
    -0.011790757013722784, 0.01426213209053881,    0.020223443590296084,  0.009306682999904321,
    0.00213357802422066,   0.00025022987386460105, 1.2053491221958819e-05};
inline constexpr std::array<double, 7> kErfc4Q{
    1.0,                 1.5037622520362048,   0.9653977862044629,   0.3392652304767967,
    0.06897406495415698, 0.007710602624917683, 0.0003714211015310693};
// [3.5, 5.25), degrees 6/7.
inline constexpr std::array<double, 7> kErfc5P{
    -0.005469547955387293, 0.004041902787317071, 0.005496336955316117,  0.002126164726039454,
    0.0003949840144950839, 3.655654770644424e-05, 1.3548589710993232e-06};
inline constexpr std::array<double, 8> kErfc5Q{
    1.0,                   1.2101969777363077,    0.6209146682211439,    0.17303843066114277,
    0.027655081377343203,  0.0024062597442430973, 8.918118172513365e-05, -4.655288362833827e-12};
// [5.25, 8), degrees 5/6.
inline constexpr std::array<double, 6> kErfc6P{
    -0.0027072253590577837, 0.00131875634250294,   0.0011992593326100233,
    0.00027849619811344664, 2.6782298821833186e-05, 9.230436723150282e-07};
inline constexpr std::array<double, 7> kErfc6Q{
    1.0,                   0.8146328085431416,     0.26890166585629954,  0.044987721610304114,
    0.0038175966332024847, 0.00013157189788859692, 4.048153596757641e-12};
// [8, 11.5), degrees 5/5.
inline constexpr std::array<double, 6> kErfc7P{
    -0.001099467206917422, 0.00040642544275042267, 0.0002744994894169007,
    4.652937706466594e-05, 3.2095542539576746e-06, 7.782860181450209e-08};
inline constexpr std::array<double, 6> kErfc7Q{
    1.0, 0.5881737106118461, 0.13936333128940975, 0.016632934041708368, 0.0010002392131023491,
    2.4254837521587224e-05};
// [11.5, 17), degrees 4/5.
inline constexpr std::array<double, 5> kErfc8P{
    -0.0005690799360109496, 0.00016949854037376225, 5.184723545811009e-05,
    3.8281931223192885e-06, 8.249899312818944e-08};
inline constexpr std::array<double, 6> kErfc8Q{
    1.0, 0.33963725005113937, 0.04347264787031066, 0.002485493352246371, 5.356333053371529e-05,
    -1.1749094440545958e-13};
// [17, 24), degrees 4/4.
inline constexpr std::array<double, 5> kErfc9P{
    -0.00024131359948399134, 5.742249752025015e-05, 1.1599896292738377e-05,
    5.817621344025938e-07, 8.539715550856736e-09};
inline constexpr std::array<double, 5> kErfc9Q{
    1.0, 0.23304413829968784, 0.02041869405464403, 0.0007971856475643983, 1.1701928167017232e-05};
// [24, 38), degrees 4/4.
inline constexpr std::array<double, 5> kErfc10P{
    -0.00014667469927776036, 1.6266655211228053e-05, 2.6911624850916523e-06,
    9.79584479468092e-08, 1.0199464762572346e-09};
inline constexpr std::array<double, 5> kErfc10Q{
    1.0, 0.16590781294484722, 0.010336171619150588, 0.0002865930263738684, 2.9840157084090034e-06};
// [38, 60), degrees 4/4.
inline constexpr std::array<double, 5> kErfc11P{
    -5.839057976297718e-05, 4.125103251054962e-06, 4.3179092242025094e-07,
    9.933651555900132e-09, 6.534805100201047e-11};
inline constexpr std::array<double, 5> kErfc11Q{
    1.0, 0.10507708607203992, 0.004142784286754756, 7.263387546445238e-05, 4.778184710473988e-07};
// [60, 85), degrees 3/4.
inline constexpr std::array<double, 4> kErfc12P{
    -1.9645779760922958e-05, 1.572438876668007e-06, 5.439025111927009e-08, 3.174724923691177e-10};
inline constexpr std::array<double, 5> kErfc12Q{
    1.0, 0.05280398924095763, 0.0009268760691517533, 5.410117232266303e-06, 5.350938458036424e-16};
// [85, 110), degrees 3/3.
inline constexpr std::array<double, 4> kErfc13P{
    -7.892247039787227e-06, 6.22088451660987e-07, 1.457284456768824e-08, 6.037155055427153e-11};
inline constexpr std::array<double, 4> kErfc13Q{
    1.0, 0.03753288463562937, 0.0004679195359746253, 1.9384703927584565e-06};

// One erfc row: g * Y + g * R with g = exp(-z * z) / z and R = P(w) / Q(w), w = z - a.
template <std::size_t NP, std::size_t NQ>
[[gnu::always_inline]] inline double erfc_row(double z, double a, double y,
                                              const std::array<double, NP>& p,
                                              const std::array<double, NQ>& q) {
    const double w = z - a;
    const double ratio = horner(p, w) / horner(q, w);
    const double g = std::exp((-z) * z) / z;
    return g * y + g * ratio;
}

// The thirteen rows as one table: the only place that pairs a range with its
// offsets and polynomials. Ranges include their lower bound; the offsets are
// the doubles nearest the ten-digit decimals (not their single-precision
// roundings). Each polynomial is padded with zero coefficients at its top to
// degree 7: Horner then starts with exact zeros (w >= 0 within a row) and
// reaches the first true coefficient exactly, so the indexed lookup below,
// which evaluates the padded polynomials, and the chain, which drops the
// padding again, give the same bits.
struct ErfcRow {
    double a;  // lower bound of the range, also the offset of w
    double y;
    std::array<double, 8> p;
    std::array<double, 8> q;
};

template <std::size_t N>
constexpr std::array<double, 8> padded(const std::array<double, N>& c) {
    std::array<double, 8> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = c[i];
    return out;
}

inline constexpr std::array<ErfcRow, 13> kErfcRows{{
    {0.5, 0.3440242112, padded(kErfc1P), padded(kErfc1Q)},
    {0.75, 0.419990927, padded(kErfc2P), padded(kErfc2Q)},
    {1.25, 0.4898625016, padded(kErfc3P), padded(kErfc3Q)},
    {2.25, 0.5317370892, padded(kErfc4P), padded(kErfc4Q)},
    {3.5, 0.5489973426, padded(kErfc5P), padded(kErfc5Q)},
    {5.25, 0.5571740866, padded(kErfc6P), padded(kErfc6Q)},
    {8.0, 0.5609807968, padded(kErfc7P), padded(kErfc7Q)},
    {11.5, 0.5626493692, padded(kErfc8P), padded(kErfc8Q)},
    {17.0, 0.5634598136, padded(kErfc9P), padded(kErfc9Q)},
    {24.0, 0.5638477802, padded(kErfc10P), padded(kErfc10Q)},
    {38.0, 0.5640528202, padded(kErfc11P), padded(kErfc11Q)},
    {60.0, 0.5641309023, padded(kErfc12P), padded(kErfc12Q)},
    {85.0, 0.5641584396, padded(kErfc13P), padded(kErfc13Q)},
}};

// Where the last row ends: erfc is 0 in doubles from here on.
inline constexpr double kErfcTailEnd = 110.0;

// A padded polynomial without its zero coefficients at the top. Dropping a
// zero there never changes a bit (see above), only saves its two operations.
constexpr std::size_t unpadded_size(const std::array<double, 8>& c) {
    std::size_t n = c.size();
    while (n > 1 && c[n - 1] == 0.0) --n;
    return n;
}

template <std::size_t N>
constexpr std::array<double, N> unpadded(const std::array<double, 8>& c) {
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = c[i];
    return out;
}

// Row Row's polynomials unpadded, as arrays of their own (a loop the
// compiler leaves rolled then reads them in place).
template <std::size_t Row>
static constexpr auto kErfcRowP = unpadded<unpadded_size(kErfcRows[Row].p)>(kErfcRows[Row].p);
template <std::size_t Row>
static constexpr auto kErfcRowQ = unpadded<unpadded_size(kErfcRows[Row].q)>(kErfcRows[Row].q);

// erfc(z) for 0.5 <= z, from row Row on: each row's comparison and its
// polynomials unpadded, unrolled at compile time.
template <std::size_t Row>
[[gnu::always_inline]] inline double erfc_tail_from(double z) {
    if constexpr (Row == kErfcRows.size()) {
        return 0.0;
    } else {
        constexpr ErfcRow r = kErfcRows[Row];
        constexpr double end = Row + 1 < kErfcRows.size() ? kErfcRows[Row + 1].a : kErfcTailEnd;
        if (z < end) return erfc_row(z, r.a, r.y, kErfcRowP<Row>, kErfcRowQ<Row>);
        return erfc_tail_from<Row + 1>(z);
    }
}

// erfc(z) for 0.5 <= z. A chain of comparisons: for one value at a time, or
// values that change little from one call to the next, it is the cheapest
// way to the row.
inline double erfc_tail(double z) { return erfc_tail_from<0>(z); }

// a ? x : y without a branch.
[[gnu::always_inline]] inline double select(bool a, double x, double y) {
    std::uint64_t bx, by;
    std::memcpy(&bx, &x, sizeof bx);
    std::memcpy(&by, &y, sizeof by);
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(a);
    const std::uint64_t bits = (bx & mask) | (by & ~mask);
    double out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// erfc_tail(z) by table, for evaluating many unrelated values in a loop
// (norm_cdf_batch): there the chain mispredicts on nearly every value and
// costs more than the arithmetic, so the row is chosen by index instead.
[[gnu::always_inline]] inline double erfc_tail_indexed(double z) {
    // The first six rows cover every z below 11.5, where nearly all
    // arguments fall; the rest are counted only when needed.
    std::size_t row = 0;
    for (std::size_t i = 1; i < 7; ++i) row += static_cast<std::size_t>(z >= kErfcRows[i].a);
    if (z >= kErfcRows[7].a) [[unlikely]] {
        for (std::size_t i = 7; i < kErfcRows.size(); ++i) row += static_cast<std::size_t>(z >= kErfcRows[i].a);
    }
    const ErfcRow& r = kErfcRows[row];
    const double value = erfc_row(z, r.a, r.y, r.p, r.q);
    return select(z < kErfcTailEnd, value, 0.0);
}

// Where erf_impl passes from one approximation to the next, in |z|: the
// small-argument line, the erf ratio, then the erfc rows of erfc_tail. The
// approximations do not meet exactly (they differ by up to ~1e-10 relative),
// so a price jumps where one of its d / sqrt(2) crosses one of these.
inline constexpr std::array<double, 15> kErfPieceStarts = [] {
    std::array<double, 15> starts{1e-10};
    for (std::size_t i = 0; i < kErfcRows.size(); ++i) starts[i + 1] = kErfcRows[i].a;
    starts[14] = kErfcTailEnd;
    return starts;
}();

// Which approximation erf_impl uses for z (0 up to 15, by |z|).
inline int erf_piece(double z) {
    const double a = std::fabs(z);
    int piece = 0;
    while (piece < static_cast<int>(kErfPieceStarts.size()) && a >= kErfPieceStarts[static_cast<std::size_t>(piece)]) ++piece;
    return piece;
}

}  // namespace detail

namespace detail {

// erf(z) for 0 <= z < 0.5 (and -0.0).
[[gnu::always_inline]] inline double erf_near_zero(double z) {
    // Below 1e-10 a line whose two factors add up to about 2/sqrt(pi).
    if (z < 1e-10) return z * 1.125 + z * 0.0033791670955125737;
    return z * 1.125 + (z * horner(kErfSmallP, z)) / horner(kErfSmallQ, z);
}

}  // namespace detail

// erf(z) when invert is false, erfc(z) = 1 - erf(z) when it is true; z finite.
inline double erf_impl(double z, bool invert) {
    // Negative arguments reflect onto the positive axis (one level at most).
    // -0.0 is not negative here.
    if (z < 0.0) {
        if (!invert) return -erf_impl(-z, false);
        if (z < -0.5) return 2.0 - erf_impl(-z, true);
        return 1.0 + erf_impl(-z, false);
    }
    // Below 0.5 v approximates erf, from there on erfc.
    const double v = z < 0.5 ? detail::erf_near_zero(z) : detail::erfc_tail(z);
    if (invert) return z < 0.5 ? 1.0 - v : v;
    return z < 0.5 ? v : 1.0 - v;
}

namespace detail {

// erfc(z) for |z| < 0.5: 1 - erf(u) or, below zero, 1 + erf(u), u = |z|.
[[gnu::always_inline]] inline double erfc_near_zero(double z, double u) {
    const double v = erf_near_zero(u);
    return select(z < 0.0, 1.0 + v, 1.0 - v);
}

// erfc(z) for |z| >= 0.5 except z = -0.5: the tail at u = |z|, reflected as
// 2 - erfc(u) below zero. Infinite u gives 0 (and so 2 for z = -inf).
[[gnu::always_inline]] inline double erfc_far_from_zero(double z, double u) {
    const double t = erfc_tail_indexed(u);
    return select(z < 0.0, 2.0 - t, t);
}

}  // namespace detail

inline double erfc(double z) {
    if (std::isnan(z)) return z;
    if (std::isinf(z)) return z > 0.0 ? 0.0 : 2.0;
    return erf_impl(z, true);
}

// Phi(x) = 0.5 * erfc(-x / sqrt(2)). The subtraction from zero and the division
// by the double nearest sqrt(2) are deliberate: they decide the last bit.
[[gnu::always_inline]] inline double norm_cdf_argument(double x) { return (0.0 - x) / (1.0 * kSqrtTwo); }

inline double norm_cdf(double x) { return 0.5 * erfc(norm_cdf_argument(x)); }

// norm_cdf of count values at once, each to the bit as norm_cdf gives it.
// Arguments that vary from value to value send a single evaluation down one
// path or the other unpredictably; here the values are first sorted into
// the two paths, then each path runs as a loop of its own. count <= 256.
inline void norm_cdf_batch(const double* x, double* out, std::size_t count) {
    std::uint8_t near[256], far[256], other[256];
    double zs[256];
    std::size_t n_near = 0, n_far = 0, n_other = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double z = norm_cdf_argument(x[i]);
        zs[i] = z;
        const double u = std::fabs(z);
        const bool is_near = u < 0.5;
        const bool is_far = u >= 0.5 && z != -0.5;  // NaN is neither
        const auto index = static_cast<std::uint8_t>(i);
        near[n_near] = index;
        far[n_far] = index;
        other[n_other] = index;
        n_near += is_near;
        n_far += is_far;
        n_other += !(is_near || is_far);
    }
    for (std::size_t j = 0; j < n_near; ++j) {
        const double z = zs[near[j]];
        out[near[j]] = 0.5 * detail::erfc_near_zero(z, std::fabs(z));
    }
    for (std::size_t j = 0; j < n_far; ++j) {
        const double z = zs[far[j]];
        out[far[j]] = 0.5 * detail::erfc_far_from_zero(z, std::fabs(z));
    }
    for (std::size_t j = 0; j < n_other; ++j) out[other[j]] = 0.5 * erfc(zs[other[j]]);
}

// phi(x), by dividing by the double nearest sqrt(2 pi) (constants.hpp) rather
// than multiplying by its reciprocal: that decides the last bit.
inline double norm_pdf(double x) { return std::exp((-0.5 * x) * x) / kSqrtTwoPi; }

}  // namespace varnelle
