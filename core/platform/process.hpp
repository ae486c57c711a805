// Child processes and executable lookup. Children are always started by full
// path with an argument list, never through a shell. A child inherits no
// descriptor but its three standard streams, dies with its parent (Linux),
// and is killed and reaped when the wait for it ends in an exception (an
// interrupt, a time-out, a failed write of its output).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merivane {

// The full path of the first executable file called `name` on the PATH, as
// Python's shutil.which finds it; nullopt when there is none.
std::optional<std::string> find_executable(const std::string& name);

struct ChildOptions {
    // Standard input read from this open descriptor (left open); otherwise
    // inherited.
    int stdin_fd = -1;
    // Standard output captured (or handed over, below); otherwise inherited.
    bool capture_stdout = false;
    // Standard output handed over chunk by chunk as it arrives, so the caller
    // sees every write fail (programs that ignore their own write errors exit
    // 0 all the same). An exception from the sink kills the child.
    std::function<void(std::string_view)> stdout_sink;
    bool capture_stderr = false;
    // Variables set (or replaced) in a copy of the current environment.
    std::vector<std::pair<std::string, std::string>> environment_overrides;
    // Killed and TimeoutExpired raised when it runs longer.
    std::optional<double> timeout_seconds;
    // Ended with SIGTERM rather than SIGKILL, so that it can remove its own
    // temporary files: when the wait for it is abandoned (killed after a
    // grace period if it lingers) and when this process dies first (Linux).
    bool stopped_gently = false;
};

struct ChildResult {
    // The exit code, or minus the number of the signal that ended the child.
    int exit_status = 0;
    std::string stdout_data;
    std::string stderr_data;
};

// Runs argv[0] (a path) and waits for it, calling check_interrupt() at
// least every 100 ms (and once more after the child has ended); what that
// throws propagates once the child is killed and reaped. OSError when it
// cannot be started, TimeoutExpired when it outlives its time-out; a
// non-zero exit is reported in the result, not raised.
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options);

// The command line that Windows' CommandLineToArgvW (a child's C runtime)
// splits back into `argv`, quoted as the host's subprocess.list2cmdline
// quotes it: an argument with a space or a tab, or an empty one, goes in
// double quotes; a double quote is escaped with a backslash, and so are the
// backslashes right before a double quote (or before the closing one), which
// are doubled. Other backslashes stand as they are.
std::string quote_command_line(const std::vector<std::string>& argv);

}  // namespace merivane
