#include "pricing/fd/complementarity.hpp"

#include <algorithm>
#include <cmath>

namespace varnelle::fd {
namespace {

// Policy iteration converges in at most n solves on an M-matrix; in practice
// one to three. The cap only guards against a cycle from rounding.
constexpr int kMaxPolicyIterations = 64;

// Rounds of freeing nodes the boundary has moved past (see place_contacts).
constexpr int kContactPasses = 4;

// Second-order treatment of the free boundary. On the continuation side the
// value meets the obstacle with zero slope, W - G = curvature/2 * (x - x_B)^2.
// A plain complementarity solve pins the exercised node k next to the
// boundary to G, so the stencil of its free neighbour f sees a kink wherever
// x_B falls inside the cell: an O(h^2) error whose size swings with x_B's
// position in the cell, which no extrapolation removes. Pinning k instead to
// the continuation's smooth extension G_k + c_k u^2 / 2, u = |x_k - x_B|,
// makes the error smooth in h. The value at f is linear in that pinned value
// (W_f = W0_f + s * pin, s the response of f to a unit pin at k), so u solves
// the quadratic
//     W0_f - G_f + s c_k u^2 / 2 = c_f (h - u)^2 / 2,   0 <= u <= h,
// whose left side minus right side increases with u. If it has no root the
// boundary lies beyond k, and k is freed.

// Root in [0, h] of F(u) = A + p u^2 / 2 - c (h - u)^2 / 2 given F(0) < 0 <= F(h).
double contact_distance(double A, double p, double c, double h) {
    // (p - c)/2 u^2 + c h u + (A - c h^2 / 2) = 0
    const double qa = 0.5 * (p - c);
    const double qb = c * h;
    const double qc = A - 0.5 * c * h * h;
    const double disc = std::max(qb * qb - 4.0 * qa * qc, 0.0);
    // The root where F crosses upwards; written without cancellation (qb > 0).
    const double u = (-2.0 * qc) / (qb + std::sqrt(disc));
    return std::clamp(u, 0.0, h);
}

// The response s of the free node f to a unit change of its pinned neighbour.
// The pinned node splits the system, so only the run of free nodes beyond f
// matters, and its rows are all alike: eliminating from the far end gives the
// continued fraction s = -l / (c + u * s') (l the coupling towards the pinned
// node, u away from it), which converges geometrically; a run of kPinReach
// nodes is as good as the whole line.
constexpr std::size_t kPinReach = 64;

double pin_response(const TridiagonalRow& m, const std::vector<unsigned char>& on_obstacle, std::size_t f,
                    bool downwards) {
    const std::size_t n = on_obstacle.size();
    std::size_t run = 0;
    for (std::size_t i = f; run < kPinReach; ++run) {
        if (i == 0 || i + 1 == n || on_obstacle[i] != 0) break;
        i = downwards ? i - 1 : i + 1;
    }
    const double towards = downwards ? m.upper : m.lower;
    const double away = downwards ? m.lower : m.upper;
    double s = 0.0;
    for (std::size_t i = 0; i < run; ++i) s = -towards / (m.centre + away * s);
    return s;
}

// Sets the pinned values (obstacle plus extension) for the current exercised
// set and solution work.next; frees nodes the boundary has moved past.
// Returns whether it freed any.
bool place_contacts(const TridiagonalRow& m, const ContactCurvature& curvature, double h,
                    std::vector<unsigned char>& on_obstacle, const std::vector<double>& obstacle,
                    ComplementarityWork& work) {
    const std::size_t n = obstacle.size();
    bool freed = false;
    for (std::size_t j = 1; j + 1 < n; ++j) {
        work.fixed[j] = obstacle[j];
        if (on_obstacle[j] == 0) continue;
        const bool free_below = on_obstacle[j - 1] == 0 && j - 1 > 0;
        const bool free_above = on_obstacle[j + 1] == 0 && j + 2 < n;
        if (free_below == free_above) continue;  // inside the region, or a lone node
        const std::size_t f = free_below ? j - 1 : j + 1;
        const double cf = curvature.at(f);
        const double cj = curvature.at(j);
        if (!(cf > 0.0) || !(cj > 0.0)) continue;
        const double A = work.next[f] - obstacle[f];
        if (A >= 0.5 * cf * h * h) {
            on_obstacle[j] = 0;
            freed = true;
            continue;
        }
        const double u = contact_distance(A, pin_response(m, on_obstacle, f, free_below) * cj, cf, h);
        work.fixed[j] = obstacle[j] + 0.5 * cj * u * u;
    }
    return freed;
}

}  // namespace

void solve_complementarity(const TridiagonalRow& m, const std::vector<double>& obstacle,
                           const ContactCurvature& curvature, double h, std::vector<unsigned char>& on_obstacle,
                           ComplementarityWork& work, std::vector<double>& w) {
    const std::size_t n = w.size();
    std::vector<double>& next = work.next;
    work.elimination.set(m);
    for (int iteration = 0; iteration < kMaxPolicyIterations; ++iteration) {
        solve_pinned(m, work.elimination, on_obstacle, obstacle, work.rhs, work.c, work.d, next);
        bool changed = false;
        for (std::size_t j = 1; j + 1 < n; ++j) {
            bool on;
            if (on_obstacle[j] != 0) {
                // Stays on the obstacle while the scheme's equation would pull
                // the value below it (residual M w - b >= 0).
                const double residual =
                    (m.centre * next[j] + m.lower * next[j - 1]) + m.upper * next[j + 1] - work.rhs[j];
                on = residual >= 0.0;
            } else {
                on = next[j] < obstacle[j];
            }
            if (on != (on_obstacle[j] != 0)) {
                on_obstacle[j] = on ? 1 : 0;
                changed = true;
            }
        }
        if (!changed) break;
    }
    // The complementarity solution places the boundary to within a node; a
    // node it moved past is freed (not re-pinned by the policy, which cannot
    // see past the node) and the contacts placed again.
    for (int pass = 0; pass < kContactPasses; ++pass) {
        if (!place_contacts(m, curvature, h, on_obstacle, obstacle, work)) break;
        solve_pinned(m, work.elimination, on_obstacle, obstacle, work.rhs, work.c, work.d, next);
    }
    solve_pinned(m, work.elimination, on_obstacle, work.fixed, work.rhs, work.c, work.d, next);
    w[0] = next[0];
    w[n - 1] = next[n - 1];
    for (std::size_t j = 1; j + 1 < n; ++j) w[j] = on_obstacle[j] != 0 ? next[j] : std::max(next[j], obstacle[j]);
}

}  // namespace varnelle::fd
