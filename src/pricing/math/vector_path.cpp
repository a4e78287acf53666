#include "pricing/math/vector_path.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/simd_target.hpp"
#include "pricing/math/vector_math.hpp"

namespace varnelle {

namespace lanes {

const MathKernels* math_kernels(VectorPath path) {
#if VARNELLE_HAVE_LANES
    if (path == VectorPath::Avx512) return &kAvx512Math;
    if (path == VectorPath::Avx2) return &kAvx2Math;
#else
    (void)path;
#endif
    return nullptr;
}

namespace {

// A fixed stream of numbers (SplitMix64), so every process proves the same
// sample.
class Stream {
public:
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    // Uniform on [a, b).
    double uniform(double a, double b) { return a + (b - a) * (static_cast<double>(next() >> 11) * 0x1p-53); }
    double any_bits() { return std::bit_cast<double>(next()); }

private:
    std::uint64_t state_ = 0x5eed;
};

// Each value with its neighbours on both sides, and the same for -value.
void push_edges(std::vector<double>& out, std::initializer_list<double> values) {
    for (const double v : values) {
        for (const double s : {v, -v}) {
            double lo = s, hi = s;
            out.push_back(s);
            for (int i = 0; i < 4; ++i) {
                lo = std::nextafter(lo, -kInf);
                hi = std::nextafter(hi, kInf);
                out.push_back(lo);
                out.push_back(hi);
            }
        }
    }
}

void push_uniform(std::vector<double>& out, Stream& stream, std::size_t n, double a, double b) {
    for (std::size_t i = 0; i < n; ++i) out.push_back(stream.uniform(a, b));
}

// Arguments for exp: the discount factors' exponents (rates and yields up to
// +-50 % over up to 50 years, and beyond), exp(-d^2/2) and exp(-z^2) down to
// where they underflow, results near overflow and in the subnormal range,
// arguments too small to matter, and anything at all.
std::vector<double> exp_sample() {
    Stream s;
    std::vector<double> x;
    x.reserve(560000);
    push_uniform(x, s, 130000, -30.0, 30.0);
    push_uniform(x, s, 60000, -1.0, 1.0);
    push_uniform(x, s, 20000, -1e-3, 1e-3);
    push_uniform(x, s, 100000, -746.0, 710.0);
    push_uniform(x, s, 30000, -12200.0, 0.0);
    push_uniform(x, s, 60000, -760.0, -700.0);
    push_uniform(x, s, 20000, 700.0, 720.0);
    for (int i = 0; i < 20000; ++i) x.push_back(std::ldexp(s.uniform(-1.0, 1.0), -40 - static_cast<int>(s.next() % 1000)));
    for (int i = 0; i < 120000; ++i) x.push_back(s.any_bits());
    push_edges(x, {0.0, 0x1p-54, 512.0, 1024.0, 709.782712893384, 745.1332191019411, 708.3964185322641,
                   0x1.62e42fefa39efp+9, 0x1.74910d52d3051p+9, std::numeric_limits<double>::denorm_min(),
                   std::numeric_limits<double>::max(), kInf});
    x.push_back(std::numeric_limits<double>::quiet_NaN());
    x.push_back(-std::numeric_limits<double>::quiet_NaN());
    return x;
}

// Arguments for log: quotients of spot and strike from 1e-300 to 1e300 (and
// the subnormals, zero and infinity beyond), values near 1 where log takes
// its other polynomial and the edges of that range, and anything at all.
std::vector<double> log_sample() {
    Stream s;
    std::vector<double> x;
    x.reserve(560000);
    for (int i = 0; i < 140000; ++i) x.push_back(std::bit_cast<double>(s.next() & 0x7fffffffffffffff));
    push_uniform(x, s, 100000, 0.5, 2.0);
    push_uniform(x, s, 100000, 0.9, 1.1);
    push_uniform(x, s, 30000, 1.0 - 1e-6, 1.0 + 1e-6);
    for (int i = 0; i < 60000; ++i) x.push_back(std::exp(s.uniform(-700.0, 700.0)));
    for (int i = 0; i < 20000; ++i) x.push_back(std::bit_cast<double>(s.next() & 0x000fffffffffffff));
    for (int i = 0; i < 100000; ++i) x.push_back(s.any_bits());
    push_edges(x, {0.0, 1.0, 1.0 - 0x1p-4, 1.0 + 0x1.09p-4, 0x1.6p-1, 0x1.6p0, 0x1p-1022,
                   std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(), kInf});
    x.push_back(std::numeric_limits<double>::quiet_NaN());
    x.push_back(-std::numeric_limits<double>::quiet_NaN());
    return x;
}

// Exponents for pow(e, y): the dividend discount's -q t (yields up to +-50 %
// over up to 50 years, and beyond), around zero and the ends of the range
// where pow's exp takes its usual path, and anything at all.
std::vector<double> pow_sample() {
    Stream s;
    std::vector<double> y;
    y.reserve(200000);
    push_uniform(y, s, 100000, -30.0, 30.0);
    push_uniform(y, s, 30000, -1.0, 1.0);
    push_uniform(y, s, 30000, -760.0, 760.0);
    for (int i = 0; i < 10000; ++i) y.push_back(std::ldexp(s.uniform(-1.0, 1.0), -40 - static_cast<int>(s.next() % 1000)));
    for (int i = 0; i < 20000; ++i) y.push_back(s.any_bits());
    push_edges(y, {0.0, 0x1p-54, 0x1p-65, 512.0, 709.78, 745.13, 1024.0, kInf});
    y.push_back(std::numeric_limits<double>::quiet_NaN());
    return y;
}

double platform_exp(double x) { return std::exp(x); }
double platform_log(double x) { return std::log(x); }
double platform_pow_e(double y) { return std::pow(kE, y); }

}  // namespace

std::string first_difference(const char* name, void (*lanes)(const double*, double*, std::size_t),
                             double (*platform)(double), const std::vector<double>& x) {
    constexpr std::size_t kChunk = 2048;
    double got[kChunk];
    for (std::size_t start = 0; start < x.size(); start += kChunk) {
        const std::size_t n = std::min(kChunk, x.size() - start);
        lanes(x.data() + start, got, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double want = platform(x[start + i]);
            if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want)) {
                char text[160];
                std::snprintf(text, sizeof text, "vector %s differs from the platform's at x=%a (%a, not %a)", name,
                              x[start + i], got[i], want);
                return text;
            }
        }
    }
    return {};
}

std::string prove_against_platform(VectorPath path) {
    const MathKernels* kernels = math_kernels(path);
    if (kernels == nullptr) return "no lanes for this path";
    std::string failure = first_difference("exp", kernels->exp, platform_exp, exp_sample());
    if (failure.empty()) failure = first_difference("log", kernels->log, platform_log, log_sample());
    if (failure.empty()) failure = first_difference("pow", kernels->pow_e, platform_pow_e, pow_sample());
    return failure;
}

}  // namespace lanes

namespace {

bool processor_has(VectorPath path) {
#if VARNELLE_HAVE_LANES
    __builtin_cpu_init();
    if (path == VectorPath::Avx2) return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (path == VectorPath::Avx512) {
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }
#else
    (void)path;
#endif
    return path == VectorPath::Scalar;
}

}  // namespace

namespace lanes {

VectorPathChoice choose_vector_path(const char* scalar_setting) {
    if (scalar_setting != nullptr && std::strcmp(scalar_setting, "1") == 0) {
        return {VectorPath::Scalar, "scalar: forced by VARNELLE_SCALAR=1", 0.0};
    }
    if (!VARNELLE_HAVE_LANES) return {VectorPath::Scalar, "scalar: built without vector lanes", 0.0};
    const std::string why = "scalar: the processor has neither AVX2 with FMA nor AVX-512";
    for (const VectorPath path : {VectorPath::Avx512, VectorPath::Avx2}) {
        if (!processor_has(path)) continue;
        const auto start = std::chrono::steady_clock::now();
        const std::string failure = lanes::prove_against_platform(path);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (failure.empty()) return {path, vector_path_name(path), ms};
        // Both widths run the same algorithm: one that differs says the
        // platform is not the one the lanes reproduce.
        return {VectorPath::Scalar, std::string("scalar: ") + failure, ms};
    }
    return {VectorPath::Scalar, why, 0.0};
}

}  // namespace lanes

const VectorPathChoice& vector_path_choice() {
    static const VectorPathChoice choice = lanes::choose_vector_path(std::getenv("VARNELLE_SCALAR"));
    return choice;
}

bool vector_path_supported(VectorPath path) { return processor_has(path); }

const char* vector_path_name(VectorPath path) {
    switch (path) {
        case VectorPath::Avx512: return "avx512";
        case VectorPath::Avx2: return "avx2";
        case VectorPath::Scalar: break;
    }
    return "scalar";
}

}  // namespace varnelle
