// Cancellation of long calls. A host that can be interrupted (Ctrl-C)
// installs a check; long loops and waits for a child call check_interrupt()
// often, at least every 100 ms or so of work. The check throws to abandon
// the call: whatever it throws travels up unchanged while the owners of
// descriptors, temporaries, partial outputs and children clean up on the
// way. Only the calling thread checks, never a worker thread.
#pragma once

#include <chrono>

namespace merivane {

using InterruptCheck = void (*)();

// Installs the process-wide check (nullptr: none). Returns the previous one.
InterruptCheck set_interrupt_check(InterruptCheck check) noexcept;

// Runs the installed check, if any.
void check_interrupt();

// Polling the check from a hot loop without paying for it on every
// iteration: the clock is cheap, the check (which may take a lock in the
// host) runs about every 50 ms.
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
