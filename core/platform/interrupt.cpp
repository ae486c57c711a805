#include "platform/interrupt.hpp"

#include <atomic>

namespace merivane {

namespace {
std::atomic<InterruptCheck> installed{nullptr};
}  // namespace

InterruptCheck set_interrupt_check(InterruptCheck check) noexcept { return installed.exchange(check); }

void check_interrupt() {
    if (const InterruptCheck check = installed.load(std::memory_order_relaxed)) check();
}

}  // namespace merivane
