// Reference prices for American options exercised between two boundaries (a
// put with q < r <= 0, a call with r < q <= 0): a random book and a currency
// pair's book and puts at r = 0, priced by the finite-difference solver of the cash-dividend
// models (dividends/dividend_grid.hpp) with no dividend, at high resolution on
// three grids (each with twice the nodes and twice the steps of the one
// before) extrapolated twice, as bench/dividend_reference.cpp does. That
// solver shares no code with the integral model, and its policy iteration
// assumes nothing of the exercise region's shape.
//
//   double_boundary_reference book [NODES]   draws the rows (fixed seeds) and
//       writes them with prices and error estimates as JSON to standard output
//   double_boundary_reference tree FILE [STEPS]   every tenth row of a stored
//       book against a binomial tree (Broadie and Detemple's BBS with
//       Richardson over STEPS and STEPS / 2, default 16,000)
//   double_boundary_reference cost FILE BOOK TOL WHAT   prices (WHAT = price)
//       or Greeks (greeks) of one stored book by the integral model, or by the
//       grid solver alone (grid, grid-greeks), and prints microseconds a row:
//       run the four side by side, or under valgrind --tool=callgrind for
//       instruction counts, which a loaded machine does not disturb
//
// Rows of the random book: r from -2 % to 0, q from r - 5 % to r (calls the
// same with r and q swapped), sigma 5-60 %, lives from a week to ten years
// (uniform in ln t), spots within 3 standard deviations of the strike. The
// currency pair's: puts with r -0.1 %, q -0.5 %, sigma 5-20 %, lives from a
// week to three years, spots within 1.5 standard deviations. The zero rate's:
// as the random book's with r = 0.
//
// NODES (default 32) is the coarsest grid's nodes per standard deviation; its
// time steps are three times that. The estimated error of a value is a third
// of the change between the two extrapolations, in the tests' error measure
// |v - price| / max(price, 0.005 k). The book (300 rows) takes about two
// minutes on the loaded development machine.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "pricing/american/grid/grid_model.hpp"
#include "pricing/american/integral/integral_model.hpp"
#include "pricing/dividends/dividend_grid.hpp"
#include "pricing/european/european.hpp"

namespace {

using namespace varnelle;
namespace dg = varnelle::dividend_grid;

struct Row {
    double s, k, t, r, q, sigma;
    OptionType type;
};

struct Estimate {
    double value, error;
};

Estimate price(const Row& row, double nodes) {
    const dg::Problem p{row.t, row.r, row.q, row.sigma, row.type, true, nullptr, 0};
    const double x0 = std::log(row.s / row.k);
    const dg::Resolution res{nodes, static_cast<std::size_t>(3.0 * nodes), 10.0,
                             static_cast<std::size_t>(2000.0 * nodes)};
    dg::Plan plan = dg::plan(p, x0, x0, res);
    dg::Workspace work;
    dg::Field field;
    double level[3];
    for (double& value : level) {
        dg::solve(p, plan, work, field);
        const dg::Reading reading = dg::read(p, field, x0);
        const double intrinsic =
            std::max(row.type == OptionType::Put ? 1.0 - row.s / row.k : row.s / row.k - 1.0, 0.0);
        value = reading.exercised ? intrinsic : reading.v;
        plan = dg::refined(plan);
    }
    const double r1 = level[1] + (level[1] - level[0]) / 3.0;
    const double r2 = level[2] + (level[2] - level[1]) / 3.0;
    const double value = row.k * r2;
    return {value, row.k * std::fabs(r2 - r1) / 3.0 / std::max(value, 0.005 * row.k)};
}

std::vector<Row> random_rows(std::size_t count) {
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    std::vector<Row> rows;
    for (std::size_t i = 0; i < count; ++i) {
        const double r = -0.02 * unit(rng);
        const double q = r - 0.05 * unit(rng);
        const double sigma = uniform(0.05, 0.6);
        const double t = std::exp(uniform(std::log(7.0 / 365.0), std::log(10.0)));
        const double z = uniform(-3.0, 3.0);
        // A put of spot s and strike 100, or the call it is the image of (spot
        // and strike swapped, r and q swapped), drawn with its own moneyness.
        const double s = 100.0 * std::exp(z * sigma * std::sqrt(t));
        if (i % 2 == 0) {
            rows.push_back({s, 100.0, t, r, q, sigma, OptionType::Put});
        } else {
            rows.push_back({100.0 * 100.0 / s, 100.0, t, q, r, sigma, OptionType::Call});
        }
    }
    return rows;
}

// Puts at r = 0 (and their calls), where the lower boundary is 0: the
// region is [0, B(tau)] and never closes.
std::vector<Row> zero_rate_rows(std::size_t count) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    std::vector<Row> rows;
    for (std::size_t i = 0; i < count; ++i) {
        const double q = -0.05 * unit(rng);
        const double sigma = uniform(0.05, 0.6);
        const double t = std::exp(uniform(std::log(7.0 / 365.0), std::log(10.0)));
        const double s = 100.0 * std::exp(uniform(-3.0, 3.0) * sigma * std::sqrt(t));
        if (i % 2 == 0) {
            rows.push_back({s, 100.0, t, 0.0, q, sigma, OptionType::Put});
        } else {
            rows.push_back({100.0 * 100.0 / s, 100.0, t, q, 0.0, sigma, OptionType::Call});
        }
    }
    return rows;
}

std::vector<Row> currency_rows(std::size_t count) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    std::vector<Row> rows;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = std::exp(uniform(std::log(7.0 / 365.0), std::log(3.0)));
        const double sigma = uniform(0.05, 0.2);
        const double s = 100.0 * std::exp(uniform(-1.5, 1.5) * sigma * std::sqrt(t));
        rows.push_back({s, 100.0, t, -0.001, -0.005, sigma, OptionType::Put});
    }
    return rows;
}

int book(double nodes) {
    const auto start = std::chrono::steady_clock::now();
    nlohmann::json out;
    for (const auto& [name, rows] : {std::pair{"random", random_rows(200)}, std::pair{"currency", currency_rows(60)},
                                     std::pair{"zero rate", zero_rate_rows(40)}}) {
        std::size_t index = 0;
        for (const Row& row : rows) {
            const Estimate e = price(row, nodes);
            out["rows"].push_back({{"book", name},
                                   {"s", row.s},
                                   {"k", row.k},
                                   {"t", row.t},
                                   {"r", row.r},
                                   {"q", row.q},
                                   {"sigma", row.sigma},
                                   {"option_type", row.type == OptionType::Put ? "put" : "call"},
                                   {"price", e.value},
                                   {"error", e.error},
                                   {"european", european_price({row.s, row.k, row.t, row.r, row.sigma, row.q}, row.type)}});
            std::fprintf(stderr, "%s %3zu  %.10f (%.1e)\n", name, index++, e.value, e.error);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out["meta"] = {
        {"error_metric", "|v - price| / max(price, 0.005 k)"},
        {"how", "bench/double_boundary_reference.cpp draws the rows and prices them: finite differences in ln S "
                "(dividends/dividend_grid with no dividend), BDF2, exercise by policy iteration, on three grids (" +
                    std::to_string(static_cast<int>(nodes)) +
                    ", twice and four times as many nodes per standard deviation, three times as many steps) "
                    "extrapolated twice; error estimates each price's error in the error metric"},
        {"seconds", std::round(seconds)},
    };
    std::cout << out.dump(1) << "\n";
    return 0;
}

// Broadie and Detemple's binomial tree: Cox-Ross-Rubinstein with the
// Black-Scholes value at the last step, the payoff taken at every node, so it
// knows nothing of how many boundaries there are.
double bbs_tree(const Row& in, int n) {
    const double dt = in.t / n;
    const double u = std::exp(in.sigma * std::sqrt(dt));
    const double d = 1.0 / u;
    const double p = (std::exp((in.r - in.q) * dt) - d) / (u - d);
    const double disc = std::exp(-in.r * dt);
    const auto payoff = [&](double s) { return std::max(in.type == OptionType::Call ? s - in.k : in.k - s, 0.0); };
    std::vector<double> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double s = in.s * std::pow(u, 2 * i - (n - 1));
        const double euro = european_price({s, in.k, dt, in.r, in.sigma, in.q}, in.type);
        v[static_cast<std::size_t>(i)] = std::max(euro, payoff(s));
    }
    for (int step = n - 2; step >= 0; --step) {
        const double s0 = in.s * std::pow(u, -step);
        double s = s0;
        for (int i = 0; i <= step; ++i) {
            const auto j = static_cast<std::size_t>(i);
            v[j] = std::max(disc * (p * v[j + 1] + (1.0 - p) * v[j]), payoff(s));
            s *= u * u;
        }
    }
    return v[0];
}

int tree(const char* path, int steps) {
    std::ifstream file(path);
    const auto data = nlohmann::json::parse(file);
    std::vector<double> differences;
    for (std::size_t i = 0; i < data["rows"].size(); i += 10) {
        const auto& j = data["rows"][i];
        const Row row{j["s"], j["k"], j["t"], j["r"], j["q"], j["sigma"],
                      j["option_type"] == "put" ? OptionType::Put : OptionType::Call};
        const double value = 2.0 * bbs_tree(row, steps) - bbs_tree(row, steps / 2);
        const double reference = j["price"];
        const double difference = std::fabs(value - reference) / std::max(reference, 0.005 * row.k);
        differences.push_back(difference);
        std::printf("%3zu %-4s t %7.4f sigma %.3f  tree %.10f  book %.10f  difference %8.1e\n", i,
                    row.type == OptionType::Put ? "put" : "call", row.t, row.sigma, value, reference, difference);
        std::fflush(stdout);
    }
    std::sort(differences.begin(), differences.end());
    std::printf("%zu rows, median %.1e, max %.1e\n", differences.size(), differences[differences.size() / 2],
                differences.back());
    return 0;
}

int cost(const char* path, const std::string& name, double tol, const std::string& what) {
    std::ifstream file(path);
    const auto data = nlohmann::json::parse(file);
    std::vector<Row> rows;
    for (const auto& j : data["rows"]) {
        if (j["book"] != name) continue;
        rows.push_back({j["s"], j["k"], j["t"], j["r"], j["q"], j["sigma"],
                        j["option_type"] == "put" ? OptionType::Put : OptionType::Call});
    }
    double sum = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (const Row& row : rows) {
        const OptionInputs in{row.s, row.k, row.t, row.r, row.sigma, row.q};
        if (what == "price") sum += integral_american_price(in, row.type, tol);
        else if (what == "greeks") sum += integral_american_greeks(in, row.type, tol).vega;
        else if (what == "grid") sum += grid_american_price(in, row.type, tol);
        else sum += grid_american_greeks(in, row.type, tol).vega;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s book, %s at tol %g: %.1f us a row (checksum %.6g)\n", name.c_str(), what.c_str(), tol,
                seconds / static_cast<double>(rows.size()) * 1e6, sum);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "book") == 0) return book(argc > 2 ? std::atof(argv[2]) : 32.0);
    if (argc >= 3 && std::strcmp(argv[1], "tree") == 0) return tree(argv[2], argc > 3 ? std::atoi(argv[3]) : 16000);
    if (argc >= 6 && std::strcmp(argv[1], "cost") == 0) return cost(argv[2], argv[3], std::atof(argv[4]), argv[5]);
    std::fprintf(stderr,
                 "usage: double_boundary_reference book [NODES] | tree FILE [STEPS] | cost FILE BOOK TOL WHAT\n");
    return 2;
}
