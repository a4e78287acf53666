// The European row functions on every path against the single-row
// functions, bit for bit: on the stored reference rows, on random rows across
// the domain, and on every batch length around the lane widths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "european_domain.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/math/vector_path.hpp"
#include "test_support.hpp"

namespace {

using varnelle::OptionInputs;
using varnelle::OptionType;
using varnelle::VectorPath;
using namespace varnelle::testing;

class RowsOnPath : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!varnelle::vector_path_supported(GetParam())) GTEST_SKIP() << "the processor lacks this lane width";
    }
    void expect_scalar_bits(const RowBatch& batch) {
        RowsCheck check;
        check_rows(batch, GetParam(), check);
        EXPECT_EQ(check.differing, 0u) << "of " << check.compared << " values:\n" << check.first;
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, RowsOnPath, ::testing::Values(VectorPath::Scalar, VectorPath::Avx2, VectorPath::Avx512),
                         [](const ::testing::TestParamInfo<VectorPath>& param) {
                             return std::string(varnelle::vector_path_name(param.param));
                         });

// The inputs of every stored reference row, as calls and as puts.
RowBatch stored_rows() {
    RowBatch batch;
    std::ifstream file(VARNELLE_VECTORS_PATH);
    const nlohmann::json doc = nlohmann::json::parse(file);
    for (const auto& row : doc.at("rows")) {
        double a[6];
        for (std::size_t i = 0; i < 6; ++i) a[i] = std::strtod(row.at("args")[i].get<std::string>().c_str(), nullptr);
        for (const OptionType type : {OptionType::Call, OptionType::Put}) batch.add({a[0], a[1], a[2], a[3], a[4], a[5]}, type);
    }
    return batch;
}

TEST_P(RowsOnPath, StoredRows) {
    const RowBatch batch = stored_rows();
    ASSERT_EQ(batch.size(), 2 * 975u);
    expect_scalar_bits(batch);
}

TEST_P(RowsOnPath, RandomRowsAcrossTheDomain) {
    EuropeanDomain domain(20240611);
    RowBatch batch;
    for (int i = 0; i < 60000; ++i) {
        OptionInputs in;
        OptionType type;
        domain.next(in, type);
        batch.add(in, type);
    }
    expect_scalar_bits(batch);
}

// Every length up to three vectors of eight, so that each tail length and
// each lane position meets each kind of row.
TEST_P(RowsOnPath, EveryBatchLength) {
    EuropeanDomain domain(7);
    for (std::size_t n = 0; n <= 24; ++n) {
        RowBatch batch;
        for (std::size_t i = 0; i < n; ++i) {
            OptionInputs in;
            OptionType type;
            domain.next(in, type);
            batch.add(in, type);
        }
        SCOPED_TRACE(::testing::Message() << n << " rows");
        expect_scalar_bits(batch);
    }
}

// A null side column means calls throughout.
TEST_P(RowsOnPath, NoSideColumnMeansCalls) {
    const double s[] = {90, 100, 110, 120, 80}, k[] = {100, 100, 100, 100, 100}, t[] = {1, 0.5, 2, 0.1, 0},
                 r[] = {0.05, 0.01, 0, -0.02, 0.03}, sigma[] = {0.2, 0.3, 0.25, 0.5, 0.2}, q[] = {0, 0.02, 0, 0.01, 0};
    const varnelle::EuropeanColumns in{s, k, t, r, sigma, q, nullptr};
    double price[5], delta[5];
    varnelle::european_price_rows(in, 5, price, GetParam());
    varnelle::black_scholes_delta_rows(in, 5, delta, GetParam());
    for (std::size_t i = 0; i < 5; ++i) {
        const OptionInputs row{s[i], k[i], t[i], r[i], sigma[i], q[i]};
        EXPECT_TRUE(same_bits(price[i], varnelle::european_price(row, OptionType::Call))) << i;
        EXPECT_TRUE(same_bits(delta[i], varnelle::black_scholes_delta(row, OptionType::Call))) << i;
    }
}

}  // namespace
