// American and European options on a stock that pays known cash dividends.
//
// Model: between ex-dates the spot follows Black-Scholes with rate r,
// continuous yield q (a borrow cost or a yield on top of the cash) and
// volatility sigma; at each ex-date it falls by the cash amount, floored at
// zero. An American holder may exercise at any time, including just before
// an ex-date. The schedule's rules are in schedule.hpp.
//
// A row whose schedule has no dividend that counts is priced by the
// dividend-free models unchanged (the integral model for the American
// functions, Black-Scholes for the European ones): the same bits.
//
// tol is the target error |v - exact| / max(exact, 0.005 k), as for the
// integral model (1e-10 .. 1e-3; NaN means 1e-6); it picks the grids.
// Units as everywhere in the library: theta per calendar day (today moves
// forward, t and every ex-time with it), vega per 1.00 of volatility, rho per
// 1 % of rate; delta and gamma with respect to today's spot.
//
// Implied volatilities are NaN where the price is outside the no-arbitrage
// bounds of the model (at or below the exercise value or the European lower
// bound, at or above the spot for a call or the strike for a put), where the
// price does not move with the volatility (the exercise region) and where no
// volatility in (1e-8, 100) reaches it.
//
// Every function takes the row's schedule as two arrays and a count, the way a
// generalized ufunc hands over a core dimension; padding entries have zero
// amounts.
#pragma once

#include <cstddef>

#include "pricing/american/integral/integral_model.hpp"
#include "pricing/core/types.hpp"
#include "pricing/dividends/dividend_grid.hpp"
#include "pricing/dividends/dividend_integral.hpp"
#include "pricing/dividends/schedule.hpp"

namespace varnelle {

double dividend_american_price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                               std::size_t n, double tol);
Greeks dividend_american_greeks(const OptionInputs& in, OptionType type, const double* times,
                                const double* amounts, std::size_t n, double tol);
double dividend_american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                                     const double* times, const double* amounts, std::size_t n, double tol);
// Today's critical spot: a put is exercised at once at or below it, a call at
// or above it; 0 (put) or +inf (call) where exercising now never pays.
double dividend_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type,
                                  const double* times, const double* amounts, std::size_t n, double tol);

double dividend_european_price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                               std::size_t n);
Greeks dividend_european_greeks(const OptionInputs& in, OptionType type, const double* times,
                                const double* amounts, std::size_t n);
double dividend_european_implied_vol(double price, double s, double k, double t, double r, double q,
                                     OptionType type, const double* times, const double* amounts, std::size_t n);

// The same operations for a run of rows, as a ufunc loop walks them. Solved
// grids are kept while rows share (t, r, q, sigma, schedule, side, strike,
// tol): the spots of a ladder are read off one solution (each spot's grid
// depends only on the bucket of width one standard deviation it falls in), and
// a row with the same inputs as the last is not solved again. Results are
// those of the single-row functions to the bit (they are this object used
// once). Not for sharing between threads.
class DividendAmerican {
public:
    double price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                 std::size_t n, double tol);
    Greeks greeks(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                  std::size_t n, double tol);
    double implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                       const double* times, const double* amounts, std::size_t n, double tol);
    double boundary(double k, double t, double r, double sigma, double q, OptionType type, const double* times,
                    const double* amounts, std::size_t n, double tol);

    double european_price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                          std::size_t n);
    Greeks european_greeks(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                           std::size_t n);
    double european_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                                const double* times, const double* amounts, std::size_t n);

    // The pair of grids a Richardson step combines, solved for one problem.
    struct Solved {
        bool valid = false;
        double k = 0.0, t = 0.0, r = 0.0, q = 0.0, sigma = 0.0, tol = 0.0, bucket = 0.0;
        OptionType type = OptionType::Call;
        bool american = false;
        DividendSchedule schedule;  // in units of the strike
        dividend_grid::Plan plan;  // the coarser grid's
        dividend_grid::Field coarse, fine;
    };

private:
    // Value (and x-derivatives) at the spot from the kept or new solution.
    dividend_grid::Reading evaluate(const OptionInputs& in, OptionType type, const DividendSchedule& scaled,
                                    bool american, double tol, Solved& slot);
    double value_of(const OptionInputs& in, OptionType type, bool american, double tol);
    Greeks greeks_of(const OptionInputs& in, OptionType type, bool american, double tol);
    // The Greeks by the integral route (dividend_integral.hpp); false where it
    // does not value the row.
    bool integral_greeks(const OptionInputs& in, OptionType type, bool american, double tol, Greeks& g);
    double implied_of(double price, const OptionInputs& in, OptionType type, bool american, double tol);

    IntegralAmerican dividend_free_;
    DividendSchedule schedule_, scaled_, bumped_schedule_;
    Solved main_, bumped_;
    dividend_grid::Workspace work_;
    dividend_integral::Solver integral_;
    std::vector<dividend_integral::PeriodBoundary> warm_;  // the unbumped periods' boundaries, for Greeks
};

}  // namespace varnelle
