#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/error.hpp"
#include "platform/file_io.hpp"

extern char** environ;

namespace merivane {

namespace {

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> child_environment(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        bool replaced = false;
        for (const auto& [name, value] : overrides) {
            if (text.size() > name.size() && text.compare(0, name.size(), name) == 0 && text[name.size()] == '=') {
                replaced = true;
                break;
            }
        }
        if (!replaced) env.push_back(text);
    }
    for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw OSError(errno, "pipe");
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        close_quietly(read_end);
        close_quietly(write_end);
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return -WTERMSIG(wait_status);
    return wait_status;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw OSError(errno, "waitpid");
    }
    return exit_status_of(status);
}

}  // namespace

std::optional<std::string> find_executable(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (is_executable_file(name)) return name;
        return std::nullopt;
    }
    const char* path_env = std::getenv("PATH");
    const std::string search = path_env ? path_env : "/bin:/usr/bin";
    // An empty PATH names no directory at all (not the current one).
    if (search.empty()) return std::nullopt;
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string::npos) end = search.size();
        const std::string directory = search.substr(start, end - start);
        const std::string candidate = directory.empty() ? name : directory + "/" + name;
        if (is_executable_file(candidate)) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    SpawnActions spawn;
    std::optional<int> stdin_fd;
    if (options.stdin_path) {
        stdin_fd = open_for_reading(*options.stdin_path);
        posix_spawn_file_actions_adddup2(&spawn.actions, *stdin_fd, STDIN_FILENO);
    }
    struct FdGuard {
        std::optional<int>& fd;
        ~FdGuard() {
            if (fd) ::close(*fd);
        }
    } stdin_guard{stdin_fd};

    std::optional<Pipe> out_pipe, err_pipe;
    if (options.stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&spawn.actions, options.stdout_fd, STDOUT_FILENO);
    } else if (options.capture_stdout || options.stdout_sink) {
        out_pipe.emplace();
        posix_spawn_file_actions_adddup2(&spawn.actions, out_pipe->write_end, STDOUT_FILENO);
    }
    if (options.capture_stderr) {
        err_pipe.emplace();
        posix_spawn_file_actions_adddup2(&spawn.actions, err_pipe->write_end, STDERR_FILENO);
    }

    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers = pointers_to(args);
    std::vector<std::string> env = child_environment(options.environment_overrides);
    std::vector<char*> env_pointers = pointers_to(env);

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, args[0].c_str(), &spawn.actions, nullptr, arg_pointers.data(),
                                 env_pointers.data());
    if (rc != 0) throw OSError(rc, argv[0]);

    // The parent keeps only the reading ends.
    if (out_pipe) close_quietly(out_pipe->write_end);
    if (err_pipe) close_quietly(err_pipe->write_end);

    ChildResult result;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds.value_or(0) * 1000.0));
    auto timed_out = [&] {
        return options.timeout_seconds && std::chrono::steady_clock::now() >= deadline;
    };
    auto kill_and_reap = [&] {
        ::kill(pid, SIGKILL);
        wait_for(pid);
    };

    std::vector<std::pair<int*, std::string*>> streams;
    if (out_pipe) streams.emplace_back(&out_pipe->read_end, &result.stdout_data);
    if (err_pipe) streams.emplace_back(&err_pipe->read_end, &result.stderr_data);
    try {
        while (true) {
            std::vector<pollfd> fds;
            for (auto& [fd, sink] : streams) {
                if (*fd >= 0) fds.push_back({*fd, POLLIN, 0});
            }
            if (fds.empty()) break;
            int wait_ms = -1;
            if (options.timeout_seconds) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                wait_ms = static_cast<int>(std::max<long long>(0, left.count()));
            }
            const int ready = ::poll(fds.data(), fds.size(), wait_ms);
            if (ready < 0 && errno != EINTR) throw OSError(errno, "poll");
            if (ready == 0 && timed_out()) {
                kill_and_reap();
                throw TimeoutExpired(argv, *options.timeout_seconds);
            }
            for (const pollfd& polled : fds) {
                if (polled.revents == 0) continue;
                for (auto& [fd, sink] : streams) {
                    if (*fd != polled.fd) continue;
                    char buffer[1 << 14];
                    const ssize_t n = ::read(*fd, buffer, sizeof buffer);
                    if (n > 0 && sink == &result.stdout_data && options.stdout_sink) {
                        options.stdout_sink(std::string_view(buffer, static_cast<std::size_t>(n)));
                    } else if (n > 0) {
                        sink->append(buffer, static_cast<std::size_t>(n));
                    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                        close_quietly(*fd);
                    }
                }
            }
        }
        if (!options.timeout_seconds) {
            result.exit_status = wait_for(pid);
            return result;
        }
        // Output closed; wait for the exit within what is left of the time-out.
        while (true) {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                result.exit_status = exit_status_of(status);
                return result;
            }
            if (done < 0 && errno != EINTR) throw OSError(errno, "waitpid");
            if (timed_out()) {
                kill_and_reap();
                throw TimeoutExpired(argv, *options.timeout_seconds);
            }
            ::usleep(2000);
        }
    } catch (const TimeoutExpired&) {
        throw;
    } catch (...) {
        kill_and_reap();
        throw;
    }
}

}  // namespace merivane
