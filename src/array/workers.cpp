#include "workers.hpp"

#include <algorithm>
#include <thread>
#include <vector>

namespace varnelle::array {
namespace {

thread_local int t_workers = 1;

// Below this much work per extra thread, starting the thread costs more than
// it saves.
constexpr double kMinimumNsPerThread = 100'000.0;

}  // namespace

int current_workers() noexcept { return t_workers; }

int set_workers(int workers) noexcept {
    const int previous = t_workers;
    t_workers = workers < 1 ? 1 : workers;
    return previous;
}

void split_rows(std::ptrdiff_t rows, double cost_ns,
                const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) noexcept {
    const double work = static_cast<double>(rows) * cost_ns;
    const auto worth = static_cast<std::ptrdiff_t>(work / kMinimumNsPerThread);
    const std::ptrdiff_t parts = std::min<std::ptrdiff_t>({t_workers, worth, rows});
    if (parts <= 1) {
        body(0, rows);
        return;
    }
    std::vector<std::thread> threads;
    const auto begin_of = [&](std::ptrdiff_t part) { return rows * part / parts; };
    std::ptrdiff_t part = 1;
    try {
        threads.reserve(static_cast<std::size_t>(parts - 1));
        for (; part < parts; ++part) threads.emplace_back(body, begin_of(part), begin_of(part + 1));
    } catch (...) {
        // No thread could be started: the caller does the remaining ranges.
    }
    body(0, begin_of(1));
    if (part < parts) body(begin_of(part), rows);
    for (auto& thread : threads) thread.join();
}

}  // namespace varnelle::array
