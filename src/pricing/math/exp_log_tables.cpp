#include "pricing/math/exp_log_tables.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace varnelle::exp_log {

// Found by experiment: for piece i, log c = kLogCInUnits[i] * 2^-43 and 1/c is
// the double nearest exp(-log c).
const std::int64_t kLogCInUnits[kTableSize] = {
    -3270884932818, -3221189312928, -3171772688956, -3122632525071, -3073765412879, -3025167893248,
    -2976837063186, -2928772038762, -2880966258024, -2833420104970, -2786129817909, -2739090699799,
    -2692303327726, -2645762963380, -2599468001488, -2553415140892, -2507601451857, -2462025327858,
    -2416684919071, -2371576092479, -2326699089395, -2282047609698, -2237624110199, -2193422047343,
    -2149440770427, -2105679270147, -2062135086747, -2018804668287, -1975686023513, -1932778629265,
    -1890078742545, -1847584410941, -1805295739177, -1763209282015, -1721322869891, -1679634883676,
    -1638143836483, -1596847277607, -1555745583990, -1514833005434, -1474110644803, -1433574898723,
    -1393226489120, -1353060173872, -1313078686864, -1273278040644, -1233655924634, -1194210775754,
    -1154942861170, -1115848744938, -1076928307804, -1038178628098, -999599241162,  -961187313349,
    -922944602491,  -884865972548,  -846950931350,  -809199574368,  -771609995712,  -734178536508,
    -696907134223,  -659794062165,  -622834206251,  -586031612689,  -549381581640,  -512882977245,
    -476535034388,  -440337236043,  -404286917643,  -368385302362,  -332627781014,  -297016332373,
    -261548475863,  -226222056613,  -191038332675,  -155993971028,  -121089237241,  -86322273706,
    -51690725750,   -17196801609,   34292424996,    102479508797,   170142435717,   237288696082,
    303925770308,   370062344199,   435705152354,   500861484382,   565539450054,   629744277609,
    693484935616,   756766489278,   819595422544,   881979977955,   943923779691,   1005435066169,
    1066519990003,  1127182678292,  1187430017323,  1247267314851,  1306701491285,  1365735883569,
    1424375592872,  1482628959519,  1540497752463,  1597988849257,  1655106916783,  1711856242536,
    1768240983940,  1824267551424,  1879938809885,  1935260044236,  1990236918918,  2044871263340,
    2099167071486,  2153131016569,  2206766089207,  2260075663994,  2313065582798,  2365736774010,
    2418094695529,  2470142810512,  2521883667565,  2573323018901,  2624464226412,  2675308346755,
    2725861357030,  2776123598332};

namespace {

__extension__ typedef unsigned __int128 Wide;

// A non-negative number in fixed point: limb[kLimbs - 1] is the integer part,
// the others 320 bits of fraction, least significant first. Truncating
// arithmetic, far more precise than the tables need: the double nearest a
// value is decided by the value's first ~60 bits after the 53rd, and every
// quantity here is known to better than 2^-300.
struct Fixed {
    static constexpr std::size_t kLimbs = 6;
    std::array<std::uint64_t, kLimbs> limb{};

    static Fixed integer(std::uint64_t n) {
        Fixed f;
        f.limb[kLimbs - 1] = n;
        return f;
    }

    // m * 2^e exactly, for a 64-bit m and -300 < e < 0 (the fraction bits
    // hold it).
    static Fixed scaled(std::uint64_t m, int e) {
        Fixed f;
        const int shift = 64 * static_cast<int>(kLimbs - 1) + e;  // bit position of m's lowest bit
        const auto limb_index = static_cast<std::size_t>(shift / 64);
        const int bit = shift % 64;
        f.limb[limb_index] = m << bit;
        if (bit != 0 && limb_index + 1 < kLimbs) f.limb[limb_index + 1] = m >> (64 - bit);
        return f;
    }

    bool is_zero() const {
        for (const std::uint64_t w : limb) {
            if (w != 0) return false;
        }
        return true;
    }
};

Fixed operator+(const Fixed& a, const Fixed& b) {
    Fixed out;
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < Fixed::kLimbs; ++i) {
        const Wide sum = Wide{a.limb[i]} + b.limb[i] + carry;
        out.limb[i] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
    }
    return out;
}

bool less(const Fixed& a, const Fixed& b) {
    for (std::size_t i = Fixed::kLimbs; i-- > 0;) {
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i];
    }
    return false;
}

// a - b for a >= b.
Fixed operator-(const Fixed& a, const Fixed& b) {
    Fixed out;
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < Fixed::kLimbs; ++i) {
        const Wide diff = Wide{a.limb[i]} - b.limb[i] - borrow;
        out.limb[i] = static_cast<std::uint64_t>(diff);
        borrow = static_cast<std::uint64_t>(diff >> 64) != 0 ? 1 : 0;
    }
    return out;
}

// a * b, the product's bits below the last fraction bit dropped.
Fixed operator*(const Fixed& a, const Fixed& b) {
    std::array<std::uint64_t, 2 * Fixed::kLimbs> full{};
    for (std::size_t i = 0; i < Fixed::kLimbs; ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < Fixed::kLimbs; ++j) {
            const Wide t = Wide{a.limb[i]} * b.limb[j] + full[i + j] + carry;
            full[i + j] = static_cast<std::uint64_t>(t);
            carry = static_cast<std::uint64_t>(t >> 64);
        }
        full[i + Fixed::kLimbs] = carry;
    }
    Fixed out;
    for (std::size_t i = 0; i < Fixed::kLimbs; ++i) out.limb[i] = full[i + Fixed::kLimbs - 1];
    return out;
}

// a / d, truncated.
Fixed operator/(const Fixed& a, std::uint64_t d) {
    Fixed out;
    Wide rest = 0;
    for (std::size_t i = Fixed::kLimbs; i-- > 0;) {
        const Wide cur = (rest << 64) | a.limb[i];
        out.limb[i] = static_cast<std::uint64_t>(cur / d);
        rest = cur % d;
    }
    return out;
}

// The double nearest a (ties to even; a is never that close to one here).
double nearest_double(const Fixed& a) {
    std::size_t top = Fixed::kLimbs;
    while (top-- > 0 && a.limb[top] == 0) {
    }
    if (top >= Fixed::kLimbs) return 0.0;
    // Bit position of the leading one, counted from the lowest fraction bit.
    const int lead = 64 * static_cast<int>(top) + 63 - std::countl_zero(a.limb[top]);
    const auto bit_at = [&](int position) -> std::uint64_t {
        if (position < 0) return 0;
        return (a.limb[static_cast<std::size_t>(position / 64)] >> (position % 64)) & 1u;
    };
    std::uint64_t mantissa = 0;
    for (int p = lead; p > lead - 53; --p) mantissa = (mantissa << 1) | bit_at(p);
    const std::uint64_t round = bit_at(lead - 53);
    bool sticky = false;
    for (int p = lead - 54; p >= 0 && !sticky; --p) sticky = bit_at(p) != 0;
    if (round != 0 && (sticky || (mantissa & 1u) != 0)) ++mantissa;  // 2^53 after a carry is still exact
    const int exponent = lead - 52 - 64 * static_cast<int>(Fixed::kLimbs - 1);
    double value = static_cast<double>(mantissa);
    // Scale by 2^exponent in steps that stay exact.
    for (int e = exponent; e < 0; ++e) value *= 0.5;
    for (int e = exponent; e > 0; --e) value *= 2.0;
    return value;
}

Fixed from_double(double x) {  // 0 < x < 2^64, a multiple of 2^-300
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const int biased = static_cast<int>(bits >> 52);
    const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    return Fixed::scaled(m, biased - 1075);
}

// e^a or e^-a for 0 <= a < 1, by its Taylor series.
Fixed exp_series(const Fixed& a, bool negative) {
    Fixed plus = Fixed::integer(1);
    Fixed minus;
    Fixed term = Fixed::integer(1);
    for (std::uint64_t n = 1; !term.is_zero(); ++n) {
        term = (term * a) / n;
        if (negative && (n & 1u) != 0) {
            minus = minus + term;
        } else {
            plus = plus + term;
        }
    }
    return plus - minus;
}

// ln 2 = sum over k >= 1 of 2^-k / k.
Fixed ln2() {
    Fixed sum;
    Fixed power = Fixed::integer(1);
    for (std::uint64_t k = 1; !power.is_zero(); ++k) {
        power = power / 2;
        sum = sum + power / k;
    }
    return sum;
}

Tables build() {
    Tables t{};
    const Fixed log2 = ln2();
    for (int i = 0; i < kTableSize; ++i) {
        const auto index = static_cast<std::size_t>(i);
        // 2^(i/128) = e^(i ln2 / 128).
        const Fixed power = exp_series((log2 * Fixed::integer(static_cast<std::uint64_t>(i))) / kTableSize, false);
        const double hi = nearest_double(power);
        const Fixed hi_fixed = from_double(hi);
        // tail = (2^(i/128) - hi) / hi; hi = m 2^-52 with m < 2^53.
        const std::uint64_t m = static_cast<std::uint64_t>(hi * 0x1p52);
        const bool below = less(power, hi_fixed);
        const Fixed gap = below ? hi_fixed - power : power - hi_fixed;
        const double tail = nearest_double(gap / m) * 0x1p52;
        t.exp_tail[index] = below ? -tail : tail;
        t.exp_scale[index] = std::bit_cast<std::uint64_t>(hi) - (static_cast<std::uint64_t>(i) << 45);

        const std::int64_t units = kLogCInUnits[index];
        const double logc = static_cast<double>(units) * 0x1p-43;
        const std::uint64_t magnitude = static_cast<std::uint64_t>(units < 0 ? -units : units);
        t.log_logc[index] = logc;
        t.log_invc[index] = nearest_double(exp_series(Fixed::scaled(magnitude, -43), units > 0));
    }
    return t;
}

}  // namespace

const Tables& tables() {
    static const Tables built = build();
    return built;
}

}  // namespace varnelle::exp_log
