// Tests that run once on each way the row functions can go: the scalar path
// and both lane widths, each skipped on a processor without it and named by
// its path in the test's name.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "pricing/math/vector_path.hpp"

namespace varnelle::testing {

inline constexpr VectorPath kEveryVectorPath[] = {VectorPath::Scalar, VectorPath::Avx2, VectorPath::Avx512};

class OnVectorPath : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!vector_path_supported(GetParam())) GTEST_SKIP() << "the processor lacks this lane width";
    }
};

inline std::string vector_path_test_name(const ::testing::TestParamInfo<VectorPath>& param) {
    return vector_path_name(param.param);
}

}  // namespace varnelle::testing
