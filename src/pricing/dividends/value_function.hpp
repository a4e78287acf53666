// A value function of the spot at the end of a period between ex-dates, and
// its discounted expectation over the period's lognormal move.
//
// With cash dividends the value just before an ex-date is the next period's
// value at the spot less the dividend (and, for a call, at least the exercise
// value): a function with kinks where a floor or a max starts, linear in S
// over whole ranges (the exercise value, zero, the strike when the spot
// falls to zero) and smooth elsewhere. It is held here in those two parts,
// which add up:
//   - linear pieces a + b S on intervals of S, whose expectation is a closed
//     form (the terms of the Black-Scholes formula);
//   - a tabulated part on consecutive panels in y = ln S, each holding its
//     values at the Gauss-Legendre points of the panel; every kink lies on a
//     panel's edge, so inside a panel the function is smooth and the
//     polynomial through the points represents it.
// The expectation over a tabulated panel is a Gaussian-weighted integral. When
// the Gaussian is at least about as wide as the panel, the panel's own
// points are the quadrature (no interpolation at all); when it is narrower
// (the spot's move over a fraction of the period, as the exercise boundary
// needs near an ex-date), the overlap is cut in pieces a few standard
// deviations wide and integrated with interpolated values.
#pragma once

#include <cstddef>
#include <vector>

namespace varnelle::dividend_integral {

inline constexpr std::size_t kMaxPanelPoints = 24;

// a + b S for lo <= S < hi (hi may be infinite); the logarithms of the
// ends are set by ValueFunction::finish().
struct LinearPiece {
    double lo, hi, a, b;
    double log_lo = 0.0, log_hi = 0.0;
};

// Values at the rule's points y = (y0 + y1)/2 + (y1 - y0)/2 x_i.
struct Panel {
    double y0, y1;
    double g[kMaxPanelPoints];
    // The same polynomial's coefficients of the powers of xi = (2 y - y0 -
    // y1) / (y1 - y0), set by finish().
    double power[kMaxPanelPoints];
};

// The polynomial through values g at points x (barycentric weights bary)
// at a point t, in the barycentric form.
inline double barycentric(const double* x, const double* bary, const double* g, std::size_t n, double t) {
    double num = 0.0, den = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double diff = t - x[i];
        if (diff == 0.0) return g[i];
        const double c = bary[i] / diff;
        num += c * g[i];
        den += c;
    }
    return num / den;
}

// Gauss-Legendre points on [-1, 1], their weights and the barycentric
// weights of interpolation through them.
struct PanelRule {
    std::size_t size = 0;
    double x[kMaxPanelPoints] = {}, w[kMaxPanelPoints] = {}, bary[kMaxPanelPoints] = {};
    // legendre[k][i]: the weight of value i in the coefficient of P_k of the
    // polynomial through the points, whose last coefficients tell how well
    // the panel resolves its function.
    double legendre[kMaxPanelPoints][kMaxPanelPoints] = {};
    // power[j][i]: the weight of value i in the coefficient of xi^j of the
    // same polynomial.
    double power[kMaxPanelPoints][kMaxPanelPoints] = {};
};
const PanelRule& panel_rule(std::size_t size);

// The lognormal move over tau: ln S_tau ~ N(ln S + mu tau, s^2).
struct Move {
    double tau, r, q, sigma;
    double s;         // sigma sqrt(tau)
    double drift;     // (r - q - sigma^2/2) tau
    double discount;  // e^(-r tau)
    double growth;    // e^((r - q) tau)
};
Move make_move(double tau, double r, double q, double sigma);

// A value and its first two derivatives in x = ln S.
struct Expectation {
    double v, dx, dxx;
};

struct ValueFunction {
    std::vector<LinearPiece> linear;
    std::vector<Panel> panels;  // ascending and contiguous
    std::size_t points = 0;     // the panels' rule size

    // Every panel's points in one run, with quadrature weight times value
    // (filled by finish()): the expectation over panels wide against the
    // Gaussian is one vectorised loop over these.
    std::vector<double> node_y, node_wg;
    // Spots where the function is only a straight line standing in for it
    // (out of reach from today), and above which it is not held at all.
    double rough_lo = 0.0, rough_hi = 0.0, top = 0.0;
    // The panels an expectation reads: those within this many standard
    // deviations of the move from its mean (the Gaussian's mass beyond is
    // 2 Phi(-window)).
    double window = 8.5;

    void clear() {
        linear.clear();
        panels.clear();
        node_y.clear();
        node_wg.clear();
        rough_lo = rough_hi = top = 0.0;
    }
    void finish();
    // The tabulated part at y = ln S (zero outside the panels).
    double tabulated(double y) const;
    double at(double s) const;
    // e^(-r tau) E[G(S_tau) | S_0 = e^x], with derivatives in x when asked.
    Expectation expect(const Move& move, double x, bool derivatives) const;
    // The same value (without derivatives) at count spots s[i] = e^(x[i]) at
    // once, in loops over the spots that vectorise: for tabulating a
    // period's value.
    void expect_values(const Move& move, const double* x, const double* s, std::size_t count, double* out) const;

private:
    // The panels' part of the expectation, before discounting.
    Expectation panel_part(const Move& move, double x, bool derivatives) const;
};

}  // namespace varnelle::dividend_integral
