#include "pricing/dividends/dividend_integral.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle::dividend_integral {
namespace {

namespace na = normal_array;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Past this many standard deviations of the remaining life (and its drift)
// from the strike an option's value is its asymptote to within 1e-17.
constexpr double kSpread = 8.5;
// Lowest spot after a dividend that is tabulated, as a part of the dividend:
// below it the value is a straight line to the value at zero.
constexpr double kLowestAfterDrop = 1e-4;
// The least half-width of a period's range about the spot's mean path, as a
// part of it: a few hundred of its last bits, so that a volatility too small
// to show in the path's own rounding still leaves a range to tabulate.
constexpr double kLeastReach = 1e-13;
constexpr std::size_t kMostPanels = 600;
// The panels a period's range is first cut into, at most (the finer ones come
// from refinement, within kMostPanels).
constexpr double kFirstPanels = 256.0;
// A panel is fine enough when its last two Legendre coefficients add up to
// at most this part of tol (in units of the strike): far below, the test
// only sees the values' own rounding and halves panels for nothing.
constexpr double kPanelResolution = 1.0;

struct Settings {
    std::size_t points;      // per panel
    double reach;            // standard deviations of today's spread that are tabulated
    std::size_t nodes;       // boundary nodes in sqrt(tau)
    std::size_t inner;       // points of each boundary integral
    std::size_t price_points;
    double settled;
};

// Measured on the stored rows (European, and calls without a yield): ten
// points a panel reach the rows' own accuracy (3e-8); eight need so many more
// panels that they cost more. Tabulating 4.5 standard deviations of today's
// spread leaves up to 3e-5, 5 leaves 3e-6, 6 nothing the rows show. The
// boundary takes ten nodes at tol 1e-4 too: with eight, a call with a yield
// of the random book (seven dividends, r 6.8 %) settled 1.7e-4 off, and with
// six a put 1e-4 off.
Settings settings(double tol) {
    Settings s;
    if (tol >= 3e-5) s = {10, 5.0, 10, 16, 32, 1e-6};
    else if (tol >= 3e-8) s = {10, 6.0, 10, 16, 32, 1e-6};
    else s = {12, 7.5, 16, 32, 64, 1e-7};
    return s;
}

// The spot just before time t (an ex-date or the expiry) along its mean
// path: growing at r - q, each dividend before t paid in full (floored at
// zero).
double mean_path(const Problem& p, double t) {
    double s = p.spot, at = 0.0;
    for (std::size_t i = 0; i < p.count && p.dividends[i].time < t; ++i) {
        s = std::max(s * std::exp((p.r - p.q) * (p.dividends[i].time - at)) - p.dividends[i].amount, 0.0);
        at = p.dividends[i].time;
    }
    return s * std::exp((p.r - p.q) * (t - at));
}

double payoff(bool put, double s) {
    const double v = put ? 1.0 - s : s - 1.0;
    return v > 0.0 ? v : 0.0;
}

void set_payoff(bool put, ValueFunction& g) {
    g.clear();
    if (put) {
        g.linear.push_back({0.0, 1.0, 1.0, -1.0});
    } else {
        g.linear.push_back({1.0, kInf, -1.0, 1.0});
    }
}

}  // namespace

bool covers(const Problem& p) {
    if (!p.american) return true;
    // One exercise region a period, below the spot for a put (r > 0) and
    // above it for a call; a call without a yield is exercised, if ever,
    // just before an ex-date.
    if (p.type == OptionType::Call) return p.r >= 0.0 && p.q >= 0.0;
    return p.r > 0.0 && p.q >= 0.0;
}

Result Solver::solve(const Problem& pr, IntegralAmerican& dividend_free) {
    const Settings st = settings(pr.tol);
    const bool put = pr.type == OptionType::Put;
    const std::size_t m = pr.count;
    const double r = pr.r, q = pr.q, sigma = pr.sigma;
    const double mu = r - q - 0.5 * sigma * sigma;
    const double x0 = std::log(pr.spot);
    const auto time_of = [&](std::size_t i) { return pr.dividends[i].time; };

    set_payoff(put, next_);
    next_.top = std::numeric_limits<double>::infinity();
    next_.finish();
    for (std::size_t p = m + 1; p-- > 0;) {
        const double start = p == 0 ? 0.0 : time_of(p - 1);
        const double end = p < m ? time_of(p) : pr.t;
        const double length = end - start;
        const bool last = p == m;
        bool region = pr.american && (put ? r > 0.0 : q > 0.0) && length > 0.0;
        const bool from_free = last && region;
        // The boundary of the period after this one starts this one's
        // iteration when both lie between ex-dates.
        const bool warm = boundary_.active && !last && p + 1 < m;
        if (!warm) boundary_.active = false;
        double start_edge = put ? 0.0 : kInf;  // exercised at or past it at the period's start
        if (from_free) {
            start_edge = dividend_free.boundary(1.0, length, r, sigma, q, pr.type, pr.tol);
        } else if (region) {
            // A call's boundary starts where exercising just before the
            // ex-date starts to pay (the edge of the terminal function's
            // linear piece S - 1), or at r / q when that is higher.
            double c0 = 1.0;
            if (!put) {
                for (const LinearPiece& l : next_.linear) {
                    if (l.b == 1.0 && l.a == -1.0) c0 = l.lo;
                }
                c0 = std::max(c0, r / q);
            }
            const BoundaryScheme scheme{st.nodes, st.inner, st.price_points, st.settled};
            solve_period_boundary(length, r, q, sigma, put, next_, scheme, c0, pr.dividends[p].amount, warm, boundary_);
            if (!boundary_.settled) {
                // A call is exercised between ex-dates only at spots of at
                // least max(1, r / q), where carrying the stock stops paying
                // (q S >= r), a put only at spots of at most min(1, r / q).
                // With a small volatility those can lie far from every spot
                // in reach of today's (twice its reach by the period's end,
                // every dividend paid before grown at the most), where the
                // functions the iteration reads are not held: it then need
                // not settle, and the region, out of reach, is left out.
                const double spread_end = 2.0 * st.reach * sigma * std::sqrt(end);
                const double top = pr.spot * std::exp(std::max(r - q, 0.0) * end + spread_end);
                double bottom = pr.spot * std::exp(std::min(r - q, 0.0) * end - spread_end);
                for (std::size_t i = 0; i < p; ++i) {
                    bottom -= pr.dividends[i].amount * std::exp(std::max(r - q, 0.0) * end + spread_end);
                }
                const bool reached = put ? bottom <= std::min(1.0, q > 0.0 ? r / q : 1.0) : top >= std::max(1.0, r / q);
                if (reached || !pr.leave_unreached) return Result{0.0, 0.0, 0.0, false, 0.0, false};
                region = false;
                boundary_.active = false;
                start_edge = put ? 0.0 : kInf;
            } else {
                start_edge = boundary_.now();
            }
        }
        const Move move = length > 0.0 ? make_move(length, r, q, sigma) : Move{};

        // The value at the period's start, at spot s (after the dividend).
        const auto value_at = [&](double s) -> double {
            if (length == 0.0) return next_.at(s);
            if (region && (put ? s <= start_edge : s >= start_edge)) return payoff(put, s);
            if (from_free) return dividend_free.price({s, 1.0, length, r, sigma, q}, pr.type, pr.tol);
            double v = next_.expect(move, std::log(s), false).v;
            if (region) v += boundary_.premium(std::log(s), false).v;
            return v;
        };

        if (p == 0) {
            Result res{};
            res.valid = true;
            res.boundary = start_edge;
            if (region && (put ? pr.spot <= start_edge : pr.spot >= start_edge)) {
                res.exercised = true;
                res.v = payoff(put, pr.spot);
                res.dx = put ? -pr.spot : pr.spot;
                res.dxx = res.dx;
                return res;
            }
            Expectation e = next_.expect(move, x0, true);
            if (region) {
                const Expectation pm = boundary_.premium(x0, true);
                e.v += pm.v;
                e.dx += pm.dx;
                e.dxx += pm.dxx;
            }
            res.v = e.v;
            res.dx = e.dx;
            res.dxx = e.dxx;
            res.exercised = false;
            return res;
        }

        // The terminal function of the period before: G(S) = F(S - d), at
        // least the exercise value for a call.
        const double d = pr.dividends[p - 1].amount;
        const double before = time_of(p - 1);
        const double rem = pr.t - before;
        double future = 0.0;
        for (std::size_t i = p; i < m; ++i) future += pr.dividends[i].amount;
        double dropped = 0.0;
        for (std::size_t i = 0; i + 1 < p; ++i) dropped += pr.dividends[i].amount;
        const double spread = kSpread * sigma * std::sqrt(rem) + std::fabs(r - q) * rem + 0.5 * sigma * sigma * rem;
        const double centre = x0 + mu * before, half = st.reach * sigma * std::sqrt(before);
        double upper_rel = std::exp(centre + half);
        double lower_rel = std::exp(centre - half) - dropped;
        double path;  // the spot's mean path just before the ex-date
        // The range above takes the dividends already paid at face value,
        // while the spot's mean path pays them grown at r - q since: with a
        // spread of many dividends' growth that is lost in the reach, but
        // with a tiny volatility the spot sits just outside it (a deep
        // in-the-money call came out worthless). There the range is the mean
        // path give or take its reach in units of the spot, and at least a
        // few of the spot's last bits. It is taken where the range above
        // falls short of the path's reach by more than half a standard
        // deviation (volatilities below about 1e-3).
        {
            path = mean_path(pr, before);
            const double scale = pr.spot * std::exp((r - q) * before) + dropped;
            const double below = -scale * std::expm1(-half) + kLeastReach * path;
            const double above = scale * std::expm1(half) + kLeastReach * path;
            if (lower_rel > path - below + 0.5 * scale * sigma * std::sqrt(before)) {
                lower_rel = std::min(lower_rel, path - below);
                upper_rel = std::min(upper_rel, path + above);
            }
        }

        current_.clear();
        current_.points = st.points;
        // A European last period is a Black-Scholes price, which past a few
        // of its (short) standard deviations is its straight line in the
        // money and zero out of it: only the difference is tabulated, on the
        // few panels around the strike where it is not negligible, with an
        // edge at the strike where the line starts.
        const bool closed_last = last && !from_free && length > 0.0;
        const double dr = std::exp(-r * length), dq = std::exp(-q * length);
        const auto asymptote = [&](double s) {
            if (!closed_last) return 0.0;
            if (put) return s < 1.0 ? dr - s * dq : 0.0;
            return s >= 1.0 ? s * dq - dr : 0.0;
        };
        double lo, hi;  // after-drop spots of the tabulated range
        if (put) {
            const double zero = pr.american ? 1.0 : std::exp(-r * rem);
            current_.linear.push_back({0.0, d, zero, 0.0});
            if (closed_last) {
                current_.linear.push_back({d, d + 1.0, dr + d * dq, -dq});
                lo = std::max(std::exp(-spread), lower_rel - d);
                hi = std::min(std::exp(spread), upper_rel - d);
            } else {
                double floor = kLowestAfterDrop * d;
                if (pr.american && start_edge > 0.0) {
                    current_.linear.push_back({d, d + start_edge, 1.0 + d, -1.0});
                    floor = start_edge;
                }
                lo = std::max(floor, lower_rel - d);
                hi = std::min((1.0 + future) * std::exp(spread), upper_rel - d);
                if (!(lo < hi)) hi = lo;
                // Below the tabulated range (and above the exercise region): a
                // straight line through the values at both ends.
                if (lo > floor) {
                    const double v0 = pr.american && start_edge > 0.0 ? 1.0 - start_edge : value_at(floor);
                    const double v1 = value_at(lo);
                    const double slope = (v1 - v0) / (lo - floor);
                    current_.linear.push_back({d + floor, d + lo, v0 - slope * (d + floor), slope});
                    current_.rough_lo = d + floor;
                    current_.rough_hi = d + lo;
                } else if (!(pr.american && start_edge > 0.0)) {
                    // European put near zero: a line from the value at zero.
                    const double v1 = value_at(lo);
                    const double slope = (v1 - zero) / lo;
                    current_.linear.push_back({d, d + lo, zero - slope * d, slope});
                }
            }
        } else {
            lo = std::max(std::exp(-spread), lower_rel - d);
            const double cap = closed_last ? std::exp(spread) : (1.0 + future) * std::exp(spread);
            hi = std::min(cap, upper_rel - d);
            // Past the cap the value is a straight line in the spot: with a
            // tiny volatility the whole range of a deep in-the-money call
            // can lie there, and is then that line alone.
            const bool beyond = !closed_last && !(hi > lo) && lo >= cap;
            const double reach_top = beyond ? std::max(upper_rel - d, lo) : hi;
            double exercise_from = kInf;  // S* (before the drop)
            if (pr.american) {
                // Where S - 1 = F(S - d): F(s) - s rises to the exercise value's
                // line only if the dividend outweighs what waiting is worth.
                // Searched up to the top of the spots that matter: beyond,
                // the value is the straight line it was extended with, whose
                // slope is only as good as the tabulated end.
                // A dividend of the strike or more: S - 1 is at least what
                // holding through the drop leaves (S - d at most), from S = 1 on.
                const auto gap = [&](double s) { return (s + d - 1.0) - value_at(s); };
                double a = std::max(1.0 - d, 1e-12), b = std::max(2.0 * a, 1.0);
                double ga = gap(a), gb = gap(b);
                for (int k = 0; k < 60 && gb < 0.0 && b < upper_rel; ++k) {
                    a = b;
                    ga = gb;
                    b *= 2.0;
                    gb = gap(b);
                }
                if (d >= 1.0) {
                    exercise_from = 1.0;
                } else if (gb >= 0.0) {
                    exercise_from = brent(gap, a, ga, b, gb, 1e-14, 200).x + d;
                }
                // Below the tabulated range the value is not held (a tiny
                // volatility's range is narrow about the mean path), so a
                // crossing found there that the range contradicts (not
                // exercised at its foot) is searched again within it.
                if (d < 1.0 && exercise_from - d < lo && lo < reach_top) {
                    const double gl = gap(lo);
                    if (gl < 0.0) {
                        const double gh = gap(reach_top);
                        exercise_from = gh < 0.0 ? kInf : brent(gap, lo, gl, reach_top, gh, 1e-14, 200).x + d;
                    }
                }
            }
            if (closed_last && exercise_from > d + 1.0) {
                current_.linear.push_back({d + 1.0, exercise_from, -d * dq - dr, dq});
            }
            if (beyond) {
                // Read at the mean path, which the period after holds with
                // its whole move around it.
                const double mid = std::clamp(path - d, lo, reach_top), h = 1e-4 * mid;
                const double v1 = value_at(mid), v2 = value_at(mid + h);
                const double slope = (v2 - v1) / h;
                if (exercise_from > lo + d) {
                    current_.linear.push_back({lo + d, exercise_from, v1 - slope * (mid + d), slope});
                }
                hi = lo;
            }
            if (exercise_from < kInf) {
                current_.linear.push_back({exercise_from, kInf, -1.0, 1.0});
                hi = std::min(hi, exercise_from - d);
                if (!(lo < hi)) lo = hi;
            } else if (hi > lo && !closed_last) {
                // Above the range a straight line on (value, slope) there.
                // On a range narrower than a few such steps (a tiny
                // volatility) the step past its top would read the period
                // after beyond its own range: the slope is taken inside.
                // When the spot's mean path lies past the top (the line's
                // start, a deep in-the-money call), the line is read at the
                // path: at the top, near the lowest spots in reach, the
                // period after holds only part of the move.
                const double at = path - d > hi ? path - d : hi;
                double h = 1e-4 * at;
                if (at == hi && h > 0.25 * (hi - lo)) h = -0.25 * (hi - lo);
                const double v1 = value_at(at), v2 = value_at(at + h);
                const double slope = (v2 - v1) / h;
                current_.linear.push_back({hi + d, kInf, v1 - slope * (at + d), slope});
            }
        }

        // Panels in ln(S - d): at most two standard deviations of the
        // remaining life wide to start with, cut at the spots where the
        // terminal function of the period has its kinks (near which the
        // value is sharpest), and halved until the last Legendre
        // coefficients of every panel are below the tol's share.
        const PanelRule& rule = panel_rule(st.points);
        const double finest = 0.2 * sigma * std::sqrt(length > 0.0 ? length : 1e-12);
        // With a tiny volatility the drift, not the spread, sets the range:
        // the first cut is at most kFirstPanels panels across it, or their
        // number grows as 1/sigma (a call that never returned at 1e-9).
        const double coarsest = hi > lo ? std::max(2.0 * sigma * std::sqrt(rem), std::log(hi / lo) / kFirstPanels)
                                        : 2.0 * sigma * std::sqrt(rem);
        const double resolution = kPanelResolution * pr.tol;
        std::vector<double> cuts;
        const auto tabulate_panel = [&](double ua, double ub, Panel& panel, double& tail) {
            panel.y0 = std::log(std::exp(ua) + d);
            panel.y1 = std::log(std::exp(ub) + d);
            for (std::size_t i = 0; i < rule.size; ++i) {
                const double yi = 0.5 * (panel.y0 + panel.y1) + 0.5 * (panel.y1 - panel.y0) * rule.x[i];
                const double si = std::exp(yi) - d;
                panel.g[i] = value_at(si) - asymptote(si);
            }
            double c1 = 0.0, c2 = 0.0;
            for (std::size_t i = 0; i < rule.size; ++i) {
                c1 += rule.legendre[rule.size - 1][i] * panel.g[i];
                c2 += rule.legendre[rule.size - 2][i] * panel.g[i];
            }
            tail = std::fabs(c1) + std::fabs(c2);
        };
        const auto refine = [&](auto&& self, double ua, double ub, std::size_t depth) -> void {
            Panel panel;
            double tail;
            tabulate_panel(ua, ub, panel, tail);
            if (tail <= resolution || ub - ua <= finest || depth >= 12 || current_.panels.size() >= kMostPanels) {
                current_.panels.push_back(panel);
                return;
            }
            const double um = 0.5 * (ua + ub);
            self(self, ua, um, depth + 1);
            self(self, um, ub, depth + 1);
        };
        if (hi > lo) {
            cuts.assign({lo, hi});
            if (closed_last) cuts.push_back(1.0);
            for (const LinearPiece& l : next_.linear) {
                cuts.push_back(l.lo);
                cuts.push_back(l.hi);
            }
            if (!next_.panels.empty()) {
                cuts.push_back(std::exp(next_.panels.front().y0));
                cuts.push_back(std::exp(next_.panels.back().y1));
            }
            std::sort(cuts.begin(), cuts.end());
            double previous = lo;
            for (const double c : cuts) {
                if (!(c > previous * (1.0 + 1e-12)) || c > hi) continue;
                const double ua = std::log(previous), ub = std::log(c);
                const std::size_t count =
                    std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil((ub - ua) / coarsest)));
                for (std::size_t k = 0; k < count; ++k) {
                    const double a = ua + (ub - ua) * static_cast<double>(k) / static_cast<double>(count);
                    const double b = k + 1 == count ? ub : ua + (ub - ua) * static_cast<double>(k + 1) / static_cast<double>(count);
                    refine(refine, a, b, 0);
                }
                previous = c;
            }
        }
        current_.top = hi + d;
        current_.finish();
        std::swap(current_, next_);
    }
    return Result{0.0, 0.0, 0.0, false, 0.0, false};
}

}  // namespace varnelle::dividend_integral
