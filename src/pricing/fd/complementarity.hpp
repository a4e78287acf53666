// One time level of an obstacle problem: the linear complementarity problem
//     min(M w - b, w - G) = 0
// for an implicit scheme's rows M, right-hand side b and obstacle G, solved
// exactly by policy iteration (Howard's algorithm), with the free boundary
// then placed within its cell.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/fd/tridiagonal.hpp"

namespace varnelle::fd {

// The curvature (second x-derivative) with which the continuation value
// leaves the obstacle at node j, W - G = curvature/2 * (x - x_B)^2 near the
// boundary x_B, at the level being solved. It follows from the equation at the
// boundary, so the problem being solved supplies it; a node where it is not
// positive gets no placement within its cell.
class ContactCurvature {
public:
    virtual double at(std::size_t j) const = 0;

protected:
    ~ContactCurvature() = default;
};

// Working storage of the solves of one system size, allocated once.
struct ComplementarityWork {
    std::vector<double> rhs;  // b; its first and last entries are the values the end nodes take
    std::vector<double> fixed, c, d, next;
    Elimination elimination;

    explicit ComplementarityWork(std::size_t n) : rhs(n), fixed(n), c(n), d(n), next(n), elimination(n) {}
};

// Solves the level with rows m and right-hand side work.rhs for w >= obstacle.
// on_obstacle holds the previous level's exercised nodes on entry (the first
// guess, usually right to within a node or two) and this level's on return.
// w receives the values: on the obstacle at exercised nodes, except that an
// exercised node next to the boundary keeps the continuation's smooth
// extension (its neighbour's stencil at the next level reads it; read the
// value there against the obstacle). h is the mesh spacing.
//
// Policy iteration revises which nodes are on the obstacle from the residuals
// and solves again until no choice changes (one or two solves a level).
// Unlike Brennan-Schwartz's single sweep it does not assume the exercise
// region is one end of the mesh, so it is right when exercise is optimal
// between two boundaries.
void solve_complementarity(const TridiagonalRow& m, const std::vector<double>& obstacle,
                           const ContactCurvature& curvature, double h, std::vector<unsigned char>& on_obstacle,
                           ComplementarityWork& work, std::vector<double>& w);

}  // namespace varnelle::fd
