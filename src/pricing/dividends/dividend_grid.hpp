// The finite-difference solver behind the cash-dividend models: one option
// of strike 1 on one grid, solved backward from expiry to today with the
// spot's fall at every ex-date as a jump condition.
//
// Grid: x = ln S (S in units of the strike), nodes x_j = j h for j in
// [lo, hi], so the strike sits on a node and every node of a grid is a node of
// the grid with h / 2 (the pair a Richardson step combines). The layout never
// depends on the spot beyond the bucket it falls in (dividend_model.cpp), so
// the spots of a ladder are read off one solution.
//
// Between ex-dates: V_tau = sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V,
// central differences (the diffusion fitted to the drift where the drift
// dominates, which keeps the matrices M-matrices), BDF2 with variable steps
// packed towards the start of every period (steps uniform in the square root
// of the time since the last jump), and one implicit Euler step first after
// expiry and after every jump, which damps the kinks they leave.
//
// Ex-dates: V(t_i-, S) = max(exercise value, V(t_i+, max(S - D_i, 0))), the
// shifted value interpolated by cubics in x; below the grid, linear in S to
// the value at S = 0 (the spot stays there: a put is worth its strike at once
// if American, its discounted strike if European; a call nothing).
//
// Early exercise: each step solves min(M v - b, v - g) = 0 exactly by policy
// iteration (Howard), which needs no assumption on the shape of the exercise
// region: with cash dividends a deep put may be held through an ex-date that
// will take the spot to zero while a less deep one is exercised.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/core/types.hpp"
#include "pricing/dividends/schedule.hpp"
#include "pricing/fd/tridiagonal.hpp"

namespace varnelle::dividend_grid {

// An option of strike 1; dividends in units of the strike, ascending in time.
struct Problem {
    double t, r, q, sigma;
    OptionType type;
    bool american;
    const CashDividend* dividends;
    std::size_t count;
    // When set, the values on the nodes just before the last ex-date (tau =
    // t - its time), known from a dividend-free model: the solve starts there.
    const std::vector<double>* after_last = nullptr;
};

struct Lattice {
    double h;
    std::ptrdiff_t lo, hi;  // nodes x_j = j h, j = lo .. hi
    std::size_t steps;      // time steps over the whole life (shared out between the periods)
    std::size_t size() const { return static_cast<std::size_t>(hi - lo + 1); }
    double x(std::size_t i) const { return static_cast<double>(lo + static_cast<std::ptrdiff_t>(i)) * h; }
};

// Today's values on the nodes, and which nodes are exercised today.
struct Field {
    Lattice lattice{};
    std::vector<double> v;
    std::vector<unsigned char> active;
};

// Working storage, kept between solves by the chain objects.
struct Workspace {
    std::vector<double> spot, obstacle, previous, shifted, rhs, c, d, next;
    fd::Elimination elimination{0};
    std::vector<double> start;  // values after the last ex-date, for Problem::after_last
};

void solve(const Problem& p, const Lattice& lattice, Workspace& work, Field& out);

// The value at x = ln S and its first two x-derivatives, read off the nodes
// by six-point interpolation; next to the exercise region only nodes of the
// continuation region enter (the value minus the exercise value is smooth
// there), and a spot past the boundary reads the exercise value.
struct Reading {
    double v, dx, dxx;
    bool exercised;
};
Reading read(const Problem& p, const Field& f, double x);

// The exercise region today nearest the strike: its edge in x (the upper edge
// for a put, the lower for a call), or NaN where no node is exercised.
double exercise_edge(const Problem& p, const Field& f);

}  // namespace varnelle::dividend_grid
