#include "workers.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "interrupt.hpp"
#include "plan.hpp"
#include "pricing/core/cancellation.hpp"

namespace varnelle::array {
namespace {

thread_local int t_workers = 1;

// Estimated work of the unwatched calls since this thread last looked for
// signals. NumPy hands a loop a buffer at a time (8,192 rows) when it must
// cast or walk a non-contiguous layout, so a long ufunc call can arrive as
// many short loop calls; they are counted together.
thread_local double t_unpolled_ns = 0.0;

// Set when a signal handler raised in this thread. NumPy does not look for
// the exception between the buffers of one call, so the loop calls that
// follow skip their rows for as long as the exception is pending.
thread_local bool t_interrupted = false;

bool poll_signals() noexcept {
    t_unpolled_ns = 0.0;
    if (!on_main_thread() || !signal_raised()) return false;
    t_interrupted = true;
    return true;
}

// The threads of one call beyond the calling one, each running a range of
// rows under a cancellation scope on the call's stop flag, so that a row
// stops within a time step or a price of it once the flag is set.
class Crew {
public:
    explicit Crew(const RowBody& body) noexcept : body_(body) {}

    ~Crew() {
        for (auto& thread : threads_) thread.join();
    }

    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Runs [range.begin, range.end) on a thread of its own; false when the
    // system refuses one.
    bool start(RowRange range) noexcept {
        try {
            threads_.emplace_back([this, range] { run(range); });
        } catch (...) {
            return false;
        }
        ++started_;
        return true;
    }

    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // The calling thread's own rows, from begin on, under the same flag.
    void run_here(RowRange range) noexcept {
        const CancellationScope scope(&stop_);
        body_(range.begin, range.end);
    }

    // Waits for every thread started; when `watch`, runs the signal handlers
    // every kWatchInterval meanwhile and on an interrupt stops the rows.
    void wait(bool watch) noexcept {
        std::optional<LockReleased> released;
        if (watch) released.emplace();
        std::unique_lock<std::mutex> lock(mutex_);
        while (finished_ < started_) {
            const auto all_done = [&] { return finished_ >= started_; };
            if (!watch || stopped()) {
                done_.wait(lock, all_done);
                break;
            }
            if (done_.wait_for(lock, kWatchInterval, all_done)) break;
            lock.unlock();
            if (poll_signals()) stop_.store(true, std::memory_order_relaxed);
            lock.lock();
        }
    }

    void stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

private:
    static constexpr std::chrono::milliseconds kWatchInterval{20};

    void run(RowRange range) noexcept {
        {
            const CancellationScope scope(&stop_);
            body_(range.begin, range.end);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        done_.notify_one();
    }

    const RowBody& body_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    std::ptrdiff_t started_ = 0;   // written by the calling thread only
    std::ptrdiff_t finished_ = 0;  // under mutex_
    std::vector<std::thread> threads_;
};

// The calling thread's own rows on the main thread: computed here until the
// watchdog raises the stretch's yield flag (interrupt.hpp); the rows stop
// there, the signal handlers run, and the rows not finished go to a thread
// of the crew, leaving this one free to watch. The row being computed when
// the flag rose is not stored and is computed again from scratch, with the
// same bits, by that thread.
void run_watched(Crew& crew, const RowBody& body, RowRange range) noexcept {
    std::ptrdiff_t reached;
    bool yielded;
    {
        const MainStretch stretch;
        const CancellationScope scope(&stretch.yield());
        reached = body(range.begin, range.end);
        yielded = stretch.yield().load(std::memory_order_relaxed);
    }
    if (yielded && poll_signals()) {
        crew.stop();
        return;
    }
    if (reached >= range.end) return;
    // Without a thread to take them, the rows are finished here, unwatched.
    if (!crew.start({reached, range.end})) crew.run_here({reached, range.end});
}

}  // namespace

int current_workers() noexcept { return t_workers; }

int set_workers(int workers) noexcept {
    const int previous = t_workers;
    t_workers = std::clamp(workers, 1, kMaxWorkers);
    return previous;
}

void split_rows(std::ptrdiff_t rows, double cost_ns, const RowBody& body) noexcept {
    if (t_interrupted) [[unlikely]] {
        if (exception_pending()) return;
        t_interrupted = false;  // handled: this is a new call
    }
    const PartPlan plan = plan_parts(rows, cost_ns, t_workers);
    if (plan.parts <= 1 && !plan.watched) {
        // Known to be short: computed here; a run of such calls still looks
        // for signals every kPollNs of their estimated work.
        body(0, rows);
        t_unpolled_ns += plan.work_ns;
        if (t_unpolled_ns >= kPollNs) [[unlikely]] poll_signals();
        return;
    }
    const bool main = on_main_thread();
    if (plan.parts <= 1 && !main) {
        body(0, rows);  // nothing to watch for off the main thread
        return;
    }
    Crew crew(body);
    std::ptrdiff_t started = 0;
    while (started + 1 < plan.parts && crew.start(plan.part(started + 1))) ++started;
    // The parts that got no thread run here after this thread's own.
    for (const RowRange range : {plan.part(0), plan.left_over(started)}) {
        if (range.begin >= range.end || crew.stopped()) continue;
        if (main) {
            run_watched(crew, body, range);
        } else {
            crew.run_here(range);
        }
    }
    crew.wait(main);
}

}  // namespace varnelle::array
