// Reference prices for options on stocks paying cash dividends: the
// finite-difference solver (dividend_grid.hpp) at high resolution on three
// grids, each with twice the nodes and twice the steps of the one before,
// combined by Richardson extrapolation twice.
//
//   dividend_reference book ROWS.json [NODES]   prices the rows of
//       bench/dividend_random_book.py (American and European), writes the book
//       with prices and error estimates as JSON to standard output
//   dividend_reference check REFERENCE.json [NODES]   the same method on the
//       stored rows (tests/data/dividend_reference.json), against their prices
//   dividend_reference quadrature BOOK.json   the book's calls with q = 0 and
//       at most two dividends against an independent method: such a call is
//       exercised only just before an ex-date, so it is a sequence of European
//       problems, V(t_i-, S) = max(S - K, E[discounted V(t_i+1-) | S - D_i]),
//       valued by nested Gauss-Legendre quadrature over the normal variable of
//       each period, split where exercising starts to pay
//
// The book (300 rows, NODES = 32) takes about 12 minutes on one core of the
// loaded development machine, a few minutes on an idle one.
//
// NODES (default 32) is the coarsest grid's nodes per standard deviation of
// each period; its time steps per period are three times that.
//
// Each value is the extrapolation of the two finer grids, R2 = f2 + (f2 -
// f1) / 3; its estimated error is |R2 - R1| / 3, with R1 the extrapolation of
// the two coarser (a third of the change, as for an error of order h^3; with
// order h^4 it would be a fifteenth), in the error measure of the tests,
// divided by max(value, 0.005 k).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pricing/dividends/dividend_grid.hpp"
#include "pricing/dividends/schedule.hpp"
#include "pricing/european/european.hpp"

namespace {

using namespace varnelle;
namespace dg = varnelle::dividend_grid;

struct Estimate {
    double value, error;  // error in the tests' measure
};

struct Row {
    double s, k, t, r, q, sigma;
    OptionType type;
    std::vector<double> times, amounts;
};

Row row_of(const nlohmann::json& j) {
    return {j["s"], j["k"], j["t"], j["r"], j["q"], j["sigma"], j["option_type"] == "put" ? OptionType::Put : OptionType::Call,
            j["dividend_times"].get<std::vector<double>>(), j["dividend_amounts"].get<std::vector<double>>()};
}

Estimate price(const Row& row, bool american, double nodes) {
    DividendSchedule schedule, scaled;
    schedule.assign(row.t, row.times.data(), row.amounts.data(), row.times.size());
    schedule.scaled(row.k, scaled);
    const dg::Problem p{row.t, row.r, row.q, row.sigma, row.type, american, scaled.items().data(), scaled.size()};
    const double x0 = std::log(row.s / row.k);
    const dg::Resolution res{nodes, static_cast<std::size_t>(3.0 * nodes), 10.0, static_cast<std::size_t>(2000.0 * nodes)};
    dg::Plan plan = dg::plan(p, x0, x0, res);
    dg::Workspace work;
    dg::Field field;
    double level[3];
    for (double& value : level) {
        dg::solve(p, plan, work, field);
        const dg::Reading reading = dg::read(p, field, x0);
        const double intrinsic = std::max(row.type == OptionType::Put ? 1.0 - row.s / row.k : row.s / row.k - 1.0, 0.0);
        value = reading.exercised ? intrinsic : reading.v;
        plan = dg::refined(plan);
    }
    const double r1 = level[1] + (level[1] - level[0]) / 3.0;
    const double r2 = level[2] + (level[2] - level[1]) / 3.0;
    const double value = row.k * r2;
    const double error = row.k * std::fabs(r2 - r1) / 3.0 / std::max(value, 0.005 * row.k);
    return {value, error};
}

double scaled_error(double value, double reference, double k) {
    return std::fabs(value - reference) / std::max(reference, 0.005 * k);
}

int check(const char* path, double nodes) {
    std::ifstream file(path);
    const auto data = nlohmann::json::parse(file);
    for (const char* part : {"american", "european"}) {
        std::vector<double> errors;
        std::size_t index = 0;
        for (const auto& j : data[part]) {
            const std::size_t i = index++;
            if (j["dividend_times"].empty()) continue;
            const Row row = row_of(j);
            const auto start = std::chrono::steady_clock::now();
            const Estimate e = price(row, std::strcmp(part, "american") == 0, nodes);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double error = scaled_error(e.value, j["price"], row.k);
            errors.push_back(error);
            std::printf("%s %3zu  %-4s days %4d  value %.10f  stored %.10f  error %8.1e  estimate %8.1e  %6.2f s\n",
                        part, i, row.type == OptionType::Put ? "put" : "call", j["days"].get<int>(), e.value,
                        j["price"].get<double>(), error, e.error, seconds);
            std::fflush(stdout);
        }
        if (errors.empty()) continue;  // a file of one part only
        std::sort(errors.begin(), errors.end());
        std::printf("%s: %zu rows, median %.1e, max %.1e\n", part, errors.size(), errors[errors.size() / 2],
                    errors.back());
    }
    return 0;
}

int book(const char* path, double nodes) {
    std::ifstream file(path);
    auto data = nlohmann::json::parse(file);
    const auto start = std::chrono::steady_clock::now();
    std::size_t index = 0;
    for (auto& j : data["rows"]) {
        const Row row = row_of(j);
        const Estimate a = price(row, true, nodes);
        const Estimate e = price(row, false, nodes);
        j["american"] = a.value;
        j["american_error"] = a.error;
        j["european"] = e.value;
        j["european_error"] = e.error;
        std::fprintf(stderr, "%3zu  american %.10f (%.1e)  european %.10f (%.1e)\n", index++, a.value, a.error,
                     e.value, e.error);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    data["meta"] = {
        {"model", "spot falls by each cash amount on its ex-date, floored at zero; Black-Scholes with r, q, sigma between"},
        {"times", "years = whole days / 365; days and dividend_days give the same dates as integers"},
        {"error_metric", "|v - price| / max(price, 0.005 k)"},
        {"how", "bench/dividend_random_book.py draws the rows; bench/dividend_reference.cpp prices them: finite "
                "differences in ln S with a mesh per period between ex-dates, cell-averaged jump data, BDF2, "
                "exercise by policy iteration, on three grids (" +
                    std::to_string(static_cast<int>(nodes)) +
                    ", twice and four times as many nodes per standard deviation of each period, three times as "
                    "many steps per period) extrapolated twice; american_error and european_error estimate each "
                    "value's error in the error metric"},
        {"seconds", std::round(seconds)},
    };
    std::cout << data.dump(1) << "\n";
    return 0;
}

// The call with q = 0 as nested European problems (see the header).
struct NestedCall {
    double k, t, r, sigma;
    std::vector<double> times, amounts;
    bool american;

    // The value at time `from` (just after the ex-date before dividend i)
    // with the spot at s.
    double value(std::size_t i, double from, double s) const {
        if (s <= 0.0) return 0.0;
        if (i == times.size()) return european_price({s, k, t - from, r, sigma, 0.0}, OptionType::Call);
        const double span = times[i] - from;
        const double sd = sigma * std::sqrt(span);
        const double drift = (r - 0.5 * sigma * sigma) * span;
        const auto spot = [&](double z) { return s * std::exp(drift + sd * z); };
        const auto held = [&](double z) { return value(i + 1, times[i], spot(z) - amounts[i]); };
        const auto payoff = [&](double z) {
            const double h = held(z);
            return american ? std::max(spot(z) - k, h) : h;
        };
        const auto gain = [&](double z) { return spot(z) - k - held(z); };
        const auto density = [](double z) { return std::exp(-0.5 * z * z) * 0.3989422804014327; };
        // Eight-point Gauss-Legendre on panels of z in [-10, 10].
        static constexpr double kX[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
        static constexpr double kW[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
        const auto panel = [&](double a, double b) {
            const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
            double sum = 0.0;
            for (int m = 0; m < 4; ++m) {
                for (const double sign : {-1.0, 1.0}) {
                    const double z = mid + sign * half * kX[m];
                    sum += kW[m] * payoff(z) * density(z);
                }
            }
            return half * sum;
        };
        constexpr int kPanels = 64;
        double total = 0.0;
        double a = -10.0;
        double gain_a = american ? gain(a) : 0.0;
        for (int m = 1; m <= kPanels; ++m) {
            const double b = -10.0 + 20.0 * m / kPanels;
            const double gain_b = american ? gain(b) : 0.0;
            if (american && (gain_a > 0.0) != (gain_b > 0.0)) {
                double lo = a, hi = b;
                for (int it = 0; it < 60; ++it) {
                    const double c = 0.5 * (lo + hi);
                    if ((gain(c) > 0.0) == (gain_a > 0.0)) lo = c; else hi = c;
                }
                total += panel(a, lo) + panel(lo, b);
            } else {
                total += panel(a, b);
            }
            a = b;
            gain_a = gain_b;
        }
        return std::exp(-r * span) * total;
    }
};

int quadrature(const char* path) {
    std::ifstream file(path);
    const auto data = nlohmann::json::parse(file);
    std::vector<double> errors;
    std::size_t index = 0;
    for (const auto& j : data["rows"]) {
        const std::size_t i = index++;
        const Row row = row_of(j);
        if (row.type != OptionType::Call || row.q != 0.0 || row.times.size() > 2) continue;
        for (const bool american : {true, false}) {
            const NestedCall call{row.k, row.t, row.r, row.sigma, row.times, row.amounts, american};
            const double v = call.value(0, 0.0, row.s);
            const double reference = j[american ? "american" : "european"];
            const double error = scaled_error(reference, v, row.k);
            errors.push_back(error);
            std::printf("%3zu %s dividends %zu quadrature %.10f book %.10f difference %8.1e\n", i,
                        american ? "American" : "European", row.times.size(), v, reference, error);
        }
    }
    std::sort(errors.begin(), errors.end());
    std::printf("%zu values, median %.1e, max %.1e\n", errors.size(), errors[errors.size() / 2], errors.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dividend_reference book|check FILE [NODES]\n");
        return 2;
    }
    const double nodes = argc > 3 ? std::atof(argv[3]) : 32.0;
    if (std::strcmp(argv[1], "check") == 0) return check(argv[2], nodes);
    if (std::strcmp(argv[1], "quadrature") == 0) return quadrature(argv[2]);
    return book(argv[2], nodes);
}
