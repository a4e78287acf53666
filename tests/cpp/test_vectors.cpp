// Walks the stored reference results of all thirteen operations. Each row is
// its own test, named by its index and operation, so a failure names the row.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/european/black_scholes.hpp"
#include "test_support.hpp"

namespace {

using varnelle::Greeks;
using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;

struct VectorRow {
    std::size_t index = 0;
    std::string op;
    std::array<double, 6> args{};
    OptionType type = OptionType::Call;
    std::string type_text;  // as stored, empty when null
    std::vector<double> expected;
    bool exact = true;
    std::vector<double> abs_tol;
};

std::ostream& operator<<(std::ostream& os, const VectorRow& row) {
    os << "row " << row.index << " " << row.op << "(";
    for (const double a : row.args) os << hex(a) << ", ";
    return os << (row.type_text.empty() ? "-" : row.type_text) << ")";
}

// float.hex text; std::strtod reads hex floats as well as "nan" and "inf".
double parse_double(const nlohmann::json& j) {
    const std::string text = j.get<std::string>();
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') throw std::runtime_error("not a double: " + text);
    return v;
}

std::vector<double> parse_one_or_many(const nlohmann::json& j) {
    std::vector<double> out;
    if (j.is_array()) {
        for (const auto& e : j) out.push_back(e.is_string() ? parse_double(e) : e.get<double>());
    } else {
        out.push_back(j.is_string() ? parse_double(j) : j.get<double>());
    }
    return out;
}

struct VectorFile {
    std::vector<VectorRow> rows;
    std::size_t declared_count = 0;
    std::string error;  // set when the file could not be read
};

VectorFile load_vectors() {
    VectorFile file;
    try {
        std::ifstream in(VARNELLE_VECTORS_PATH);
        if (!in) throw std::runtime_error("cannot open " VARNELLE_VECTORS_PATH);
        const nlohmann::json doc = nlohmann::json::parse(in);
        file.declared_count = doc.at("count").get<std::size_t>();
        for (const auto& j : doc.at("rows")) {
            VectorRow row;
            row.index = file.rows.size();
            row.op = j.at("op").get<std::string>();
            const auto& args = j.at("args");
            if (args.size() != 6) throw std::runtime_error("row " + std::to_string(row.index) + ": six args");
            for (std::size_t i = 0; i < 6; ++i) row.args[i] = parse_double(args[i]);
            if (!j.at("option_type").is_null()) {
                row.type_text = j.at("option_type").get<std::string>();
                if (row.type_text != "call" && row.type_text != "put")
                    throw std::runtime_error("row " + std::to_string(row.index) + ": option type " + row.type_text);
                row.type = row.type_text == "put" ? OptionType::Put : OptionType::Call;
            }
            row.expected = parse_one_or_many(j.at("expected"));
            row.exact = j.at("exact").get<bool>();
            if (!row.exact) row.abs_tol = parse_one_or_many(j.at("abs_tol"));
            file.rows.push_back(std::move(row));
        }
    } catch (const std::exception& e) {
        file.error = e.what();
    }
    return file;
}

const VectorFile& vectors() {
    static const VectorFile file = load_vectors();
    return file;
}

// The operation a row names: bs_* is black_scholes_*, am_* is american_*.
// Returns an empty vector for an unknown name.
std::vector<double> evaluate(const VectorRow& row) {
    const OptionInputs in{row.args[0], row.args[1], row.args[2], row.args[3], row.args[4], row.args[5]};
    const auto five = [](const Greeks& g) { return std::vector<double>{g.delta, g.gamma, g.theta, g.vega, g.rho}; };
    const OptionType t = row.type;
    if (row.op == "bs_delta") return {varnelle::black_scholes_delta(in, t)};
    if (row.op == "bs_gamma") return {varnelle::black_scholes_gamma(in)};
    if (row.op == "bs_theta") return {varnelle::black_scholes_theta(in, t)};
    if (row.op == "bs_vega") return {varnelle::black_scholes_vega(in)};
    if (row.op == "bs_rho") return {varnelle::black_scholes_rho(in, t)};
    if (row.op == "bs_greeks") return five(varnelle::black_scholes_greeks(in, t));
    if (row.op == "am_price") return {varnelle::american_price(in, t)};
    if (row.op == "am_delta") return {varnelle::american_delta(in, t)};
    if (row.op == "am_gamma") return {varnelle::american_gamma(in, t)};
    if (row.op == "am_theta") return {varnelle::american_theta(in, t)};
    if (row.op == "am_vega") return {varnelle::american_vega(in, t)};
    if (row.op == "am_rho") return {varnelle::american_rho(in, t)};
    if (row.op == "am_greeks") return five(varnelle::american_greeks(in, t));
    return {};
}

TEST(PricingVectors, FileLoadsWithEveryRow) {
    const VectorFile& file = vectors();
    ASSERT_TRUE(file.error.empty()) << file.error;
    EXPECT_EQ(file.rows.size(), 975u);
    EXPECT_EQ(file.rows.size(), file.declared_count);
}

class PricingVector : public ::testing::TestWithParam<VectorRow> {};

TEST_P(PricingVector, Matches) {
    const VectorRow& row = GetParam();
    const std::vector<double> got = evaluate(row);
    ASSERT_EQ(got.size(), row.expected.size()) << "unknown operation or result width";
    const char* names[] = {"delta", "gamma", "theta", "vega", "rho"};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const char* what = got.size() == 5 ? names[i] : "value";
        if (row.exact) {
            EXPECT_TRUE(same_bits(got[i], row.expected[i])) << what;
        } else {
            const double tol = row.abs_tol.size() == 1 ? row.abs_tol[0] : row.abs_tol.at(i);
            EXPECT_NEAR(got[i], row.expected[i], tol) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PricingVector, ::testing::ValuesIn(vectors().rows),
                         [](const ::testing::TestParamInfo<VectorRow>& p) {
                             char name[48];
                             std::snprintf(name, sizeof name, "row%03zu_%s", p.param.index,
                                           p.param.op.c_str());
                             return std::string(name);
                         });

}  // namespace
