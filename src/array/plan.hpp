// How one ufunc call's rows are shared among threads, and whether the main
// thread must watch it by time for Ctrl-C.
// Plain arithmetic, apart from the threads, the signals and Python, so that
// it is tested on its own (tests/cpp/test_plan_parts.cpp).
#pragma once

#include <algorithm>
#include <cstddef>

namespace varnelle::array {

// Below this much work per extra thread, starting the thread costs more than
// it saves.
inline constexpr double kMinimumNsPerThread = 100'000.0;

// A run of calls on the main thread looks for signals once its estimated
// work reaches this: a person pressing Ctrl-C waits no longer than that
// (one look takes a microsecond, well under 0.1 % of it).
inline constexpr double kPollNs = 20'000'000.0;

// Rows estimated at this or more are the integral model's, whose cost varies
// by orders of magnitude from row to row (a two-boundary row or a long life
// costs a thousand times a calm one): their calls are watched by time
// (interrupt.hpp) whatever their estimate says. Cheaper rows, closed forms,
// cost what the table says within a small factor.
inline constexpr double kVariableRowNs = 10'000.0;

struct RowRange {
    std::ptrdiff_t begin;
    std::ptrdiff_t end;
};

struct PartPlan {
    std::ptrdiff_t rows;
    std::ptrdiff_t parts;  // contiguous ranges run side by side, part 0 on the calling thread
    bool watched;          // may run long enough that the main thread must watch it by time
    double work_ns;        // the estimated work of the whole call

    constexpr RowRange part(std::ptrdiff_t index) const noexcept {
        return {rows * index / parts, rows * (index + 1) / parts};
    }

    // What the calling thread runs after its own part when only `started`
    // of the other parts got a thread (all of them normally; fewer when the
    // system refuses a thread): every part from the first without one on,
    // as one range, empty when every part has a thread.
    constexpr RowRange left_over(std::ptrdiff_t started) const noexcept {
        return {std::min(rows, part(started + 1).begin), rows};
    }
};

// The plan for `rows` rows of about cost_ns each on at most `workers`
// threads, the calling one included.
constexpr PartPlan plan_parts(std::ptrdiff_t rows, double cost_ns, int workers) noexcept {
    const double work = static_cast<double>(rows) * cost_ns;
    const auto worth = static_cast<std::ptrdiff_t>(work / kMinimumNsPerThread);
    const std::ptrdiff_t parts = std::max<std::ptrdiff_t>(1, std::min<std::ptrdiff_t>({workers, worth, rows}));
    const bool watched = rows > 0 && (work >= kPollNs || cost_ns >= kVariableRowNs);
    return {rows, parts, watched, work};
}

}  // namespace varnelle::array
