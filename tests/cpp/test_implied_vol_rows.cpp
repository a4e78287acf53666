// The European implied volatility over rows on every path against
// european_implied_vol, bit for bit: prices of rows across the domain, moved
// off them, at the lower bound, outside the bounds, NaN; every block length.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "european_domain.hpp"
#include "pricing/european/implied_vol_rows.hpp"
#include "pricing/math/vector_path.hpp"

namespace {

using varnelle::VectorPath;
using namespace varnelle::testing;

class ImpliedRowsOnPath : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!varnelle::vector_path_supported(GetParam())) GTEST_SKIP() << "the processor lacks this lane width";
    }
    void expect_scalar_bits(const ImpliedBatch& batch) {
        RowsCheck check;
        check_implied(batch, GetParam(), check);
        EXPECT_EQ(check.differing, 0u) << "of " << check.compared << " rows:\n" << check.first;
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, ImpliedRowsOnPath,
                         ::testing::Values(VectorPath::Scalar, VectorPath::Avx2, VectorPath::Avx512),
                         [](const ::testing::TestParamInfo<VectorPath>& param) {
                             return std::string(varnelle::vector_path_name(param.param));
                         });

TEST_P(ImpliedRowsOnPath, RandomRowsAcrossTheDomain) {
    EuropeanDomain domain(99);
    std::mt19937_64 gen(5);
    ImpliedBatch batch;
    for (int i = 0; i < 40000; ++i) add_implied_row(batch, domain, gen);
    expect_scalar_bits(batch);
}

TEST_P(ImpliedRowsOnPath, EveryBlockLength) {
    EuropeanDomain domain(3);
    std::mt19937_64 gen(4);
    for (std::size_t n = 0; n <= 70; ++n) {
        ImpliedBatch batch;
        for (std::size_t i = 0; i < n; ++i) add_implied_row(batch, domain, gen);
        SCOPED_TRACE(::testing::Message() << n << " rows");
        expect_scalar_bits(batch);
    }
}

}  // namespace
