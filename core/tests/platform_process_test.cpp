// Children seen through a POSIX shell, /proc and fork; the tests that hold
// on every system use the test child instead (platform_test.cpp).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/error.hpp"
#include "platform/interrupt.hpp"
#include "platform/process.hpp"
#include "test_support.hpp"
#endif

#ifndef _WIN32
namespace merivane {
namespace {

using testing::read_file;
using testing::TempDir;

std::string shell() {
    const auto sh = find_executable("sh");
    if (!sh) throw std::runtime_error("no sh");
    return *sh;
}

// Whether a process still runs (a zombie waiting for its reaper does not).
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool stops_running(pid_t pid) {
    for (int i = 0; i < 200 && running(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !running(pid);
}

pid_t wait_for_pid_file(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::istringstream in(read_file(path));
        pid_t pid = 0;
        if (in >> pid && pid > 0) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

TEST(Process, ChildInheritsOnlyItsStandardStreams) {
    // Neither close-on-exec: a plain open and an inherited pipe.
    const int stray = ::open("/dev/null", O_RDONLY);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ChildOptions options;
    options.capture_stdout = true;
    const std::string numbers = std::to_string(stray) + " " + std::to_string(fds[0]) + " " + std::to_string(fds[1]);
    const ChildResult result = run_child(
        {shell(), "-c", "for n in 0 1 2 " + numbers + "; do [ -e /proc/$$/fd/$n ] && printf '%s ' $n; done"},
        options);
    ::close(stray);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(result.stdout_data, "0 1 2 ");
}

struct Interrupted {};  // deliberately no std::exception: it must pass untouched

class InterruptAfter {
public:
    explicit InterruptAfter(std::chrono::milliseconds delay) {
        deadline() = std::chrono::steady_clock::now() + delay;
        previous_ = set_interrupt_check([] {
            if (std::chrono::steady_clock::now() >= deadline()) throw Interrupted{};
        });
    }
    ~InterruptAfter() { set_interrupt_check(previous_); }

private:
    static std::chrono::steady_clock::time_point& deadline() {
        static std::chrono::steady_clock::time_point when;
        return when;
    }
    InterruptCheck previous_;
};

// The wait on a child's output and the wait on its exit alone.
TEST(Process, InterruptKillsAndReapsTheChildPromptly) {
    TempDir dir;
    const std::string pid_file = dir.path("pid");
    for (const bool piped : {true, false}) {
        ChildOptions options;
        if (piped) options.capture_stdout = true;
        const InterruptAfter interrupt(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(run_child({shell(), "-c", "echo $$ > '" + pid_file + "'; exec sleep 30"}, options), Interrupted);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "piped " << piped;
        const pid_t pid = wait_for_pid_file(pid_file);
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(running(pid)) << "piped " << piped;
        EXPECT_NE(::kill(pid, 0), 0) << "reaped, not left a zombie";
    }
}

TEST(Process, ChildDiesWithItsParent) {
    TempDir dir;
    const std::string pid_file = dir.path("pid");
    const pid_t parent = ::fork();
    if (parent == 0) {
        try {
            run_child({shell(), "-c", "echo $$ > '" + pid_file + "'; exec sleep 30"}, {});
        } catch (...) {
        }
        ::_exit(0);
    }
    const pid_t child = wait_for_pid_file(pid_file);
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(stops_running(child));
}

// A child that asked to be stopped gently (as GNU sort, to remove its spill
// files) is sent SIGTERM where another is killed outright: when its parent
// dies, and when the wait for it is abandoned.
TEST(Process, ChildIsStoppedGentlyWhenItAsked) {
    for (const bool parent_dies : {true, false}) {
        for (const bool gently : {false, true}) {
            TempDir dir;
            const std::string pid_file = dir.path("pid");
            const std::string trapped = dir.path("trapped");
            ChildOptions options;
            options.stopped_gently = gently;
            const std::vector<std::string> argv{shell(), "-c",
                                                "trap 'echo TERM > \"" + trapped + "\"; exit 1' TERM; echo $$ > '" +
                                                    pid_file + "'; while :; do sleep 0.05; done"};
            pid_t child = 0;
            if (parent_dies) {
                const pid_t parent = ::fork();
                if (parent == 0) {
                    try {
                        run_child(argv, options);
                    } catch (...) {
                    }
                    ::_exit(0);
                }
                child = wait_for_pid_file(pid_file);
                ::kill(parent, SIGKILL);
                ::waitpid(parent, nullptr, 0);
            } else {
                const InterruptAfter interrupt(std::chrono::milliseconds(300));
                EXPECT_THROW(run_child(argv, options), Interrupted);
                child = wait_for_pid_file(pid_file);
            }
            ASSERT_GT(child, 0);
            EXPECT_TRUE(stops_running(child));
            EXPECT_EQ(read_file(trapped), gently ? "TERM\n" : "") << parent_dies << gently;
        }
    }
}

TEST(Process, ExecFailureIsOSErrorWithItsErrno) {
    TempDir dir;
    const std::string script = dir.write("not-executable", "#!/bin/sh\n");
    for (const auto& [path, expected] : {std::pair{std::string("/nonexistent/program"), ENOENT},
                                         std::pair{script, EACCES}}) {
        try {
            run_child({path}, {});
            ADD_FAILURE() << path;
        } catch (const OSError& error) {
            EXPECT_EQ(error.errnum(), expected) << path;
            EXPECT_EQ(error.filename(), path);
        }
    }
}

}  // namespace
}  // namespace merivane
#endif
