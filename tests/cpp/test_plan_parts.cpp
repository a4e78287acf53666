// How a ufunc call shares its rows among threads (array/plan.hpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "array/plan.hpp"

namespace varnelle::array {
namespace {

// Every row run exactly once: part 0, the started parts and the left-over
// range together, whatever number of threads the system granted.
void expect_every_row_once(const PartPlan& plan, std::ptrdiff_t started) {
    std::vector<int> runs(static_cast<std::size_t>(plan.rows), 0);
    const auto mark = [&](RowRange range) {
        for (std::ptrdiff_t row = range.begin; row < range.end; ++row) ++runs[static_cast<std::size_t>(row)];
    };
    mark(plan.part(0));
    for (std::ptrdiff_t part = 1; part <= started; ++part) mark(plan.part(part));
    mark(plan.left_over(started));
    for (std::size_t row = 0; row < runs.size(); ++row) ASSERT_EQ(runs[row], 1) << "row " << row;
}

struct PlanCase {
    std::ptrdiff_t rows;
    double cost_ns;
    int workers;
    std::ptrdiff_t parts;
    bool sliced;
};

class PlanParts : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanParts, SharesRowsAsTheCostModelSays) {
    const PlanCase c = GetParam();
    const PartPlan plan = plan_parts(c.rows, c.cost_ns, c.workers);
    EXPECT_EQ(plan.parts, c.parts);
    EXPECT_EQ(plan.sliced, c.sliced);
    const auto slice_rows = std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(kSliceNs / c.cost_ns));
    EXPECT_EQ(plan.slice_rows, plan.sliced ? slice_rows : c.rows);
    for (const std::ptrdiff_t started : {std::ptrdiff_t{0}, std::ptrdiff_t{1}, plan.parts / 2, plan.parts - 1}) {
        if (started < plan.parts) expect_every_row_once(plan, started);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanParts,
    ::testing::Values(
        PlanCase{0, 40, 8, 1, false},              // nothing to do
        PlanCase{1, 40, 8, 1, false},              // one cheap row
        PlanCase{2'000, 40, 8, 1, false},          // 80 us: not worth a second thread
        PlanCase{10'000, 40, 8, 4, false},         // 400 us: one thread per 100 us of work
        PlanCase{10'000, 40, 2, 2, false},         // ... but no more than asked for
        PlanCase{3, 1e6, 8, 3, false},             // costly rows: no more parts than rows
        PlanCase{1'000'000, 40, 1, 1, true},       // 40 ms: sliced, on the calling thread alone
        PlanCase{1'000'000, 40, 4096, 400, true},  // 40 ms: one part per 100 us of work
        PlanCase{100'000, 1e6, 4096, 4096, true},  // as many parts as threads allowed
        PlanCase{7, 1e8, 3, 3, true}));            // a slice is never less than a row

TEST(PlanParts, SlicesHoldAboutTwentyMillisecondsOfWork) {
    const PartPlan plan = plan_parts(10'000'000, 500, 1);
    EXPECT_TRUE(plan.sliced);
    EXPECT_EQ(plan.slice_rows, 40'000);
    EXPECT_DOUBLE_EQ(plan.work_ns, 5e9);
}

TEST(PlanParts, PartsAreContiguousAndEven) {
    const PartPlan plan = plan_parts(10, 1e6, 4);
    ASSERT_EQ(plan.parts, 4);
    std::ptrdiff_t expected_begin = 0;
    for (std::ptrdiff_t part = 0; part < plan.parts; ++part) {
        const RowRange range = plan.part(part);
        EXPECT_EQ(range.begin, expected_begin);
        EXPECT_GE(range.end - range.begin, 2);
        EXPECT_LE(range.end - range.begin, 3);
        expected_begin = range.end;
    }
    EXPECT_EQ(expected_begin, 10);
}

TEST(PlanParts, WhatTheCallingThreadTakesOverWhenThreadsAreRefused) {
    const PartPlan plan = plan_parts(100, 1e6, 4);  // parts of 25 rows
    ASSERT_EQ(plan.parts, 4);
    EXPECT_EQ(plan.left_over(0).begin, 25);  // no thread: everything after its own part
    EXPECT_EQ(plan.left_over(2).begin, 75);  // the third refused: the last part
    EXPECT_EQ(plan.left_over(3).begin, 100); // every thread started: nothing
    EXPECT_EQ(plan.left_over(3).end, 100);
}

}  // namespace
}  // namespace varnelle::array
