// The finite-difference solver behind the cash-dividend models: one option
// of strike 1, solved backward from expiry to today with the spot's fall at
// every ex-date as a jump condition.
//
// Periods and meshes. The ex-dates cut the life into periods; each period has
// its own uniform mesh in x = ln S (S in units of the strike), nodes x_j = j h
// so the strike sits on a node and the mesh of h / 2 holds every node of the
// mesh of h (the pair a Richardson step combines). A period's spacing follows
// its own spread sigma sqrt(length): the value's features after an ex-date
// (the kink where exercising just before it starts to pay, where the spot
// reaches zero) are smoothed only over the period before it, so a period of a
// day needs a spacing a day's spread can resolve, while a quarter can use a
// coarse one. Each mesh covers the spots reachable from today's spots to read
// within a few standard deviations; the last period's mesh covers only where
// its value is not linear in S (around the strike and where exercise ends as
// expiry nears); beyond it the value is linear in S, or the exercise value.
//
// Between ex-dates: V_tau = sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V,
// central differences (the diffusion fitted to the drift where the drift
// dominates, which keeps the matrices M-matrices), BDF2 with steps uniform in
// the square root of the time since the period's start (packed where its
// data's kinks are still sharp), the first step split into an implicit Euler
// half that damps them (Rannacher's start) and a BDF2 half.
//
// Ex-dates: V(t_i-, S) = max(exercise value, V(t_i+, max(S - D_i, 0))). The
// new period's data are the means of that over each cell of its mesh (the
// later period's values interpolated by cubics), by Gauss-Legendre on pieces
// no longer than the later mesh's spacing, split where a kink falls: the data
// then carry an error smooth in h wherever the kinks fall, even when the kink
// is narrower than a cell, and Richardson's step stays valid. The payoff at
// expiry is averaged over cells the same way, in closed form.
//
// Early exercise: each step solves min(M v - b, v - g) = 0 exactly by policy
// iteration, with the free boundary placed within its cell
// (fd/complementarity.hpp). Policy iteration needs no assumption on the shape
// of the exercise region: with cash dividends a deep put may be held through
// an ex-date that will take the spot to zero while a less deep one is
// exercised.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/core/types.hpp"
#include "pricing/dividends/schedule.hpp"
#include "pricing/fd/complementarity.hpp"

namespace varnelle::dividend_grid {

// An option of strike 1; dividends in units of the strike, ascending in time,
// each in (0, t].
struct Problem {
    double t, r, q, sigma;
    OptionType type;
    bool american;
    const CashDividend* dividends;
    std::size_t count;
};

// A uniform mesh: nodes x_j = j h, j = lo .. hi.
struct Lattice {
    double h;
    std::ptrdiff_t lo, hi;
    std::size_t size() const { return static_cast<std::size_t>(hi - lo + 1); }
    double x(std::size_t i) const { return static_cast<double>(lo + static_cast<std::ptrdiff_t>(i)) * h; }
};

// How finely to solve: nodes per standard deviation of each period, time
// steps per period, the standard deviations the meshes reach past the spots
// that matter, and the most nodes a mesh may have (past it the spacing grows).
struct Resolution {
    double nodes_per_sd;
    std::size_t steps;
    double half_width;
    std::size_t max_nodes;
};

// The meshes and step counts of every period, today's first. Periods of zero
// length (an ex-date on the expiry date) have an empty mesh.
struct Plan {
    std::vector<Lattice> meshes;
    std::vector<std::size_t> steps;
};

// The plan whose first mesh covers today's spots x in [x_low, x_high].
Plan plan(const Problem& p, double x_low, double x_high, const Resolution& res);
// Every spacing halved and every step count doubled: the finer grid of a
// Richardson pair, on nodes nested with the coarser one's.
Plan refined(const Plan& plan);

// Today's values on the nodes of the first mesh, and which nodes are
// exercised today.
struct Field {
    Lattice lattice{};
    std::vector<double> v;
    std::vector<unsigned char> active;
};

// Working storage, kept between solves by the chain objects.
struct Workspace {
    std::vector<double> spot, obstacle, previous, later, excess, edge;
    std::vector<unsigned char> none, later_active;
    fd::ComplementarityWork lcp{0};
};

void solve(const Problem& p, const Plan& plan, Workspace& work, Field& out);

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
