#include "workers.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "interrupt.hpp"
#include "plan.hpp"

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
    const PartPlan plan = plan_parts(rows, cost_ns, t_workers);
    if (!plan.sliced && plan.parts <= 1) {
        body(0, rows);
        t_unpolled_ns += plan.work_ns;
        if (t_unpolled_ns >= kSliceNs) [[unlikely]] {
            t_unpolled_ns = 0.0;
            poll_signals();
        }
        return;
    }
    // A call too short to slice but worth threads runs each part whole.
    SlicedCall call(plan.slice_rows, body);
    if (plan.parts <= 1) {
        call.run_calling_part(0, rows);
        return;
    }
    std::vector<std::thread> threads;
    std::ptrdiff_t started = 0;
    try {
        threads.reserve(static_cast<std::size_t>(plan.parts - 1));
        for (std::ptrdiff_t part = 1; part < plan.parts; ++part) {
            const RowRange range = plan.part(part);
            threads.emplace_back([&call, range] { call.run_part(range.begin, range.end); });
            ++started;
        }
    } catch (...) {
        // The system refused a thread, the first or a later one: the parts
        // from there on run on the calling thread, after its own.
    }
    const RowRange own = plan.part(0);
    call.run_calling_part(own.begin, own.end);
    const RowRange rest = plan.left_over(started);
    if (rest.begin < rest.end) call.run_calling_part(rest.begin, rest.end);
    call.wait_for(started);
    for (auto& thread : threads) thread.join();
}

}  // namespace varnelle::array
