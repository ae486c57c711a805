// Polling the host's interrupt check from a hot loop without paying for it
// on every iteration: the clock is cheap, the check (which may take a lock
// in the host) runs about every 50 ms.
#pragma once

#include <chrono>

#include "platform/interrupt.hpp"

namespace merivane::compression {

class InterruptPoller {
public:
    void poll() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        check_interrupt();
        next_ = now + std::chrono::milliseconds(50);
    }

    // For loops whose iterations are too short even for the clock.
    void poll_every(unsigned mask) {
        if ((++count_ & mask) == 0) poll();
    }

private:
    std::chrono::steady_clock::time_point next_{};
    unsigned count_ = 0;
};

}  // namespace merivane::compression
