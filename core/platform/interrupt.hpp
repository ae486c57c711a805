// Cancellation of long calls. A host that can be interrupted (Ctrl-C)
// installs a check; long loops and waits for a child call check_interrupt()
// often, at least every 100 ms or so of work. The check throws to abandon
// the call: whatever it throws travels up unchanged while the owners of
// descriptors, temporaries, partial outputs and children clean up on the
// way. Only the calling thread checks, never a worker thread.
#pragma once

namespace merivane {

using InterruptCheck = void (*)();

// Installs the process-wide check (nullptr: none). Returns the previous one.
InterruptCheck set_interrupt_check(InterruptCheck check) noexcept;

// Runs the installed check, if any.
void check_interrupt();

}  // namespace merivane
