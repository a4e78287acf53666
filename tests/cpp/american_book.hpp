// The stored American reference book (tests/data/american_reference.json:
// 1,993 rows from a high-precision solver of the early-exercise boundary
// equations) and the error measure the American models' tol promises.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <vector>

#include "pricing/core/types.hpp"

namespace varnelle::testing {

// |value - reference| / max(reference, 0.005 k): relative for prices worth
// having, a fraction of the strike below half a percent of it.
inline double tol_error(double value, double reference, double k) {
    return std::fabs(value - reference) / std::fmax(reference, 0.005 * k);
}

struct BookRow {
    OptionInputs in;
    OptionType type;
    double price;  // the American value
};

// Read once, in the file's order.
inline const std::vector<BookRow>& american_reference_book() {
    static const std::vector<BookRow> rows = [] {
        std::ifstream file(VARNELLE_AMERICAN_REFERENCE_PATH);
        EXPECT_TRUE(file.good()) << VARNELLE_AMERICAN_REFERENCE_PATH;
        const auto doc = nlohmann::json::parse(file);
        std::vector<BookRow> out;
        for (const auto& r : doc.at("rows")) {
            out.push_back({{r.at("s"), r.at("k"), r.at("t"), r.at("r"), r.at("sigma"), r.at("q")},
                           r.at("option_type") == "put" ? OptionType::Put : OptionType::Call, r.at("price")});
        }
        return out;
    }();
    return rows;
}

}  // namespace varnelle::testing
