// Cash dividends on the stored reference rows: the error against the
// reference at each tol, how many rows the quadrature route values (the rest
// go to the grid), and the microseconds a row costs with its dividends and
// without them (the integral model on the same rows), measured side by side in
// one run, alternating, in this process's CPU time, so the ratio holds on a
// loaded machine. Then a spot ladder and a strike chain through one object
// against the rows alone, and the Greeks and implied volatility against the
// price (with the implied volatility's round trip).
//
//   dividend_timing [path/to/dividend_reference.json [path/to/dividend_random_reference.json]]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "pricing/american/integral/integral_model.hpp"
#include "pricing/dividends/dividend_integral.hpp"
#include "pricing/dividends/dividend_model.hpp"
#include "pricing/european/european.hpp"

namespace {

using namespace varnelle;

struct Row {
    OptionInputs in;
    OptionType type;
    std::vector<double> times, amounts;
    double price;
};

std::vector<Row> load(const char* path, const char* part) {
    std::ifstream file(path);
    const auto data = nlohmann::json::parse(file);
    std::vector<Row> rows;
    for (const auto& r : data[part]) {
        if (r["dividend_times"].empty()) continue;
        rows.push_back({{r["s"], r["k"], r["t"], r["r"], r["sigma"], r["q"]},
                        r["option_type"] == "put" ? OptionType::Put : OptionType::Call,
                        r["dividend_times"].get<std::vector<double>>(), r["dividend_amounts"].get<std::vector<double>>(),
                        r["price"]});
    }
    return rows;
}

double cpu_microseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) * 1e-3;
}

template <class F>
double microseconds_per_row(const std::vector<Row>& rows, F&& price) {
    const double start = cpu_microseconds();
    double sink = 0.0;
    for (const Row& r : rows) sink += price(r);
    const double end = cpu_microseconds();
    if (std::isnan(sink)) std::printf("(a NaN price)\n");
    return (end - start) / static_cast<double>(rows.size());
}

// Whether the quadrature route values the row (the rest go to the grid).
bool by_quadrature(const Row& r, double tol) {
    std::vector<CashDividend> unit;
    for (std::size_t i = 0; i < r.times.size(); ++i) unit.push_back({r.times[i], r.amounts[i] / r.in.k});
    const dividend_integral::Problem p{r.in.s / r.in.k, r.in.t, r.in.r, r.in.q, r.in.sigma, r.type, true,
                                       unit.data(), unit.size(), tol};
    if (!dividend_integral::covers(p)) return false;
    IntegralAmerican dividend_free;
    dividend_integral::Solver solver;
    return solver.solve(p, dividend_free).valid;
}

void report(const char* what, std::vector<double> errors) {
    std::sort(errors.begin(), errors.end());
    const auto at = [&](double q) { return errors[static_cast<std::size_t>(q * static_cast<double>(errors.size() - 1))]; };
    std::printf("%-28s median %.1e  p99 %.1e  max %.1e\n", what, at(0.5), at(0.99), errors.back());
}

// The random book (tests/data/dividend_random_reference.json, priced by
// bench/dividend_reference.cpp): the American error at each tol.
void random_book(const char* path) {
    std::ifstream file(path);
    if (!file) return;
    const auto data = nlohmann::json::parse(file);
    for (const double tol : {1e-4, 1e-6}) {
        std::vector<double> errors;
        for (const auto& r : data["rows"]) {
            const OptionInputs in{r["s"], r["k"], r["t"], r["r"], r["sigma"], r["q"]};
            const auto times = r["dividend_times"].get<std::vector<double>>();
            const auto amounts = r["dividend_amounts"].get<std::vector<double>>();
            const double v = dividend_american_price(in, r["option_type"] == "put" ? OptionType::Put : OptionType::Call,
                                                     times.data(), amounts.data(), times.size(), tol);
            const double ref = r["american"];
            errors.push_back(std::fabs(v - ref) / std::max(ref, 0.005 * in.k));
        }
        char label[64];
        std::snprintf(label, sizeof label, "Random book, tol %.0e:", tol);
        report(label, errors);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "tests/data/dividend_reference.json";
    const std::vector<Row> american = load(path, "american");
    const std::vector<Row> european = load(path, "european");
    const auto error = [](const Row& r, double v) { return std::fabs(v - r.price) / std::max(r.price, 0.005 * r.in.k); };
    std::printf("%zu American and %zu European rows with dividends\n", american.size(), european.size());
    for (const double tol : {1e-4, 1e-6, 1e-8}) {
        std::vector<double> errors;
        for (const Row& r : american) {
            errors.push_back(error(r, dividend_american_price(r.in, r.type, r.times.data(), r.amounts.data(),
                                                              r.times.size(), tol)));
        }
        char label[64];
        std::snprintf(label, sizeof label, "American, tol %.0e:", tol);
        report(label, errors);
        std::size_t quadrature = 0;
        for (const Row& r : american) quadrature += by_quadrature(r, tol) ? 1u : 0u;
        std::printf("  %zu rows by quadrature, %zu by the grid\n", quadrature, american.size() - quadrature);
    }
    std::vector<double> errors;
    for (const Row& r : european) {
        errors.push_back(error(r, dividend_european_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size())));
    }
    report("European:", errors);
    random_book(argc > 2 ? argv[2] : "tests/data/dividend_random_reference.json");

    constexpr int kRounds = 3;
    for (const double tol : {1e-4, 1e-6}) {
        double with = 0.0, without = 0.0, euro = 0.0;
        for (int round = 0; round < kRounds; ++round) {
            with += microseconds_per_row(american, [&](const Row& r) {
                return dividend_american_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol);
            });
            without += microseconds_per_row(american, [&](const Row& r) { return integral_american_price(r.in, r.type, tol); });
            euro += microseconds_per_row(american, [&](const Row& r) {
                return dividend_european_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size());
            });
        }
        std::printf("tol %.0e: %8.1f us a row with dividends, %6.1f without (x%.0f); European with dividends %8.1f (%.2f of the American)\n",
                    tol, with / kRounds, without / kRounds, with / without, euro / kRounds, euro / with);
    }
    // A ladder of 21 spots (0.9 to 1.1 of the row's) and a chain of 41
    // strikes (0.8 to 1.2 of the row's) through one object, per row, against
    // the row alone.
    for (const double tol : {1e-4, 1e-6}) {
        double alone = 0.0, ladder = 0.0, chain = 0.0;
        std::vector<Row> spots, strikes;
        for (const Row& r : american) {
            for (int i = 0; i <= 20; ++i) {
                spots.push_back(r);
                spots.back().in.s = r.in.s * (0.9 + 0.01 * i);
            }
            for (int i = 0; i <= 40; ++i) {
                strikes.push_back(r);
                strikes.back().in.k = r.in.k * (0.8 + 0.01 * i);
            }
        }
        DividendAmerican model;
        for (int round = 0; round < kRounds; ++round) {
            alone += microseconds_per_row(american, [&](const Row& r) {
                return dividend_american_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol);
            });
            ladder += microseconds_per_row(spots, [&](const Row& r) {
                return model.price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol);
            });
            chain += microseconds_per_row(strikes, [&](const Row& r) {
                return model.price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol);
            });
        }
        std::printf("tol %.0e: a spot ladder %.2f of the row alone, a strike chain %.2f\n", tol, ladder / alone,
                    chain / alone);
    }
    // Greeks and implied volatility against the price, side by side, with the
    // implied volatility's round trip.
    for (const double tol : {1e-4, 1e-6}) {
        std::vector<double> prices;
        for (const Row& r : american) {
            prices.push_back(dividend_american_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol));
        }
        double price = 0.0, greeks = 0.0, implied = 0.0, worst = 0.0;
        std::size_t missed = 0;
        for (int round = 0; round < kRounds; ++round) {
            price += microseconds_per_row(american, [&](const Row& r) {
                return dividend_american_price(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol);
            });
            greeks += microseconds_per_row(american, [&](const Row& r) {
                return dividend_american_greeks(r.in, r.type, r.times.data(), r.amounts.data(), r.times.size(), tol).vega;
            });
            std::size_t i = 0;
            implied += microseconds_per_row(american, [&](const Row& r) {
                const double v = dividend_american_implied_vol(prices[i++], r.in.s, r.in.k, r.in.t, r.in.r, r.in.q, r.type,
                                                               r.times.data(), r.amounts.data(), r.times.size(), tol);
                if (std::isnan(v)) ++missed; else worst = std::max(worst, std::fabs(v - r.in.sigma) / r.in.sigma);
                return 0.0;
            });
        }
        std::printf("tol %.0e: Greeks x%.1f the price, implied vol x%.1f (round trips within %.1e relative, %zu NaN)\n",
                    tol, greeks / price, implied / price, worst, missed / kRounds);
    }
    return 0;
}
