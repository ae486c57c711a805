// Child processes, started by full path with an argument list, never through
// a shell. A child inherits only its three standard streams, dies with its
// parent (Linux), and is killed and reaped when the wait for it throws.
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
    // Streams not redirected here are inherited.
    int stdin_fd = -1;  // read from this open descriptor (left open)
    bool capture_stdout = false;
    // Standard output handed over as it arrives, so the caller sees every
    // write fail (programs that ignore their write errors exit 0 all the
    // same). An exception from the sink kills the child.
    std::function<void(std::string_view)> stdout_sink;
    bool capture_stderr = false;
    // Variables set (or replaced) in a copy of the current environment.
    std::vector<std::pair<std::string, std::string>> environment_overrides;
    // Killed and TimeoutExpired raised when it runs longer.
    std::optional<double> timeout_seconds;
    // Ended with SIGTERM (SIGKILL after a grace period), so that it can remove
    // its temporary files, when the wait is abandoned or (Linux) this process dies.
    bool stopped_gently = false;
};

struct ChildResult {
    // The exit code, or minus the number of the signal that ended the child.
    int exit_status = 0;
    std::string stdout_data;
    std::string stderr_data;
};

// Runs argv[0] (a path) and waits for it, calling check_interrupt() at least
// every 100 ms and once after the end. OSError when it cannot start,
// TimeoutExpired when it outlives its time-out; a non-zero exit is no error.
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options);

// The command line a child's C runtime (CommandLineToArgvW) splits back into
// `argv`, quoted as the host's subprocess.list2cmdline quotes it: an empty
// argument or one with a space or tab goes in double quotes, and backslashes
// before a double quote (escaped as \") or the closing quote are doubled.
std::string quote_command_line(const std::vector<std::string>& argv);

}  // namespace merivane
