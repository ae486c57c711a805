// Waiting for a child, the same on every system.
#include "platform/process.hpp"

#include <algorithm>
#include <chrono>

#include "platform/error.hpp"
#include "platform/interrupt.hpp"
#include "platform/system_files.hpp"

namespace merivane {

void os::take_output(const ChildOptions& options, ChildResult& result, bool from_stdout, std::string_view data) {
    if (from_stdout && options.stdout_sink) return options.stdout_sink(data);
    (from_stdout ? result.stdout_data : result.stderr_data).append(data);
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    // The longest a wait goes without asking whether the call was interrupted.
    constexpr long long kInterruptPollMs = 100;
    if (argv.empty()) throw ValueError("run_child needs a program to run");
    const std::unique_ptr<os::RunningChild> child = os::start_child(argv, options);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds.value_or(0) * 1000.0));
    ChildResult result;
    InterruptPoller poller;  // output can arrive faster than the check needs
    for (;;) {
        long long wait_ms = kInterruptPollMs;
        if (options.timeout_seconds) {
            const auto left = deadline - std::chrono::steady_clock::now();
            wait_ms = std::min<long long>(wait_ms, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
            // Thrown with the child still running: its owner kills it.
            if (wait_ms <= 0) throw TimeoutExpired(argv, *options.timeout_seconds);
        }
        if (const std::optional<int> status = child->step(static_cast<int>(wait_ms), result)) {
            result.exit_status = *status;
            break;
        }
        poller.poll();
    }
    // A Ctrl-C reaches the child too: the caller should see the interrupt.
    check_interrupt();
    return result;
}

std::string quote_command_line(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& argument : argv) {
        if (!line.empty()) line += ' ';
        const bool quoted = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        if (quoted) line += '"';
        std::size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        // Trailing backslashes are literal unless a closing quote follows.
        line.append(quoted ? backslashes * 2 : backslashes, '\\');
        if (quoted) line += '"';
    }
    return line;
}

}  // namespace merivane
