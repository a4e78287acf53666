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
// Width of a bucket of today's ln S, in standard deviations of the life.
constexpr double kBucket = 0.5;
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
    std::size_t nodes;       // boundary nodes of each piece, in sqrt(tau)
    std::size_t inner;       // points of each boundary integral (per piece of time)
    std::size_t price_points;
    double residual;         // largest value-matching residual that counts as settled, in units of tol
    bool polish;             // Newton's method with each piece's polynomial after the march
    double widest;           // panels at most this many standard deviations of the remaining life wide
};

// Measured on the stored rows and the random book (largest errors with the
// stored rows shown wrong set aside). At tol 1e-4: eight points a panel,
// five boundary nodes with eight points in each integral over time and
// twelve in the premium leave 2.3e-6 (four nodes 5.5e-5, three 1.3e-4; six
// points a panel 1e-4); tabulating 4 standard deviations of today's spread
// leaves 6.9e-4, 5 nothing the rows show. At tol 1e-6: ten nodes
// leave 5.7e-7 (six 1.2e-6), 6 standard deviations.
// At tol 1e-4 the boundary is left as marched (straight lines between the
// nodes, each settled to 5e-2 tol): 3.9e-5 on the book, 3.0e-5 on the stored
// rows, for a quarter less work than polishing it with Newton's method to
// 2.5e-3 tol (2.3e-6). At tol 1e-6 the marched boundary leaves 5.1e-6 (with
// sixteen nodes 1.6e-6): there the polish pays.
// Panels of up to three standard deviations of the remaining life at tol
// 1e-4 (two cost a tenth more for nothing the rows show); at tol 1e-6 (and
// the European value's 1e-5) twelve points over 3.5 (ten over two cost a
// twentieth more for the American, half as much again for the European,
// whose largest error on the book falls from 8.9e-8 to 3.6e-8).
Settings settings(double tol) {
    if (tol >= 3e-5) return {8, 5.0, 5, 8, 12, 5e-2, false, 3.0};
    if (tol >= 3e-8) return {12, 6.0, 10, 16, 32, 2.5e-3, true, 3.5};
    return {12, 7.5, 16, 32, 64, 2.5e-3, true, 2.0};
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

// A spot above which a put is not exercised at any remaining time of the
// period, or 1 (the strike) where its region sweeps through the deep spots
// (the continuation value at sqrt(dividend) falls to the exercise value by
// the period's start). Below the sweep the region is at most where the
// continuation value without exercise in the period (E_G alone, which the
// premium only raises) meets the exercise value, and that spot rises with
// the remaining time: halving from sqrt(dividend) until the exercise value
// exceeds E_G at the period's start, the spot before it bounds the region.
double put_region_bound(const ValueFunction& g, double length, double r, double q, double sigma, double drop) {
    if (!(drop > 0.0 && drop < 1.0)) return 1.0;
    const Move move = make_move(length, r, q, sigma);
    const auto excess = [&](double s) { return g.expect(move, std::log(s), false).v - (1.0 - s); };
    double s = std::sqrt(drop);
    if (excess(s) < 0.0) return 1.0;
    for (int k = 0; k < 60; ++k) {
        if (excess(0.5 * s) < 0.0) return s;
        s *= 0.5;
    }
    return s;
}

}  // namespace

bool covers(const Problem& p) {
    if (!p.american) return true;
    // Within a period a put is exercised only where the interest on the
    // strike outweighs the yield on the spot (r > q S), a call only where
    // the yield outweighs the interest (q S > r): one region below the spot
    // for a put with r > 0, above it for a call with q > 0, and none within
    // periods (the payoff only before ex-dates and at expiry) where that
    // never holds in the money. Left out: a put with q < r <= 0 and a call
    // with r < q <= 0, whose region may be a band between two boundaries.
    if (p.type == OptionType::Call) return !(p.r < p.q && p.q <= 0.0);
    return !(p.q < p.r && p.r <= 0.0);
}

bool Solver::holds(const Problem& pr, double bucket) const {
    if (!(solved_ && key_.t == pr.t && key_.r == pr.r && key_.q == pr.q && key_.sigma == pr.sigma &&
          key_.type == pr.type && key_.american == pr.american && key_.tol == pr.tol && bucket_ == bucket &&
          dividends_.size() == pr.count)) {
        return false;
    }
    for (std::size_t i = 0; i < pr.count; ++i) {
        if (dividends_[i].time != pr.dividends[i].time || dividends_[i].amount != pr.dividends[i].amount) return false;
    }
    return true;
}

// The spots of one bucket of ln S share every period but today's: the
// ranges tabulated and the periods whose boundary is solved follow the
// bucket, not the spot, so a spot reads the same bits alone and in a
// ladder. A bucket is half a standard deviation of the whole life wide.
double Solver::bucket_of(const Problem& pr, double& margin) const {
    const double width = kBucket * pr.sigma * std::sqrt(pr.t);
    const double x0 = std::log(pr.spot);
    margin = 0.5 * width;
    return width > 0.0 && std::isfinite(x0 / width) ? width * std::nearbyint(x0 / width) : x0;
}

Result Solver::solve_near(const Problem& pr, IntegralAmerican& dividend_free, const std::vector<PeriodBoundary>& warm) {
    double margin;
    const double bucket = bucket_of(pr, margin);
    solved_ = false;
    prepare(pr, bucket, margin, dividend_free, warm.size() == pr.count + 1 ? &warm : nullptr);
    key_ = pr;
    return read(pr.spot);
}

Result Solver::solve(const Problem& pr, IntegralAmerican& dividend_free) {
    double margin;
    const double bucket = bucket_of(pr, margin);
    if (!holds(pr, bucket)) {
        solved_ = false;
        prepare(pr, bucket, margin, dividend_free, nullptr);
        key_ = pr;
        key_.dividends = nullptr;
        bucket_ = bucket;
        dividends_.assign(pr.dividends, pr.dividends + pr.count);
        solved_ = true;
    }
    return read(pr.spot);
}

Result Solver::read(double spot) const {
    const bool put = key_.type == OptionType::Put;
    const double x0 = std::log(spot);
    Result res{};
    res.valid = true;
    res.boundary = start_edge_;
    if (region_ && (put ? spot <= start_edge_ : spot >= start_edge_)) {
        res.exercised = true;
        res.v = payoff(put, spot);
        res.dx = put ? -spot : spot;
        res.dxx = res.dx;
        return res;
    }
    Expectation e = next_.expect(move_, x0, true);
    if (region_) {
        const Expectation pm = kept_[0].premium(x0, true);
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

void Solver::prepare(const Problem& pr, double bucket, double margin, IntegralAmerican& dividend_free,
                     const std::vector<PeriodBoundary>* warm) {
    const Settings st = settings(pr.tol);
    // The Gaussian's mass outside the panels an expectation reads, 2
    // Phi(-window), at most 5e-4 tol of the strike.
    const double window = std::sqrt(2.0 * std::log(1.0 / (5e-4 * pr.tol)));
    const bool put = pr.type == OptionType::Put;
    const std::size_t m = pr.count;
    const double r = pr.r, q = pr.q, sigma = pr.sigma;
    const double mu = r - q - 0.5 * sigma * sigma;
    const auto time_of = [&](std::size_t i) { return pr.dividends[i].time; };
    // The spots after the dividends up to `before` where the value is read
    // from today's bucket: reach standard deviations about the drifted
    // bucket's ends.
    const auto reach_of = [&](double before, double& lo, double& hi) {
        const double centre = bucket + mu * before, half = st.reach * sigma * std::sqrt(before) + margin;
        lo = std::exp(centre - half);
        hi = std::exp(centre + half);
    };

    kept_.resize(m + 1);
    set_payoff(put, next_);
    next_.top = std::numeric_limits<double>::infinity();
    next_.finish();
    for (std::size_t p = m + 1; p-- > 0;) {
        // The period's boundary, where one is solved, stays in kept_.
        PeriodBoundary& boundary = kept_[p];
        boundary.active = false;
        const double start = p == 0 ? 0.0 : time_of(p - 1);
        const double end = p < m ? time_of(p) : pr.t;
        const double length = end - start;
        const bool last = p == m;
        bool region = pr.american && (put ? r > 0.0 : q > 0.0) && length > 0.0;
        const bool from_free = last && region;
        double start_edge = put ? 0.0 : kInf;  // exercised at or past it at the period's start
        if (from_free) {
            start_edge = dividend_free.boundary(1.0, length, r, sigma, q, pr.type, pr.tol);
        } else if (region) {
            // The spots at the period's start the value is read at: today's
            // bucket, or the range tabulated for the period before (after its
            // dividend).
            double reach_lo, reach_hi;
            reach_of(0.0, reach_lo, reach_hi);
            if (p > 0) {
                double dropped = 0.0;
                for (std::size_t i = 0; i < p; ++i) dropped += pr.dividends[i].amount;
                reach_of(time_of(p - 1), reach_lo, reach_hi);
                reach_lo -= dropped;
            }
            // Past 8.5 standard deviations of the period (and its drift)
            // from every spot of the exercise region, the premium is below
            // 1e-17 there: such a boundary is not solved.
            const double spread = std::exp(8.5 * sigma * std::sqrt(length) + std::fabs(mu) * length);
            if (put) {
                const double reach = put_region_bound(next_, length, r, q, sigma, pr.dividends[p].amount);
                if (reach * spread < reach_lo) {
                    region = false;
                    start_edge = reach;
                }
            } else if (std::max(1.0, r / q) / spread > reach_hi) {
                region = false;
            }
        }
        if (region && !from_free) {
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
            const BoundaryScheme scheme{st.nodes, st.inner, st.price_points, st.residual * pr.tol, st.polish};
            solve_period_boundary(length, r, q, sigma, put, next_, scheme, c0, pr.dividends[p].amount, boundary,
                                  warm != nullptr ? &(*warm)[p] : nullptr);
            start_edge = boundary.now();
        }
        const Move move = length > 0.0 ? make_move(length, r, q, sigma) : Move{};

        // The value at the period's start, at spot s (after the dividend).
        const auto value_at = [&](double s) -> double {
            if (length == 0.0) return next_.at(s);
            if (region && (put ? s <= start_edge : s >= start_edge)) return payoff(put, s);
            if (from_free) return dividend_free.price({s, 1.0, length, r, sigma, q}, pr.type, pr.tol);
            double v = next_.expect(move, std::log(s), false).v;
            if (region && (put ? s < boundary.premium_reach : s > boundary.premium_reach)) {
                v += boundary.premium(std::log(s), false).v;
            }
            return v;
        };
        // The same at count spots at once.
        const auto values_at = [&](const double* spots, std::size_t count, double* out) {
            double x[kMaxPanelPoints], held[kMaxPanelPoints];
            std::size_t at[kMaxPanelPoints], batch = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const double s = spots[i];
                if (length == 0.0 || from_free || (region && (put ? s <= start_edge : s >= start_edge)) || !(s > 0.0)) {
                    out[i] = value_at(s);
                } else {
                    x[batch] = std::log(s);
                    held[batch] = s;
                    at[batch++] = i;
                }
            }
            if (batch == 0) return;
            double v[kMaxPanelPoints];
            next_.expect_values(move, x, held, batch, v);
            for (std::size_t j = 0; j < batch; ++j) {
                const double s = spots[at[j]];
                const bool reached = region && (put ? s < boundary.premium_reach : s > boundary.premium_reach);
                out[at[j]] = v[j] + (reached ? boundary.premium(x[j], false).v : 0.0);
            }
        };

        if (p == 0) {
            region_ = region;
            start_edge_ = start_edge;
            move_ = move;
            return;
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
        double lower_rel, upper_rel;
        reach_of(before, lower_rel, upper_rel);
        lower_rel -= dropped;
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
            const double half = st.reach * sigma * std::sqrt(before) + margin;
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
        current_.window = window;
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
            }
            if (hi > lo && !closed_last && hi + d < exercise_from) {
                // Between the range and where exercising before the ex-date
                // starts to pay (or above the range), the value is its
                // asymptote: a straight line on (value, slope). On a range
                // narrower than a few such steps (a tiny volatility) the step
                // past its top would read the period after beyond its own
                // range: the slope is taken inside. When the spot's mean path
                // lies past the top (a deep in-the-money call), the line is
                // read at the path: at the top, near the lowest spots in
                // reach, the period after holds only part of the move.
                const double at = path - d > hi ? path - d : hi;
                double h = 1e-4 * at;
                if (at == hi && h > 0.25 * (hi - lo)) h = -0.25 * (hi - lo);
                const double v1 = value_at(at), v2 = value_at(at + h);
                const double slope = (v2 - v1) / h;
                current_.linear.push_back({hi + d, exercise_from, v1 - slope * (at + d), slope});
            }
        }

        // Panels in ln(S - d): at most `widest` standard deviations of the
        // remaining life wide to start with, cut at the spots where the
        // terminal function of the period has its kinks (near which the
        // value is sharpest), and halved until the last Legendre
        // coefficients of every panel are below the tol's share.
        const PanelRule& rule = panel_rule(st.points);
        const double finest = 0.2 * sigma * std::sqrt(length > 0.0 ? length : 1e-12);
        // With a tiny volatility the drift, not the spread, sets the range:
        // the first cut is at most kFirstPanels panels across it, or their
        // number grows as 1/sigma (a call that never returned at 1e-9).
        const double widest = st.widest * sigma * std::sqrt(rem);
        const double coarsest = hi > lo ? std::max(widest, std::log(hi / lo) / kFirstPanels) : widest;
        const double resolution = kPanelResolution * pr.tol;
        std::vector<double> cuts;
        const auto tabulate_panel = [&](double ua, double ub, Panel& panel, double& tail) {
            panel.y0 = std::log(std::exp(ua) + d);
            panel.y1 = std::log(std::exp(ub) + d);
            double spots[kMaxPanelPoints], values[kMaxPanelPoints];
            for (std::size_t i = 0; i < rule.size; ++i) {
                const double yi = 0.5 * (panel.y0 + panel.y1) + 0.5 * (panel.y1 - panel.y0) * rule.x[i];
                spots[i] = std::exp(yi) - d;
            }
            values_at(spots, rule.size, values);
            for (std::size_t i = 0; i < rule.size; ++i) panel.g[i] = values[i] - asymptote(spots[i]);
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
}

}  // namespace varnelle::dividend_integral
