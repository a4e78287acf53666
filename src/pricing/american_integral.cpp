#include "american_integral.hpp"

#include <cmath>
#include <limits>

#include "normal_array.hpp"

namespace varnelle {
namespace {

namespace na = normal_array;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Largest relative move of the boundary in the last iteration that counts as
// settled: damped oscillations of the smooth-pasting form on the reference book
// end well below it, divergent ones far above.
constexpr double kUnsettledStep = 1e-2;

// The put that values the option: the option itself, or for a call the put
// with spot and strike, rate and yield swapped.
struct PutSide {
    double s, k, r, q;
};

PutSide put_side(double s, double k, double r, double q, OptionType type) {
    if (type == OptionType::Put) return {s, k, r, q};
    return {k, s, q, r};
}

bool any_nan(const OptionInputs& in) {
    return std::isnan(in.s) || std::isnan(in.k) || std::isnan(in.t) || std::isnan(in.r) || std::isnan(in.sigma) ||
           std::isnan(in.q);
}

// Whether the spot is at or past the critical spot k * b (put) or k / b
// (call), b being the boundary of the put side in units of its strike.
bool exercised(const OptionInputs& in, OptionType type, double b) {
    return type == OptionType::Put ? in.s <= in.k * b : in.s >= in.k / b;
}

// Which way a put is valued.
enum class Regime {
    Expired,         // t <= 0: the payoff
    Deterministic,   // sigma = 0: the best discounted intrinsic value
    European,        // early exercise never pays: r <= 0 and r <= q
    DoubleBoundary,  // q < r <= 0: exercise between two boundaries (at r = 0 the
                     // lower one is 0, but the iteration needs r > 0)
    SingleBoundary,  // r > 0
};

Regime regime(double t, double r, double q, double sigma) {
    if (t <= 0.0) return Regime::Expired;
    if (sigma == 0.0) return Regime::Deterministic;
    if (r <= 0.0 && r <= q) return Regime::European;
    if (r <= 0.0) return Regime::DoubleBoundary;
    return Regime::SingleBoundary;
}

// The put with q < r <= 0 is exercised between two boundaries, which the
// fixed-point iteration of this model does not cover; it goes to the finite-
// difference solver (american_grid.hpp) once that is part of the build. Until
// then it has no value here, rather than a wrong one.
double double_boundary_price(const OptionInputs& /*put*/, double /*tol*/) { return kNaN; }

// With no volatility the spot moves deterministically, and exercising at time
// u pays K e^(-r u) - S e^(-q u). That difference of exponentials has at most
// one stationary point, so its largest value on [0, t] is at 0, at t or there.
double deterministic_put(double s, double k, double t, double r, double q) {
    const auto pay = [&](double u) { return k * std::exp(-r * u) - s * std::exp(-q * u); };
    double best = pay(0.0);
    const double at_expiry = pay(t);
    if (at_expiry > best) best = at_expiry;
    if (r != q && s > 0.0 && k > 0.0) {
        const double ratio = (r * k) / (q * s);
        if (ratio > 0.0) {
            const double u = std::log(ratio) / (r - q);
            if (u > 0.0 && u < t) {
                const double inside = pay(u);
                if (inside > best) best = inside;
            }
        }
    }
    return best > 0.0 ? best : 0.0;
}

// The European put of strike 1 at spot x.
double european_unit_put(double x, double t, double r, double q, double sigma) {
    const double v = sigma * std::sqrt(t);
    const double dm = (std::log(x) + (r - q - 0.5 * sigma * sigma) * t) / v;
    return std::exp(-r * t) * na::cdf(-dm) - x * (std::exp(-q * t) * na::cdf(-(dm + v)));
}

// The discretisation for a boundary, from tol and the put's parameters only
// (never the spot, so Greeks and chains see one smooth function of the spot).
// The smooth-pasting form is about ten times more accurate for the same work
// but its iteration oscillates when the drift dominates the volatility
// (omega = 2 (r - q) / sigma^2 large): damped with more iterations up to
// omega ~ 10, divergent beyond. The value-matching form is stable there but
// needs more nodes. The figures were chosen on the stored reference book
// (error measured as for tol) with about a factor 2 to spare; a finer tol
// than 1e-6 gets a scheme whose error is below 1e-8 on the book.
IntegralScheme choose_scheme(double r, double q, double sigma, double tol) {
    const double omega = 2.0 * (r - q) / (sigma * sigma);
    if (tol >= 1e-4) {
        if (omega < 6.0) return {6, 6, 2, 12, true};
        return {8, 12, 6, 24, false};
    }
    if (tol >= 1e-5) {
        if (omega < 6.0) return {8, 12, 4, 24, true};
        return {12, 24, 8, 48, false};
    }
    if (tol >= 1e-6) {
        if (omega < 6.0) return {12, 16, 5, 32, true};
        if (omega < 10.0) return {12, 16, 8, 32, true};
        return {20, 32, 12, 48, false};
    }
    if (tol >= 1e-8) {
        if (omega < 6.0) return {24, 48, 10, 96, true};
        return {32, 64, 16, 96, false};
    }
    if (omega < 6.0) return {32, 64, 16, 96, true};
    return {32, 64, 24, 96, false};
}

// The stable form with as many points, for when the smooth-pasting iteration
// has not settled.
IntegralScheme value_matching(const IntegralScheme& s) {
    const auto capped = [](std::size_t v, std::size_t most) { return v < most ? v : most; };
    return {capped(s.nodes + s.nodes / 2, kMaxBoundaryNodes), capped(2 * s.inner_points, kMaxInnerPoints),
            s.iterations + 4, capped(2 * s.price_points, kMaxPricePoints), false};
}

}  // namespace

const PutBoundary& IntegralAmerican::put_boundary(double t, double r, double q, double sigma, double tol) {
    // Bit equality of every parameter: a boundary is reused only when solving
    // it again would give exactly the same numbers.
    if (valid_ && boundary_.t == t && boundary_.r == r && boundary_.q == q && boundary_.sigma == sigma &&
        tol_ == tol) {
        return boundary_;
    }
    valid_ = false;
    const IntegralScheme scheme = choose_scheme(r, q, sigma, tol);
    solve_put_boundary(t, r, q, sigma, scheme, boundary_);
    // The last step of a settled iteration moves the boundary by far less than
    // tol; one that still moves by more is oscillating.
    if (scheme.smooth_pasting && !(boundary_.last_step <= kUnsettledStep)) {
        solve_put_boundary(t, r, q, sigma, value_matching(scheme), boundary_);
    }
    tol_ = tol;
    valid_ = true;
    return boundary_;
}

double IntegralAmerican::price(const OptionInputs& in, OptionType type, double tol) {
    if (any_nan(in)) return kNaN;
    if (in.s < 0.0 || in.k < 0.0 || in.sigma < 0.0) return kNaN;
    const PutSide p = put_side(in.s, in.k, in.r, in.q, type);
    const double intrinsic = p.k > p.s ? p.k - p.s : 0.0;
    switch (regime(in.t, p.r, p.q, in.sigma)) {
        case Regime::Expired:
            return intrinsic;
        case Regime::Deterministic:
            return deterministic_put(p.s, p.k, in.t, p.r, p.q);
        case Regime::European:
            if (p.k == 0.0) return 0.0;
            return p.k * european_unit_put(p.s / p.k, in.t, p.r, p.q, in.sigma);
        case Regime::DoubleBoundary:
            return double_boundary_price({p.s, p.k, in.t, p.r, in.sigma, p.q}, tol);
        case Regime::SingleBoundary:
            break;
    }
    if (p.k == 0.0) return 0.0;
    const PutBoundary& b = put_boundary(in.t, p.r, p.q, in.sigma, tol);
    // The same comparison as the critical spot that boundary() reports, so a
    // spot at that boundary gets the intrinsic value exactly.
    if (exercised(in, type, b.now)) return intrinsic;
    return p.k * put_price_from_boundary(b, p.s / p.k);
}

double IntegralAmerican::boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    if (std::isnan(k) || std::isnan(t) || std::isnan(r) || std::isnan(sigma) || std::isnan(q)) return kNaN;
    if (k < 0.0 || sigma < 0.0) return kNaN;
    const double never = type == OptionType::Put ? 0.0 : std::numeric_limits<double>::infinity();
    // The put side: a call of strike k is the put of spot k, and it is
    // exercised when that put's boundary, in units of the call's spot S, has
    // reached k: S >= k / b.
    const double rp = type == OptionType::Put ? r : q;
    const double qp = type == OptionType::Put ? q : r;
    double unit;  // the put's B(t) / K
    switch (regime(t, rp, qp, sigma)) {
        case Regime::Expired:
            unit = 1.0;
            break;
        case Regime::Deterministic:
            if (rp <= 0.0 && rp <= qp) return never;
            if (rp <= 0.0) return kNaN;
            // Exercise now beats every later time: S <= K r/q when r < q
            // (the stationary point is a maximum), S <= K (1 - e^(-r t)) /
            // (1 - e^(-q t)) when 0 < q < r (only the end competes).
            if (qp <= 0.0 || rp == qp) unit = 1.0;
            else if (rp < qp) unit = rp / qp;
            else unit = std::fmin(1.0, std::expm1(-rp * t) / std::expm1(-qp * t));
            break;
        case Regime::European:
            return never;
        case Regime::DoubleBoundary:
            return kNaN;
        case Regime::SingleBoundary:
            unit = put_boundary(t, rp, qp, sigma, tol).now;
            break;
    }
    return type == OptionType::Put ? k * unit : k / unit;
}

double integral_american_price(const OptionInputs& in, OptionType type, double tol) {
    IntegralAmerican model;
    return model.price(in, type, tol);
}

double integral_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    IntegralAmerican model;
    return model.boundary(k, t, r, sigma, q, type, tol);
}

}  // namespace varnelle
