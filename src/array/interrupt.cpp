#include "interrupt.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "binding/python.hpp"

namespace varnelle::array {
namespace {

std::atomic<unsigned long> g_main_thread{0};

// The watchdog looks every kTick; kBusyTicks looks that find the main thread
// computing, with no signal check in between, raise the yield flag (so after
// 20-30 ms of computing, split over any number of ufunc calls: NumPy hands
// a loop 8,192 rows at a time when it casts, and such a call arrives as many
// short stretches). kIdleTicks looks without a stretch end the watchdog, so
// no thread lingers long after the last call (a lingering thread makes
// os.fork warn, and costs a wake-up every tick).
constexpr std::chrono::milliseconds kTick{10};
constexpr int kBusyTicks = 3;
constexpr int kIdleTicks = 100;

// What the main thread and the watchdog share; plain atomics with static
// storage, so a watchdog still sleeping at process exit touches nothing
// destroyed.
std::atomic<bool> g_computing{false};  // a MainStretch is alive
std::atomic<bool> g_yield{false};      // raised by the watchdog, cleared by each new stretch
std::atomic<std::uint64_t> g_polls{0};  // signal checks of the main thread so far
std::atomic<bool> g_watchdog{false};   // a watchdog thread runs, or is being started

void watch_main_thread() noexcept {
    std::uint64_t seen = g_polls.load();
    int busy = 0;
    int idle = 0;
    for (;;) {
        std::this_thread::sleep_for(kTick);
        const std::uint64_t polls = g_polls.load();
        if (polls != seen) {
            seen = polls;
            busy = 0;
        }
        if (g_computing.load()) {
            idle = 0;
            if (++busy >= kBusyTicks) g_yield.store(true);
            continue;
        }
        if (++idle < kIdleTicks) continue;
        g_watchdog.store(false);
        // A stretch that began just now may have seen the old value and
        // started no watchdog: carry on for it, unless it started one.
        if (!g_computing.load() || g_watchdog.exchange(true)) return;
        idle = 0;
    }
}

// A child made by fork() has no watchdog, whatever the flags say.
void after_fork_in_child() {
    g_computing.store(false);
    g_yield.store(false);
    g_watchdog.store(false);
}

void start_watchdog() noexcept {
    static std::once_flag fork_handler;
    try {
        std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
        std::thread(watch_main_thread).detach();
    } catch (...) {
        g_watchdog.store(false);  // the next stretch tries again
    }
}

}  // namespace

int remember_main_thread() noexcept {
    PyObject* threading = PyImport_ImportModule("threading");
    if (threading == nullptr) return -1;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DecRef(threading);
    if (main == nullptr) return -1;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DecRef(main);
    if (ident == nullptr) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident);
    Py_DecRef(ident);
    if (PyErr_Occurred()) return -1;
    g_main_thread.store(value, std::memory_order_relaxed);
    return 0;
}

bool on_main_thread() noexcept { return PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed); }

bool signal_raised() noexcept {
    // NumPy may or may not hold the lock here (it keeps it for short calls);
    // PyGILState_Ensure works either way.
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    g_polls.fetch_add(1);
    return raised;
}

bool exception_pending() noexcept {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool pending = PyErr_Occurred() != nullptr;
    PyGILState_Release(state);
    return pending;
}

LockReleased::LockReleased() noexcept {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool held = state == PyGILState_LOCKED;  // held before Ensure
    PyGILState_Release(state);
    if (held) saved_ = PyEval_SaveThread();
}

LockReleased::~LockReleased() {
    if (saved_ != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(saved_));
}

MainStretch::MainStretch() noexcept {
    g_yield.store(false);
    g_computing.store(true);
    if (!g_watchdog.load() && !g_watchdog.exchange(true)) start_watchdog();
}

MainStretch::~MainStretch() { g_computing.store(false); }

const std::atomic<bool>& MainStretch::yield() const noexcept { return g_yield; }

}  // namespace varnelle::array
