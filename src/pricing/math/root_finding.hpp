// Root finders that cannot diverge: each keeps a bracket around the root and
// falls back to bisection whenever its fast step would leave it, so it ends
// after a bounded number of evaluations whatever the function does; and a
// search that widens a bracket outward from a start.
//
// All are templates over the callable they solve, so that each implied
// volatility (and any model added later) passes its own objective without
// an indirect call per evaluation.
#pragma once

#include <cmath>

#include "pricing/core/constants.hpp"

namespace varnelle {

// What a root finder reports besides the root, as Boost's finders report
// the iterations they used.
struct RootResult {
    double x;         // the root; the best point seen when not converged
    double residual;  // f at the last point evaluated (x, or the point a last trusted step left)
    int evaluations;  // evaluations of f (steps, for a step method)
    bool converged;   // stopped on its tolerance or an exact zero, not on running out of steps or room
};

// An interval known to hold the root; hi may be infinite.
struct RootBracket {
    double lo = 0.0;
    double hi = kInf;
};

// What one step of a method with derivatives proposes at x.
struct RootStep {
    double residual;  // f(x); its sign narrows the bracket
    double next;      // the next point the method would take
};

// A root of an increasing f inside `bracket` (by default (0, infinity)),
// from a start x > 0 inside it, by the step method `step(x) -> RootStep`. A
// positive residual makes x the upper end of the bracket, anything else (a
// NaN too) the lower end. A step that leaves the bracket is replaced by its
// midpoint, or by doubling the lower end while no upper end is known.
//
// It ends when the proposed step is at most `tolerance` * x. Near the root
// the residual is rounding noise whose sign may disagree with the bracket,
// so a step that small counts as converged even outside the bracket (x is
// returned); inside it, the step is taken when `trust(next)` allows, and
// otherwise the iteration goes on from next. `trust` is called right after
// step(x), so it may read what step kept of its evaluation at x.
//
// When max_steps run out, or the bracket has shrunk to a few ulps, it returns
// the point with the smallest |residual| seen, not converged: with a bracket
// given in advance, an end f never crossed at shrinks onto that end.
template <class Step, class Trust>
RootResult bracketed_root(Step&& step, Trust&& trust, double x, double tolerance, int max_steps,
                          RootBracket bracket = {}) {
    double lo = bracket.lo;
    double hi = bracket.hi;
    double best = x;
    double best_residual = kInf;
    int evaluations = 0;
    while (evaluations < max_steps) {
        const RootStep s = step(x);
        ++evaluations;
        if (s.residual == 0.0) return {x, 0.0, evaluations, true};
        if (std::fabs(s.residual) < std::fabs(best_residual)) {
            best_residual = s.residual;
            best = x;
        }
        if (s.residual > 0.0) {
            hi = x;
        } else {
            lo = x;
        }
        double next = s.next;
        const bool inside = next > lo && next < hi;
        if (std::fabs(next - x) <= tolerance * x) {
            if (!inside) return {x, s.residual, evaluations, true};
            if (trust(next)) return {next, s.residual, evaluations, true};
        }
        if (!inside) next = hi < kInf ? 0.5 * (lo + hi) : 2.0 * lo;
        if (next == x || (hi < kInf && !(hi - lo > 0x1p-52 * hi))) break;
        x = next;
    }
    return {best, best_residual, evaluations, false};
}

// Widening a bracket of an increasing f outward from a start, for a root
// whose neighbourhood is known roughly (an American implied volatility near
// the European one of the same price).
struct OutwardSearch {
    double lowest, highest;  // the search stays inside [lowest, highest]
    double growth;           // the upper end grows by this factor while f <= 0 there
    // A step down goes this much further than the secant through the last
    // two points predicts (Newton along `slope` at first), so that it tends
    // to land past the root, and never below widest_down times the upper end.
    double overshoot, widest_down;
    int max_steps;  // each way
};

struct OutwardBracket {
    enum class Found { Bracket, Root, Nothing };
    Found found;
    double lo, f_lo, hi, f_hi;  // f_lo < 0 < f_hi; a root found on the way is hi
    int evaluations;
};

// From x (moved up to `lowest` if below it): while f <= 0 the upper end
// grows, the previous one becoming the lower; then, if no lower end is known
// yet, steps down from the upper end until f < 0. Nothing when the search
// leaves [lowest, highest], runs out of steps or meets a NaN on the way down.
template <class F, class Slope>
OutwardBracket bracket_outward(F&& f, double x, Slope&& slope, const OutwardSearch& search) {
    using Found = OutwardBracket::Found;
    OutwardBracket out{Found::Nothing, 0.0, 0.0, x, 0.0, 0};
    double& hi = out.hi;
    double& f_hi = out.f_hi;
    if (!(hi >= search.lowest)) hi = search.lowest;
    const auto at = [&](double y) {
        ++out.evaluations;
        return f(y);
    };
    const auto root = [&](double y) {
        out.found = Found::Root;
        out.hi = y;
        out.f_hi = 0.0;
        return out;
    };
    f_hi = at(hi);
    if (f_hi == 0.0) return root(hi);
    out.lo = hi;
    out.f_lo = f_hi;
    for (int i = 0; i < search.max_steps && !(f_hi > 0.0); ++i) {
        out.lo = hi;
        out.f_lo = f_hi;
        hi = search.growth * hi;
        if (hi > search.highest) return out;
        f_hi = at(hi);
        if (f_hi == 0.0) return root(hi);
    }
    if (!(f_hi > 0.0)) return out;
    if (!(out.f_lo < 0.0)) {
        double guess = hi - search.overshoot * (f_hi / slope(hi));
        double x_prev = hi, f_prev = f_hi;
        for (int i = 0;; ++i) {
            if (i == search.max_steps) return out;
            if (!(guess >= search.widest_down * hi && guess < hi)) guess = search.widest_down * hi;
            if (guess < search.lowest) {
                if (hi <= search.lowest) return out;
                guess = search.lowest;
            }
            const double f_guess = at(guess);
            if (f_guess == 0.0) return root(guess);
            if (f_guess < 0.0) {
                out.lo = guess;
                out.f_lo = f_guess;
                break;
            }
            if (std::isnan(f_guess)) return out;
            x_prev = hi;
            f_prev = f_hi;
            hi = guess;
            f_hi = f_guess;
            const double secant = (f_prev - f_hi) / (x_prev - hi);
            guess = secant > 0.0 ? hi - search.overshoot * (f_hi / secant) : search.widest_down * hi;
        }
    }
    out.found = Found::Bracket;
    return out;
}

// Brent's zero finder (inverse quadratic interpolation, secant steps and
// bisection) on [a, b] with fa <= 0 <= fb or the reverse, from evaluations
// of f alone. It stops when the bracket is narrower than about `tolerance`
// relative to b (plus two ulps), returns NaN as soon as f gives NaN, and
// returns its best point after max_steps, not converged.
template <class F>
RootResult brent(F&& f, double a, double fa, double b, double fb, double tolerance, int max_steps) {
    double c = a, fc = fa;
    double d = b - a, e = d;
    for (int i = 0; i < max_steps; ++i) {
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a;
            fc = fa;
            d = b - a;
            e = d;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol = 2.0 * 0x1p-53 * std::fabs(b) + 0.5 * tolerance * std::fabs(b);
        const double half = 0.5 * (c - b);
        if (std::fabs(half) <= tol || fb == 0.0) return {b, fb, i, true};
        if (std::fabs(e) >= tol && std::fabs(fa) > std::fabs(fb)) {
            double p, q;
            const double sb = fb / fa;
            if (a == c) {
                p = 2.0 * half * sb;
                q = 1.0 - sb;
            } else {
                const double qa = fa / fc;
                const double rb = fb / fc;
                p = sb * (2.0 * half * qa * (qa - rb) - (b - a) * (rb - 1.0));
                q = (qa - 1.0) * (rb - 1.0) * (sb - 1.0);
            }
            if (p > 0.0) {
                q = -q;
            } else {
                p = -p;
            }
            if (2.0 * p < std::fmin(3.0 * half * q - std::fabs(tol * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = half;
                e = d;
            }
        } else {
            d = half;
            e = d;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > tol ? d : (half > 0.0 ? tol : -tol);
        fb = f(b);
        if (std::isnan(fb)) return {kNaN, kNaN, i + 1, false};
    }
    return {b, fb, max_steps, false};
}

}  // namespace varnelle
