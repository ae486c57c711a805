// Cancellation of long calls. A host that can be interrupted (Ctrl-C)
// installs a check, which long work calls about every 100 ms from the calling
// thread only (never a worker); what it throws travels up unchanged while the
// owners of descriptors, temporaries, outputs and children clean up.
#pragma once

#include <chrono>

namespace merivane {

using InterruptCheck = void (*)();

// Installs the process-wide check (nullptr: none); returns the previous one.
InterruptCheck set_interrupt_check(InterruptCheck check) noexcept;

void check_interrupt();

// The check from a hot loop: the clock is cheap, the check (which may take a
// lock in the host) runs about every 50 ms.
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

}  // namespace merivane
