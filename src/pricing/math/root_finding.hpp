// Root finders that cannot diverge: each keeps a bracket around the root and
// falls back to bisection whenever its fast step would leave it, so it ends
// after a bounded number of evaluations whatever the function does.
//
// Both are templates over the callable they solve, so that each implied
// volatility (and any model added later) passes its own objective without
// an indirect call per evaluation.
#pragma once

#include <cmath>

#include "pricing/core/constants.hpp"

namespace varnelle {

// What one step of a method with derivatives proposes at x.
struct RootStep {
    double residual;  // f(x); its sign narrows the bracket
    double next;      // the next point the method would take
};

// A root of an increasing f on (0, infinity), from a start x > 0, by the
// step method `step(x) -> RootStep`. A positive residual makes x the upper
// end of the bracket, anything else (a NaN too) the lower end. A step that
// leaves the bracket is replaced by its midpoint, or by doubling the lower
// end while no upper end is known.
//
// It ends when the proposed step is at most `tolerance` * x. Near the root
// the residual is rounding noise whose sign may disagree with the bracket,
// so a step that small counts as converged even outside the bracket (x is
// returned); inside it, the step is taken when `trust(next)` allows, and
// otherwise the iteration goes on from next. `trust` is called right after
// step(x), so it may read what step kept of its evaluation at x.
//
// When max_steps run out, or the bracket has shrunk to a few ulps, it returns
// the point with the smallest |residual| seen.
template <class Step, class Trust>
double bracketed_root(Step&& step, Trust&& trust, double x, double tolerance, int max_steps) {
    double lo = 0.0;
    double hi = kInf;
    double best = x;
    double best_miss = kInf;
    for (int i = 0; i < max_steps; ++i) {
        const RootStep s = step(x);
        if (s.residual == 0.0) return x;
        if (std::fabs(s.residual) < best_miss) {
            best_miss = std::fabs(s.residual);
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
            if (!inside) return x;
            if (trust(next)) return next;
        }
        if (!inside) next = hi < kInf ? 0.5 * (lo + hi) : 2.0 * lo;
        if (next == x || (hi < kInf && !(hi - lo > 0x1p-52 * hi))) break;
        x = next;
    }
    return best;
}

// Brent's zero finder (inverse quadratic interpolation, secant steps and
// bisection) on [a, b] with fa <= 0 <= fb or the reverse, from evaluations
// of f alone. It stops when the bracket is narrower than about `tolerance`
// relative to b (plus two ulps), returns NaN as soon as f gives NaN, and
// returns its best point after max_steps.
template <class F>
double brent(F&& f, double a, double fa, double b, double fb, double tolerance, int max_steps) {
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
        if (std::fabs(half) <= tol || fb == 0.0) return b;
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
        if (std::isnan(fb)) return kNaN;
    }
    return b;
}

}  // namespace varnelle
