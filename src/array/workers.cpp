#include "workers.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "interrupt.hpp"

namespace varnelle::array {
namespace {

thread_local int t_workers = 1;

// Estimated work of the unsliced calls since this thread last looked for
// signals. NumPy hands a loop a buffer at a time (8,192 rows) when it must
// cast or walk a non-contiguous layout, so a long ufunc call can arrive as
// many short loop calls; they are counted together.
thread_local double t_unpolled_ns = 0.0;

// Set when a signal handler raised in this thread. NumPy does not look for
// the exception between the buffers of one call, so the loop calls that
// follow skip their rows for as long as the exception is pending.
thread_local bool t_interrupted = false;

bool poll_signals() noexcept {
    if (!on_main_thread() || !signal_raised()) return false;
    t_interrupted = true;
    return true;
}

// Below this much work per extra thread, starting the thread costs more than
// it saves.
constexpr double kMinimumNsPerThread = 100'000.0;

// Calls estimated below this run in one piece: they end before a person
// pressing Ctrl-C would notice. Larger ones run in slices of about this much
// work, and the calling thread looks for signals between its slices, so a
// SIGINT is seen within a few slices even when the per-row cost is off by
// ten (one poll takes a microsecond: well under 0.1 % of a slice).
constexpr double kSliceNs = 20'000'000.0;

// A call worth slicing: the rows of each part run slice by slice, each part
// stopping at the next slice once `stop` is set.
class SlicedCall {
public:
    SlicedCall(std::ptrdiff_t slice_rows, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body)
        : slice_rows_(slice_rows), body_(body) {}

    // Runs [begin, end) on a worker thread.
    void run_part(std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        for (std::ptrdiff_t at = begin; at < end && !stop_.load(std::memory_order_relaxed); at += slice_rows_) {
            body_(at, std::min(end, at + slice_rows_));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        done_.notify_one();
    }

    // Runs [begin, end) on the calling thread, looking for signals after each
    // slice (on the main thread: see interrupt.hpp).
    void run_calling_part(std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        for (std::ptrdiff_t at = begin; at < end && !stop_.load(std::memory_order_relaxed); at += slice_rows_) {
            body_(at, std::min(end, at + slice_rows_));
            poll();
        }
    }

    // Waits for `workers` parts run on other threads, still looking for
    // signals while they run.
    void wait_for(std::ptrdiff_t workers) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        while (finished_ < workers) {
            if (done_.wait_for(lock, std::chrono::milliseconds(20), [&] { return finished_ >= workers; })) break;
            lock.unlock();
            poll();
            lock.lock();
        }
    }

private:
    void poll() noexcept {
        if (!stop_.load(std::memory_order_relaxed) && poll_signals()) {
            stop_.store(true, std::memory_order_relaxed);
        }
    }

    const std::ptrdiff_t slice_rows_;
    const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    std::ptrdiff_t finished_ = 0;
};

}  // namespace

int current_workers() noexcept { return t_workers; }

int set_workers(int workers) noexcept {
    const int previous = t_workers;
    t_workers = std::clamp(workers, 1, kMaxWorkers);
    return previous;
}

void split_rows(std::ptrdiff_t rows, double cost_ns,
                const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) noexcept {
    if (t_interrupted) [[unlikely]] {
        if (exception_pending()) return;
        t_interrupted = false;  // handled: this is a new call
    }
    const double work = static_cast<double>(rows) * cost_ns;
    const auto worth = static_cast<std::ptrdiff_t>(work / kMinimumNsPerThread);
    const std::ptrdiff_t parts = std::min<std::ptrdiff_t>({t_workers, worth, rows});
    const bool sliced = work >= kSliceNs;
    if (!sliced && parts <= 1) {
        body(0, rows);
        t_unpolled_ns += work;
        if (t_unpolled_ns >= kSliceNs) [[unlikely]] {
            t_unpolled_ns = 0.0;
            poll_signals();
        }
        return;
    }
    // A call too short to slice but worth threads runs each part whole.
    const auto slice_rows =
        sliced ? std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(kSliceNs / cost_ns)) : rows;
    SlicedCall call(slice_rows, body);
    if (parts <= 1) {
        call.run_calling_part(0, rows);
        return;
    }
    std::vector<std::thread> threads;
    const auto begin_of = [&](std::ptrdiff_t part) { return rows * part / parts; };
    std::ptrdiff_t part = 1;
    try {
        threads.reserve(static_cast<std::size_t>(parts - 1));
        for (; part < parts; ++part) {
            threads.emplace_back([&call, b = begin_of(part), e = begin_of(part + 1)] { call.run_part(b, e); });
        }
    } catch (...) {
        // No thread could be started: the caller does the remaining ranges.
    }
    call.run_calling_part(0, begin_of(1));
    if (part < parts) call.run_calling_part(begin_of(part), rows);
    call.wait_for(static_cast<std::ptrdiff_t>(threads.size()));
    for (auto& thread : threads) thread.join();
}

}  // namespace varnelle::array
