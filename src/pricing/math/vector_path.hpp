// Which path the array functions take in this process: eight lanes of
// AVX-512, four of AVX2, or the scalar functions one row at a time.
//
// The lanes give the scalar functions' bits only if their exp, log and
// pow(e, y) give the platform's, and the platform may not be the one they
// were made to match (another C library, a processor without FMA, a tuning
// that turns the FMA variants off). So at the first call the lane functions
// are compared bit for bit with the platform's on a fixed sample of about
// 1.3 million arguments (the ranges the pricing formulas reach, subnormals,
// the edges of overflow and underflow, signed zeros, infinities and NaN); a
// single differing bit sends everything down the scalar path, and the
// description says where. VARNELLE_SCALAR=1 in the environment forces the
// scalar path.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnelle {

enum class VectorPath { Scalar, Avx2, Avx512 };

struct VectorPathChoice {
    VectorPath path;
    // "avx512", "avx2", or "scalar: " and the reason.
    std::string description;
    // Time the comparison took, in milliseconds (0 when it did not run).
    double proof_ms;
};

// Decided once, at the first call, and the same for the life of the process.
const VectorPathChoice& vector_path_choice();

inline VectorPath active_vector_path() { return vector_path_choice().path; }

// Whether this build and processor can run a path at all (the scalar one
// always); the tests force each path that can.
bool vector_path_supported(VectorPath path);

const char* vector_path_name(VectorPath path);

namespace lanes {

// The comparison itself, for one lane path: empty when every bit agrees,
// otherwise what differed. Exposed for the tests.
std::string prove_against_platform(VectorPath path);

// One function's part of it: lanes against platform on every x.
std::string first_difference(const char* name, void (*lanes)(const double*, double*, std::size_t),
                             double (*platform)(double), const std::vector<double>& x);

// The choice as vector_path_choice makes it, with VARNELLE_SCALAR's value
// (null when unset) given.
VectorPathChoice choose_vector_path(const char* scalar_setting);

}  // namespace lanes

}  // namespace varnelle
