// How one ufunc call's rows are shared among threads and cut into slices.
// Plain arithmetic, apart from the threads, the signals and Python, so that
// it is tested on its own (tests/cpp/test_plan_parts.cpp).
#pragma once

#include <algorithm>
#include <cstddef>

namespace varnelle::array {

// Below this much work per extra thread, starting the thread costs more than
// it saves.
inline constexpr double kMinimumNsPerThread = 100'000.0;

// Calls estimated below this run in one piece: they end before a person
// pressing Ctrl-C would notice. Larger ones run in slices of about this much
// work, and the calling thread looks for signals between its slices, so a
// SIGINT is seen within a few slices even when the per-row cost is off by
// ten (one poll takes a microsecond: well under 0.1 % of a slice).
inline constexpr double kSliceNs = 20'000'000.0;

struct RowRange {
    std::ptrdiff_t begin;
    std::ptrdiff_t end;
};

struct PartPlan {
    std::ptrdiff_t rows;
    std::ptrdiff_t parts;       // contiguous ranges run side by side, part 0 on the calling thread
    bool sliced;                // run slice by slice, looking for signals in between
    std::ptrdiff_t slice_rows;  // rows of a slice (all of them when not sliced)
    double work_ns;             // the estimated work of the whole call

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
    const bool sliced = work >= kSliceNs;
    const std::ptrdiff_t slice_rows =
        sliced ? std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(kSliceNs / cost_ns)) : rows;
    return {rows, parts, sliced, slice_rows, work};
}

}  // namespace varnelle::array
