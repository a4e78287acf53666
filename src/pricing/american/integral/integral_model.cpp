#include "pricing/american/integral/integral_model.hpp"

#include <cfloat>
#include <cmath>

#include "pricing/american/bounds.hpp"
#include "pricing/american/greeks.hpp"
#include "pricing/american/grid/grid_model.hpp"
#include "pricing/american/perpetual.hpp"
#include "pricing/american/put_side.hpp"
#include "pricing/core/cancellation.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/math/normal_array.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle {
namespace {

namespace na = normal_array;

// Largest relative move of the boundary in the last iteration that counts as
// settled: damped oscillations of the smooth-pasting form on the reference book
// end well below it, divergent ones far above.
constexpr double kUnsettledStep = 1e-2;

// The longest life the schemes' choice was measured on (the reference book
// and the tuning grids reach ten years).
constexpr double kTunedLife = 10.0;

// Vega and rho difference the model's own prices: a relative step in sigma
// (central) and an absolute step in the option's rate (forward).
constexpr double kVolBump = 1e-4;
constexpr double kRateStep = 1e-7;
// The deterministic value's rho: a central difference over +-kRateBump.
constexpr double kRateBump = 1e-5;

// Implied volatility: the relative change of sigma at which the secant stops,
// the mismatch of the price still counted as a root, and the most prices it
// evaluates.
constexpr double kVolResolution = 1e-12;
constexpr double kPriceResolution = 1e-9;
constexpr int kMostEvaluations = 30;
// Where the grid answers the row (two boundaries that close), its price moves
// with sigma in small steps as its meshes change (their node counts and
// steps are whole numbers), by up to about a tenth of tol in the model's
// error unit max(v, 0.005 k): a secant hunting for 1e-9 of the price took
// up to 30 grid prices and on 8 of the 84 such rows of the two-boundary book
// found no sigma at all (NaN for the model's own price). There a sigma whose
// price is within kGridPriceShare tol of the target is the answer (it adds
// that share to the error), sigma is resolved to kGridVolResolution (which
// moves the price by far less), and where the search closes in on a step
// that straddles the target, its point is the answer when the step is within
// the grid's own accuracy (kGridTolShare tol).
constexpr double kGridPriceShare = 1e-2;
constexpr double kGridVolResolution = 1e-9;

// Below this spread of ln S over the life the volatility moves no price by a
// representable amount (at most about 0.4 sigma sqrt(t) of the spot): the
// value is the deterministic one. Smaller volatilities would also overflow
// omega^2 in the boundary's start.
constexpr double kNoSpread = 1e-18;

// What a regime may leave, as a fraction of tol in the model's error unit
// 0.005 k: far inside the target, so no book sees the switch.
constexpr double kNegligible = 1e-3 * 0.005;

// Below this spread of ln S the boundary is X to the last bit (and solving
// for it would underflow H = ln(B / X)^2).
constexpr double kNoBoundarySpread = 1e-60;

// Early exercise of a put is worth at most (r+ + q-) k t max(1, e^(-rt)): the
// exercised position earns r on the strike and, with q < 0, is paid the yield
// on the short stock, and the share term of the premium integrand is worth at
// most k e^(-ru) at every u.
double premium_bound(double t, double r, double q) {
    const double rate = (r > 0.0 ? r : 0.0) + (q < 0.0 ? -q : 0.0);
    return rate * t * std::fmax(1.0, std::exp(-r * t));
}

// Which way a put is valued.
enum class Regime {
    Expired,         // t <= 0: the payoff
    Deterministic,   // no spread: the best discounted intrinsic value
    European,        // early exercise never pays: r <= 0 and r <= q
    ShortLived,      // early exercise worth less than kNegligible tol: max(European, intrinsic)
    Perpetual,       // the life is long enough that the perpetual put is within kNegligible tol
    DoubleBoundary,  // q < r <= 0: exercise between two boundaries (at r = 0 the
                     // lower one is 0, but the iteration needs r > 0)
    SingleBoundary,  // r > 0
};

Regime regime(double t, double r, double q, double sigma, double tol) {
    if (t <= 0.0) return Regime::Expired;
    if (sigma == 0.0 || sigma * std::sqrt(t) < kNoSpread) return Regime::Deterministic;
    if (r <= 0.0 && r <= q) return Regime::European;
    if (premium_bound(t, r, q) <= kNegligible * tol) return Regime::ShortLived;
    if (r >= 0.0 && perpetual_put(r, q, sigma).within(t, r, q, sigma, kNegligible * tol)) return Regime::Perpetual;
    if (r <= 0.0) return Regime::DoubleBoundary;
    return Regime::SingleBoundary;
}

// At r = 0 the perpetual put (when the spot drifts up) still bounds a
// two-boundary row's value v of the put p.
double below_perpetual(const OptionInputs& p, double sigma, double v) {
    if (p.r < 0.0 || p.k == 0.0) return v;
    const PerpetualPut perpetual = perpetual_put(p.r, p.q, sigma);
    return perpetual.exists ? std::fmin(v, p.k * perpetual.value(p.s / p.k)) : v;
}

// Whether the option is exercised at once: the spot between the critical
// spots of both ends, compared as the reported boundary is (in the option's
// own units), so that a spot at it gets the intrinsic value exactly. A put is
// exercised for k Y <= s <= k B, a call for k / B <= s <= k / Y.
bool in_region(const OptionInputs& in, const DoubleBoundary& region, OptionType type) {
    if (!at_or_past(in.s, critical_spot_from_put(in.k, region.upper_now, type), type)) return false;
    if (!region.has_lower) return true;
    const double far = critical_spot_from_put(in.k, region.lower_now, type);
    return type == OptionType::Put ? in.s >= far : in.s <= far;
}

// The put with q < r <= 0 may be exercised between two boundaries
// (double_boundary.hpp). Where that solve cannot follow the region over the
// life (the boundaries meet within it or soon after), the finite-difference
// solver (american/grid/grid_model.hpp) answers the row, more slowly: its
// price and its Greeks (which solve the price themselves; the price is not
// solved a second time for them).
//
// The grid is asked for a quarter of tol: on the rows it answers (the
// boundaries meet within the life or soon after it) its error reaches a few
// times tol (on the random two-boundary book of the tests, 1.5e-4 at tol 1e-4,
// 4e-5 when asked for tol / 4). Its grids stop growing at tol 4e-7, and its
// cost is capped by its budget of node-steps, so the cost stays bounded.
constexpr double kGridTolShare = 0.25;

double grid_double_boundary_price(const OptionInputs& option, OptionType type, double tol) {
    return below_perpetual(as_put(option, type), option.sigma,
                           grid_american_price(option, type, kGridTolShare * tol));
}

// The European put of strike 1 at spot x.
double european_unit_put(double x, double t, double r, double q, double sigma) {
    // A spot of nothing against the strike: the discounted strike (the
    // vectorised normal has no infinite arguments).
    if (x == 0.0) return std::exp(-r * t);
    const double v = sigma * std::sqrt(t);
    const double dm = (std::log(x) + (r - q - 0.5 * sigma * sigma) * t) / v;
    return std::exp(-r * t) * na::cdf(-dm) - x * (std::exp(-q * t) * na::cdf(-(dm + v)));
}

// factor * value, where a product past the largest double (a discount factor
// e^(-rt) of a negative rate over centuries) stays the largest double: finite
// inputs give finite results.
double saturated(double factor, double value) {
    if (value == 0.0) return 0.0;
    const double product = factor * value;
    return std::isinf(product) ? std::copysign(DBL_MAX, product) : product;
}

// The European value and Greeks where early exercise never pays. A negative
// rate over centuries overflows e^(-rt); every term is e^(-rt) times the same
// term at rate 0 and yield q - r (the forward's law depends on r - q alone,
// and so does everything but the discount), so those rows are taken that way
// with the products saturated.
double european_put_value(const OptionInputs& p) {
    if (p.k == 0.0) return 0.0;
    const double x = p.s / p.k;
    const double v = p.k * european_unit_put(x, p.t, p.r, p.q, p.sigma);
    if (std::isfinite(v)) return v;
    return saturated(std::exp(-p.r * p.t), p.k * european_unit_put(x, p.t, 0.0, p.q - p.r, p.sigma));
}

Greeks european_greeks(const OptionInputs& in, OptionType type) {
    const Greeks g = black_scholes_greeks(in, type);
    if (std::isfinite(g.delta) && std::isfinite(g.gamma) && std::isfinite(g.theta) && std::isfinite(g.vega) &&
        std::isfinite(g.rho)) {
        return g;
    }
    const double x = in.s / in.k;
    if (x == 0.0 || std::isinf(x)) {
        // One side of the payoff is out of reach: the option is a discounted
        // strike less a forward (or worth nothing), linear in the spot, with
        // no gamma or vega; rho moves the strike's discounting alone.
        const bool held = (type == OptionType::Put) == (x == 0.0);
        if (!held) return {0.0, 0.0, 0.0, 0.0, 0.0};
        const double strike = saturated(std::exp(-in.r * in.t), in.k);
        const double forward_value = saturated(std::exp(-in.q * in.t), in.s);
        const double value = type == OptionType::Put ? strike - forward_value : forward_value - strike;
        const double delta = type == OptionType::Put ? -std::exp(-in.q * in.t) : std::exp(-in.q * in.t);
        const double rho = (type == OptionType::Put ? -in.t : in.t) * strike / 100.0;
        return {delta, 0.0, theta_from_equation(in, value, delta, 0.0), 0.0, rho};
    }
    const OptionInputs forward{in.s, in.k, in.t, 0.0, in.sigma, in.q - in.r};
    const Greeks f = black_scholes_greeks(forward, type);
    const double value = european_price(forward, type);
    const double discount = std::exp(-in.r * in.t);
    const double theta = theta_from_equation(in, value, f.delta, f.gamma);
    return {saturated(discount, f.delta), saturated(discount, f.gamma), saturated(discount, theta),
            saturated(discount, f.vega), saturated(discount, f.rho)};
}

// The discretisation for a boundary, from tol and the put's parameters only
// (never the spot, so Greeks and chains see one smooth function of the spot).
// The smooth-pasting form is about ten times more accurate for the same work
// but its iteration settles slowly, or not at all, when the drift dominates
// the volatility (omega = 2 (r - q) / sigma^2 large) and when the boundary
// moves far over the option's life (r t large); the value-matching form is
// stable there but needs more nodes. The figures were chosen on the stored
// reference book and on a grid of t 0.5-10, sigma 5-80 %, r 1-10 %, q 0-6 %
// with spots from the boundary to 1.6 K (error measured as for tol), with
// about a factor 2 to spare where that was reached. At tol 1e-6 a scan of the
// drift-dominated corner (sigma 5-20 %, t 0.5-10, r 2-10 %, q 0-4 %, omega >=
// 4, spots +-3 sd) against a 32-node, 48-iteration solve found the
// smooth-pasting form up to 4.6e-6 off at omega 5-6 with r t 0.3-0.5, and
// the 20-node value-matching one 1.2e-6 off at omega 8-10: those rows take
// the next scheme up (largest error 8.1e-7 there).
IntegralScheme choose_scheme(double t, double r, double q, double sigma, double tol) {
    constexpr BoundaryForm kSmoothPasting = BoundaryForm::SmoothPasting;
    constexpr BoundaryForm kValueMatching = BoundaryForm::ValueMatching;
    const double omega = 2.0 * (r - q) / (sigma * sigma);
    const double rt = r * t;
    const bool calm = omega < 6.0 && rt < 0.2;
    const bool settles = (omega < 2.0 && rt < 2.0) || (omega < 4.0 && rt < 0.5);
    if (tol >= 1e-4) {
        // Most rows of a book are calm, and the calmest (omega < 3) keep the
        // error below ~5e-5 with five nodes and four inner points; the
        // value-matching rows with a strong drift (omega >= 10; sigma 5 %,
        // r 10 %, t 10 is the boundary's slowest corner) needed 16 nodes to
        // get below 5e-5 (12 left 1.2e-4) and take them at every r t: a
        // switch in t from 12 nodes to 16 let the price fall by 4.5e-5 with
        // more time; the other value-matching rows
        // (a few % of a book but a quarter of its work at 12 nodes and 12
        // inner points) lose nothing with 8 inner points. Calm rows with
        // omega 5-6 left up to 8e-5 with six nodes and take the settling
        // rows' scheme.
        if (omega < 3.0 && rt < 0.2) {
            return {.nodes = 5, .inner_points = 4, .iterations = 2, .price_points = 12, .form = kSmoothPasting};
        }
        if (omega < 5.0 && rt < 0.2) {
            return {.nodes = 6, .inner_points = 6, .iterations = 2, .price_points = 12, .form = kSmoothPasting};
        }
        if (calm || settles) {
            return {.nodes = 7, .inner_points = 6, .iterations = 3, .price_points = 14, .form = kSmoothPasting};
        }
        if (omega >= 10.0) {
            return {.nodes = 16, .inner_points = 16, .iterations = 8, .price_points = 32, .form = kValueMatching};
        }
        return {.nodes = 12, .inner_points = 8, .iterations = 6, .price_points = 24, .form = kValueMatching};
    }
    if (tol >= 1e-5) {
        if (calm) {
            return {.nodes = 8, .inner_points = 12, .iterations = 4, .price_points = 24, .form = kSmoothPasting};
        }
        if (settles) {
            return {.nodes = 16, .inner_points = 24, .iterations = 6, .price_points = 48, .form = kSmoothPasting};
        }
        return {.nodes = 20, .inner_points = 24, .iterations = 12, .price_points = 48, .form = kValueMatching};
    }
    if (tol >= 1e-6) {
        if (calm) {
            return {.nodes = 12, .inner_points = 16, .iterations = 5, .price_points = 32, .form = kSmoothPasting};
        }
        if (settles) {
            return {.nodes = 16, .inner_points = 24, .iterations = 6, .price_points = 48, .form = kSmoothPasting};
        }
        // Where the drift nears omega = 4 over a long life (r t 0.5-1) the
        // smooth-pasting form settles but lands 1e-6 to 2e-6 off (at-the-money
        // puts, r 8 %, sigma 20 %, t 7-10): those rows take the value-matching
        // form below.
        if ((omega < 3.5 && rt < 1.0) || (omega < 5.0 && rt < 0.5) || (omega < 6.0 && rt < 0.3)) {
            return {.nodes = 16, .inner_points = 24, .iterations = 8, .price_points = 48, .form = kSmoothPasting};
        }
        if (omega < 8.0) {
            return {.nodes = 20, .inner_points = 24, .iterations = 12, .price_points = 48, .form = kValueMatching};
        }
        return {.nodes = 24, .inner_points = 32, .iterations = 16, .price_points = 64, .form = kValueMatching};
    }
    if (tol >= 1e-8) {
        if (calm) {
            return {.nodes = 24, .inner_points = 48, .iterations = 10, .price_points = 96, .form = kSmoothPasting};
        }
        return {.nodes = 32, .inner_points = 64, .iterations = 16, .price_points = 96, .form = kValueMatching};
    }
    if (calm) return {.nodes = 32, .inner_points = 64, .iterations = 16, .price_points = 96, .form = kSmoothPasting};
    return {.nodes = 32, .inner_points = 64, .iterations = 24, .price_points = 96, .form = kValueMatching};
}

// The stable form with as many points, for when the smooth-pasting iteration
// has not settled.
IntegralScheme value_matching(const IntegralScheme& s) {
    const auto capped = [](std::size_t v, std::size_t most) { return v < most ? v : most; };
    return {.nodes = capped(s.nodes + s.nodes / 2, kMaxBoundaryNodes),
            .inner_points = capped(2 * s.inner_points, kMaxInnerPoints),
            .iterations = s.iterations + 4,
            .price_points = capped(2 * s.price_points, kMaxPricePoints),
            .form = BoundaryForm::ValueMatching};
}

}  // namespace

const PutBoundary& IntegralAmerican::put_boundary(Solved& solved, double t, double r, double q, double sigma,
                                                  double tol) {
    // Bit equality of every parameter: a boundary is reused only when solving
    // it again would give exactly the same numbers.
    PutBoundary& boundary = solved.boundary;
    if (solved.valid && boundary.t == t && boundary.r == r && boundary.q == q && boundary.sigma == sigma &&
        solved.tol == tol) {
        return boundary;
    }
    solved.valid = false;
    IntegralScheme& scheme = solved.scheme;
    scheme = choose_scheme(t, r, q, sigma, tol);
    solve_put_boundary(t, r, q, sigma, scheme, boundary);
    // The last step of a settled iteration moves the boundary by far less than
    // tol; one that still moves by more is oscillating. Past the lives the
    // coarsest schemes (tol >= 1e-4) were tuned on, a boundary still moving
    // by more than tol is not taken either: over decades their few steps stop
    // short (7 nodes left a 77-year put's boundary 1e-3 low, the price 1e-4
    // off). Within those lives the test would only cost: it holds on
    // rows that are within tol all the same.
    const double unsettled = tol >= 1e-4 && t > kTunedLife ? std::fmin(kUnsettledStep, tol) : kUnsettledStep;
    if (scheme.form == BoundaryForm::SmoothPasting && !(boundary.last_step <= unsettled)) {
        scheme = value_matching(scheme);
        solve_put_boundary(t, r, q, sigma, scheme, boundary);
    }
    solved.tol = tol;
    solved.valid = true;
    return boundary;
}

const DoubleBoundary& IntegralAmerican::double_region(Solved& solved, double t, double r, double q, double sigma,
                                                      double tol) {
    DoubleBoundary& region = solved.region;
    if (solved.region_valid && region.t == t && region.r == r && region.q == q && region.sigma == sigma &&
        solved.region_tol == tol) {
        return region;
    }
    solve_double_boundary(t, r, q, sigma, double_boundary_scheme(tol), region);
    solved.region_tol = tol;
    solved.region_valid = true;
    return region;
}

double IntegralAmerican::price(const OptionInputs& in, OptionType type, double tol) {
    return price_with(solved_, in, type, tol);
}

double IntegralAmerican::price_with(Solved& solved, const OptionInputs& in, OptionType type, double tol) {
    if (any_nan(in)) return kNaN;
    if (in.s < 0.0 || in.k < 0.0 || in.sigma < 0.0) return kNaN;
    const OptionInputs p = as_put(in, type);
    // A put whose spot is infinitely far above its strike is worthless.
    if (std::isinf(p.s)) return std::isinf(p.k) ? kNaN : 0.0;
    const double intrinsic = p.k > p.s ? p.k - p.s : 0.0;
    switch (regime(in.t, p.r, p.q, in.sigma, tol)) {
        case Regime::Expired:
            return intrinsic;
        case Regime::Deterministic:
            return deterministic_american_put(p.s, p.k, in.t, p.r, p.q);
        case Regime::European:
            return european_put_value(p);
        case Regime::ShortLived:
            return std::fmax(intrinsic, european_put_value(p));
        case Regime::Perpetual: {
            const PerpetualPut perpetual = perpetual_put(p.r, p.q, in.sigma);
            return p.s <= p.k * perpetual.boundary ? intrinsic : p.k * perpetual.value(p.s / p.k);
        }
        case Regime::DoubleBoundary: {
            if (p.k == 0.0) return 0.0;
            const DoubleBoundary& region = double_region(solved, in.t, p.r, p.q, in.sigma, tol);
            if (!region.holds) return grid_double_boundary_price(in, type, tol);
            if (in_region(in, region, type)) return intrinsic;
            return below_perpetual(p, in.sigma, std::fmax(intrinsic, p.k * double_put_price(region, p.s / p.k)));
        }
        case Regime::SingleBoundary:
            break;
    }
    if (p.k == 0.0) return 0.0;
    const PutBoundary& b = put_boundary(solved, in.t, p.r, p.q, in.sigma, tol);
    // The same comparison as the critical spot that boundary() reports, so a
    // spot at that boundary gets the intrinsic value exactly.
    if (at_or_past(in.s, critical_spot_from_put(in.k, b.now, type), type)) return intrinsic;
    // No finite life is worth more than the perpetual put, nor less than it
    // by more than its shortfall; over long lives the quadrature may stray
    // past either.
    const double x = p.s / p.k;
    const PerpetualPut perpetual = perpetual_put(p.r, p.q, in.sigma);
    const double limit = perpetual.value(x);
    const double floor = limit - perpetual.shortfall(in.t, p.r, p.q, in.sigma);
    return p.k * std::fmin(std::fmax(put_price_from_boundary(b, x), floor), limit);
}

double IntegralAmerican::implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                                     double tol) {
    if (!std::isfinite(price) || !std::isfinite(s) || !std::isfinite(k) || !std::isfinite(t) || !std::isfinite(r) ||
        !std::isfinite(q) || !(s > 0.0) || !(k > 0.0) || !(t > 0.0)) {
        return kNaN;
    }
    const OptionInputs p = as_put({s, k, t, r, kNaN, q}, type);  // any sigma
    const double intrinsic = p.k > p.s ? p.k - p.s : 0.0;
    const double forward_gap = p.k * std::exp(-p.r * t) - p.s * std::exp(-p.q * t);
    const double lower = std::fmax(intrinsic, std::fmax(forward_gap, 0.0));
    const double upper = american_upper_bound(s, k, t, r, q, type);
    if (!(price > lower) || !(price < upper)) return kNaN;

    // Secant steps on the price, which rises with sigma, inside the bracket
    // [0, kHighestImpliedVol]: the first along the European vega, then
    // through the last two points, bisection whenever a step leaves the
    // bracket. It starts from the European implied volatility of the price.
    // Far out of the money the price falls like e^(-c / sigma^2), and a secant
    // through a point far up the curve can propose a correction lost in
    // rounding (next == sigma) while the price is still orders of magnitude
    // off: that proposes nothing (NaN), so the bracket is halved instead.
    double previous_sigma = kNaN, previous_value = kNaN;
    bool cancelled = false;
    const double grid_resolution = kGridPriceShare * tol * std::fmax(price, 0.005 * k);
    const auto by_grid = [&](double sigma) {
        return regime(t, p.r, p.q, sigma, tol) == Regime::DoubleBoundary &&
               !double_region(solved_, t, p.r, p.q, sigma, tol).holds;
    };
    const auto secant = [&](double sigma) {
        // A cancelled search ends at once (a zero residual stops it) and
        // answers NaN.
        if (cancellation_requested()) {
            cancelled = true;
            return RootStep{0.0, sigma};
        }
        const double value = this->price({s, k, t, r, sigma, q}, type, tol) - price;
        if (std::fabs(value) <= grid_resolution && by_grid(sigma)) return RootStep{0.0, sigma};
        double next = std::isnan(previous_sigma) ? sigma - value / black_scholes_vega({s, k, t, r, sigma, q})
                                                 : sigma - value * (sigma - previous_sigma) / (value - previous_value);
        if (next == sigma) next = kNaN;
        previous_sigma = sigma;
        previous_value = value;
        return RootStep{value, next};
    };
    const auto take_last_step = [](double) { return true; };
    double start = european_implied_vol(price, s, k, t, r, q, type);
    if (!(start > kLowestImpliedVol && start < kHighestImpliedVol)) start = 0.3;
    const double resolution = by_grid(start) ? kGridVolResolution : kVolResolution;
    const RootResult root =
        bracketed_root(secant, take_last_step, start, resolution, kMostEvaluations, {0.0, kHighestImpliedVol});
    if (cancelled) return kNaN;
    // A price no volatility reaches leaves the bracket shrunk onto one end.
    const double miss = std::fabs(root.residual);
    if (miss <= kPriceResolution * std::fmax(price, 1e-300) + 1e-14 * p.k) return root.x;
    if (miss <= kGridTolShare * tol * std::fmax(price, 0.005 * k) && by_grid(root.x)) return root.x;
    return kNaN;
}

double IntegralAmerican::boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    if (std::isnan(k) || std::isnan(t) || std::isnan(r) || std::isnan(sigma) || std::isnan(q)) return kNaN;
    if (k < 0.0 || sigma < 0.0) return kNaN;
    const double never = type == OptionType::Put ? 0.0 : kInf;
    const PutRates put = put_rates(r, q, type);
    const double rp = put.r, qp = put.q;
    double unit = 1.0;  // the put's B(t) / K
    switch (regime(t, rp, qp, sigma, tol)) {
        case Regime::Expired:
            unit = 1.0;
            break;
        case Regime::Deterministic:
            if (rp <= 0.0 && rp <= qp) return never;
            if (rp <= 0.0) return grid_exercise_boundary(k, t, r, sigma, q, type, tol);
            // Exercise now beats every later time: S <= K r/q when r < q
            // (the stationary point is a maximum), S <= K (1 - e^(-r t)) /
            // (1 - e^(-q t)) when 0 < q < r (only the end competes).
            if (qp <= 0.0 || rp == qp) unit = 1.0;
            else if (rp < qp) unit = rp / qp;
            else unit = std::fmin(1.0, std::expm1(-rp * t) / std::expm1(-qp * t));
            break;
        case Regime::European:
            return never;
        case Regime::Perpetual:
            unit = perpetual_put(rp, qp, sigma).boundary;
            break;
        case Regime::DoubleBoundary: {
            const DoubleBoundary& region = double_region(solved_, t, rp, qp, sigma, tol);
            if (!region.holds) return grid_exercise_boundary(k, t, r, sigma, q, type, kGridTolShare * tol);
            unit = region.upper_now;
            break;
        }
        case Regime::ShortLived:
            // The price drops the premium here, but the boundary is still
            // solved where it is resolved: it starts at X and falls like
            // sigma sqrt(t).
            if (rp <= 0.0) return grid_exercise_boundary(k, t, r, sigma, q, type, tol);
            if (sigma * std::sqrt(t) < kNoBoundarySpread) {
                unit = qp > 0.0 && rp < qp ? rp / qp : 1.0;
                break;
            }
            unit = put_boundary(solved_, t, rp, qp, sigma, tol).now;
            break;
        case Regime::SingleBoundary:
            unit = put_boundary(solved_, t, rp, qp, sigma, tol).now;
            break;
    }
    return critical_spot_from_put(k, unit, type);
}


namespace {

// The payoff's slope at or after expiry, and in the exercise region.
Greeks exercised_greeks(OptionType type) { return {type == OptionType::Put ? -1.0 : 1.0, 0.0, 0.0, 0.0, 0.0}; }

// Without volatility the value is a closed form of its inputs; its Greeks by
// central differences of it (theta from the Black-Scholes equation, whose
// diffusion term vanishes; vega one-sided, as sigma cannot go below zero).
Greeks deterministic_greeks(const OptionInputs& in, OptionType type) {
    const auto value = [&](double s, double r, double sigma, double q) {
        if (sigma > 0.0) return integral_american_price({s, in.k, in.t, r, sigma, q}, type, 1e-8);
        const OptionInputs p = as_put({s, in.k, in.t, r, sigma, q}, type);
        return deterministic_american_put(p.s, p.k, in.t, p.r, p.q);
    };
    const double h = kZeroVolSpotStep * in.s, now = value(in.s, in.r, 0.0, in.q);
    const double up = value(in.s + h, in.r, 0.0, in.q), down = value(in.s - h, in.r, 0.0, in.q);
    const double delta = (up - down) / (2.0 * h);
    const double gamma = ((up - 2.0 * now) + down) / (h * h);
    const double intrinsic = type == OptionType::Put ? in.k - in.s : in.s - in.k;
    const double theta = now == intrinsic ? 0.0 : theta_from_equation(in, now, delta, 0.0);
    const double vega = (value(in.s, in.r, kVolBump, in.q) - now) / kVolBump;
    const double rho = (value(in.s, in.r + kRateBump, 0.0, in.q) - value(in.s, in.r - kRateBump, 0.0, in.q)) /
                       (2.0 * kRateBump) / 100.0;
    return {delta, gamma, theta, vega, rho};
}

// The perpetual put's Greeks: lambda is the only input the value moves with
// besides the spot (see perpetual.hpp); theta is zero, the value not
// depending on time.
Greeks perpetual_greeks(const OptionInputs& in, OptionType type, const OptionInputs& p) {
    const PerpetualPut perpetual = perpetual_put(p.r, p.q, in.sigma);
    const double x = p.s / p.k;
    if (x <= perpetual.boundary) return exercised_greeks(type);
    const double unit = perpetual.value(x);
    if (unit == 0.0) return {0.0, 0.0, 0.0, 0.0, 0.0};
    const double lambda = perpetual.lambda;
    const UnitPutGreeks u{unit, lambda * unit / x, (lambda * (lambda - 1.0)) * unit / (x * x)};
    const SpotGreeks o = greeks_from_unit_put(u, p, type);
    const double log_moneyness = std::log(x / perpetual.boundary);
    const double vega = p.k * unit * log_moneyness * perpetual.lambda_slope_sigma(p.r, p.q, in.sigma);
    const double rate_slope = option_rate_in_put(type) == OptionRate::PutRate
                                  ? perpetual.lambda_slope_r(p.r, p.q, in.sigma)
                                  : perpetual.lambda_slope_q(p.r, p.q, in.sigma);
    return {o.delta, o.gamma, 0.0, vega, p.k * unit * log_moneyness * rate_slope / 100.0};
}

}  // namespace

Greeks IntegralAmerican::greeks(const OptionInputs& in, OptionType type, double tol) {
    return greeks_of(in, type, tol, true);
}

Greeks IntegralAmerican::spot_greeks(const OptionInputs& in, OptionType type, double tol) {
    return greeks_of(in, type, tol, false);
}

Greeks IntegralAmerican::greeks_of(const OptionInputs& in, OptionType type, double tol, bool sensitivities) {
    if (any_nan(in) || in.s < 0.0 || in.k < 0.0 || in.sigma < 0.0) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    const OptionInputs p = as_put(in, type);
    if (std::isinf(p.s)) {
        return std::isinf(p.k) ? Greeks{kNaN, kNaN, kNaN, kNaN, kNaN} : Greeks{0.0, 0.0, 0.0, 0.0, 0.0};
    }
    const Regime how = regime(in.t, p.r, p.q, in.sigma, tol);
    switch (how) {
        case Regime::Expired: {
            const bool in_the_money = type == OptionType::Put ? in.s < in.k : in.s > in.k;
            return in_the_money ? exercised_greeks(type) : Greeks{0.0, 0.0, 0.0, 0.0, 0.0};
        }
        case Regime::Deterministic:
            return deterministic_greeks(in, type);
        case Regime::European:
            return european_greeks(in, type);
        case Regime::ShortLived: {
            const double intrinsic = p.k > p.s ? p.k - p.s : 0.0;
            if (intrinsic > 0.0 && intrinsic >= european_put_value(p)) return exercised_greeks(type);
            return european_greeks(in, type);
        }
        case Regime::DoubleBoundary:
        case Regime::Perpetual:
        case Regime::SingleBoundary:
            break;
    }
    if (how == Regime::Perpetual) return perpetual_greeks(in, type, p);
    if (p.k == 0.0) return {0.0, 0.0, 0.0, 0.0, 0.0};
    const double x = p.s / p.k;
    PutSpotTerms terms;
    if (how == Regime::DoubleBoundary) {
        const DoubleBoundary& region = double_region(solved_, in.t, p.r, p.q, in.sigma, tol);
        if (!region.holds) {
            return sensitivities ? grid_american_greeks(in, type, kGridTolShare * tol)
                                 : grid_american_spot_greeks(in, type, kGridTolShare * tol);
        }
        if (in_region(in, region, type)) return exercised_greeks(type);
        terms = double_put_terms(region, x);
    } else {
        const PutBoundary& b = put_boundary(solved_, in.t, p.r, p.q, in.sigma, tol);
        if (at_or_past(in.s, critical_spot_from_put(in.k, b.now, type), type)) return exercised_greeks(type);
        terms = put_terms_from_boundary(b, x);
    }
    const UnitPutGreeks u{terms.value, terms.delta, terms.gamma};
    const SpotGreeks o = greeks_from_unit_put(u, p, type);
    Greeks g{o.delta, o.gamma, theta_from_equation(in, o.value, o.delta, o.gamma), kNaN, kNaN};
    if (!sensitivities) return g;

    // The model's own prices at bumped inputs, each solved as its row alone
    // would be. In sigma a central difference: its error, h^2 times the
    // third derivative, is far below 1e-6 relative at h = 1e-4 sigma. In the
    // rate a forward one over 1e-7 (its error is h/2 times the second
    // derivative in r, a few 1e-6 relative at most), which keeps the put's
    // rate above 0 and the row in its regime, and costs one price, not two.
    const auto priced = [&](Solved& solved, double sigma, double r, double q) {
        const OptionInputs bumped{in.s, in.k, in.t, r, sigma, q};
        return price_with(solved, bumped, type, tol);
    };
    const double hv = kVolBump * in.sigma;
    const double up = in.sigma + hv;
    const double down = in.sigma - hv;
    g.vega = (priced(vol_up_, up, in.r, in.q) - priced(vol_down_, down, in.r, in.q)) / (up - down);
    const double now = price_with(solved_, in, type, tol);
    // With two boundaries the step goes down, which keeps the put's r <= 0
    // (and a call's put q < r): the row stays in its regime.
    const double rate = how == Regime::DoubleBoundary ? in.r - kRateStep : in.r + kRateStep;
    g.rho = (priced(rate_up_, in.sigma, rate, in.q) - now) / (rate - in.r) / 100.0;
    return g;
}

// The single-row functions: the chain object used once.
template <class Result>
Result once(Result (IntegralAmerican::*method)(const OptionInputs&, OptionType, double), const OptionInputs& in,
            OptionType type, double tol) {
    IntegralAmerican model;
    return (model.*method)(in, type, tol);
}

double integral_american_price(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::price, in, type, tol);
}

double integral_american_delta(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::spot_greeks, in, type, tol).delta;
}

double integral_american_gamma(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::spot_greeks, in, type, tol).gamma;
}

double integral_american_theta(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::spot_greeks, in, type, tol).theta;
}

double integral_american_vega(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::greeks, in, type, tol).vega;
}

double integral_american_rho(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::greeks, in, type, tol).rho;
}

Greeks integral_american_greeks(const OptionInputs& in, OptionType type, double tol) {
    return once(&IntegralAmerican::greeks, in, type, tol);
}

double integral_american_implied_vol(double price, double s, double k, double t, double r, double q,
                                     OptionType type, double tol) {
    IntegralAmerican model;
    return model.implied_vol(price, s, k, t, r, q, type, tol);
}

double integral_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    IntegralAmerican model;
    return model.boundary(k, t, r, sigma, q, type, tol);
}

}  // namespace varnelle
