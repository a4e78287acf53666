#include "pricing/core/cancellation.hpp"

namespace varnelle {
namespace {

thread_local const std::atomic<bool>* current_flag = nullptr;

}  // namespace

CancellationScope::CancellationScope(const std::atomic<bool>* flag) noexcept : previous_(current_flag) {
    current_flag = flag;
}

CancellationScope::~CancellationScope() { current_flag = previous_; }

bool cancellation_requested() noexcept {
    const std::atomic<bool>* flag = current_flag;
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

}  // namespace varnelle
