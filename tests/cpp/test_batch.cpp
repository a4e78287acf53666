// Batches of rows give the single operations' results to the bit, over
// ordinary and degenerate inputs, for every staged operation and for N alone.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pricing/european/batch.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "test_support.hpp"

namespace {

using varnelle::kBatchRows;
using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;


TEST(NormCdfBatch, EqualsNormCdfOnEveryPathAndSeam) {
    std::vector<double> x = {0.0, -0.0, kNaN, kInf, -kInf, 0.5 * 1.4142135623730951, -0.5 * 1.4142135623730951,
                             0.7071067811865476, -0.7071067811865476, 1e-300, -1e-300, 40.0, -40.0, 160.0, -160.0};
    Sweep sweep(0xbac4);
    while (x.size() < 256) x.push_back(sweep.uniform(-1, 1) * std::pow(sweep.uniform(0, 1), 2.0) * 60.0);
    for (std::size_t start = 0; start < x.size(); start += 17) {
        const std::size_t count = std::min<std::size_t>(x.size() - start, 100 + start % 5);
        double out[256];
        varnelle::norm_cdf_batch(x.data() + start, out, count);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_TRUE(same_bits(out[i], varnelle::norm_cdf(x[start + i]))) << "x = " << x[start + i];
        }
    }
}

// Spread over a broad domain, with a share of NaN, infinities, zeros and
// negative values in every field, and both sides mixed within a batch.
std::vector<OptionInputs> rows(std::uint64_t seed, std::size_t count) {
    Sweep sweep(seed);
    const double odd[] = {0.0, -0.0, -1.0, kNaN, kInf, -kInf, 1e-12};
    std::vector<OptionInputs> out;
    for (std::size_t i = 0; i < count; ++i) {
        OptionInputs in{sweep.uniform(1, 300), sweep.uniform(1, 300), sweep.uniform(0, 10), sweep.uniform(-0.05, 0.2),
                        sweep.uniform(0.005, 2), sweep.uniform(-0.05, 0.3)};
        if (i % 5 == 0) {
            double* fields[] = {&in.s, &in.k, &in.t, &in.r, &in.sigma, &in.q};
            *fields[sweep.next() % 6] = sweep.pick(odd);
        }
        out.push_back(in);
    }
    return out;
}

template <class Op, class Single>
void expect_batches_equal_single(Single single) {
    const auto in = rows(0x5eed + Op::kPoints * 10 + Op::kOutputs, 20 * kBatchRows + 13);
    std::vector<OptionType> types;
    for (std::size_t i = 0; i < in.size(); ++i) types.push_back(i % 3 == 1 ? OptionType::Put : OptionType::Call);
    std::vector<double> out(in.size() * Op::kOutputs);
    for (std::size_t start = 0; start < in.size(); start += kBatchRows) {
        const std::size_t count = std::min(kBatchRows, in.size() - start);
        varnelle::evaluate_batch<Op>(&in[start], &types[start], count, &out[start * Op::kOutputs]);
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        double want[Op::kOutputs];
        single(in[i], types[i], want);
        for (std::size_t j = 0; j < Op::kOutputs; ++j) {
            ASSERT_TRUE(same_bits(out[i * Op::kOutputs + j], want[j])) << in[i] << " output " << j;
        }
    }
}

TEST(EvaluateBatch, EqualsTheSingleOperations) {
    using namespace varnelle;
    expect_batches_equal_single<BlackScholesDelta>(
        [](const OptionInputs& in, OptionType t, double* o) { o[0] = black_scholes_delta(in, t); });
    expect_batches_equal_single<BlackScholesTheta>(
        [](const OptionInputs& in, OptionType t, double* o) { o[0] = black_scholes_theta(in, t); });
    expect_batches_equal_single<BlackScholesRho>(
        [](const OptionInputs& in, OptionType t, double* o) { o[0] = black_scholes_rho(in, t); });
    expect_batches_equal_single<EuropeanPrice>(
        [](const OptionInputs& in, OptionType t, double* o) { o[0] = european_price(in, t); });
    expect_batches_equal_single<BlackScholesGreeks>([](const OptionInputs& in, OptionType t, double* o) {
        const Greeks g = black_scholes_greeks(in, t);
        o[0] = g.delta, o[1] = g.gamma, o[2] = g.theta, o[3] = g.vega, o[4] = g.rho;
    });
}

}  // namespace
