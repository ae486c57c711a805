#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/error.hpp"
#include "platform/system_files.hpp"
#include "platform/unique_fd.hpp"

extern char** environ;

namespace merivane {

namespace {

// How long a child sent SIGTERM has to clean up before it is killed.
constexpr int kGracePeriodMs = 5000;

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> child_environment(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const auto sets_it = [&](const auto& variable) { return text.starts_with(variable.first + "="); };
        if (std::ranges::none_of(overrides, sets_it)) env.push_back(text);
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
    UniqueFd read_end;
    UniqueFd write_end;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw_os_error("pipe");
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
};

// Prepared before the fork: after it only async-signal-safe calls are allowed
// (the host may run other threads).
struct Launch {
    const char* program;
    char* const* argv;
    char* const* envp;
    int redirect[3] = {-1, -1, -1};  // descriptor for stdin, stdout, stderr; -1: inherited
    int error_fd = -1;               // where a failed exec reports its errno
    pid_t parent = 0;
    int max_fd = -1;
    int death_signal = SIGKILL;
};

void close_range_from(int first, int last, int max_fd) {
#ifdef SYS_close_range
    if (first <= last && ::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
#endif
    for (int fd = first; fd <= std::min(last, max_fd); ++fd) ::close(fd);
}

[[noreturn]] void exec_child(const Launch& launch) {
    int error = 0;
#ifdef __linux__
    // A killed parent leaves no sort or bedtools running on; the parent may
    // already be gone before the request.
    if (::prctl(PR_SET_PDEATHSIG, launch.death_signal) != 0 || ::getppid() != launch.parent) ::_exit(127);
#endif
    // Signals as a fresh program expects them (the host ignores SIGPIPE, and
    // its threads may block signals).
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    for (int target = 0; target < 3 && error == 0; ++target) {
        const int source = launch.redirect[target];
        if (source < 0) continue;
        if (source == target) {
            if (::fcntl(target, F_SETFD, 0) != 0) error = errno;
        } else if (::dup2(source, target) < 0) {
            error = errno;
        }
    }
    if (error == 0) {
        // Only the standard streams (and, until exec, the error pipe) remain.
        close_range_from(3, launch.error_fd - 1, launch.max_fd);
        close_range_from(launch.error_fd + 1, launch.max_fd < 0 ? 0x7fffffff : launch.max_fd, launch.max_fd);
        ::execve(launch.program, launch.argv, launch.envp);
        error = errno;
    }
    while (::write(launch.error_fd, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

class PosixChild final : public os::RunningChild {
public:
    PosixChild(pid_t pid, const ChildOptions& options) : pid_(pid), options_(options) {
#if defined(__linux__) && defined(SYS_pidfd_open)
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) pidfd_.reset(static_cast<int>(fd));
#endif
    }
    ~PosixChild() override { kill_and_reap(); }

    std::optional<int> step(int wait_ms, ChildResult& result) override {
        std::vector<pollfd> fds;
        for (const UniqueFd* pipe : {&out_, &err_}) {
            if (*pipe) fds.push_back({pipe->get(), POLLIN, 0});
        }
        if (!fds.empty()) {
            if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) throw_os_error("poll");
            for (const pollfd& polled : fds) {
                if (polled.revents != 0) read_pipe(polled.fd == out_.get() ? out_ : err_, result);
            }
            return std::nullopt;
        }
        // Output closed (or never piped): wait for the exit.
        int status = 0;
        const pid_t done = wait_pid(status, WNOHANG);
        if (done < 0) throw_os_error("waitpid");
        if (done > 0) {
            pid_ = 0;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return WIFSIGNALED(status) ? -WTERMSIG(status) : status;
        }
        if (pidfd_) {
            pollfd exit_poll{pidfd_.get(), POLLIN, 0};
            if (::poll(&exit_poll, 1, wait_ms) < 0 && errno != EINTR) throw_os_error("poll");
        } else {
            // No exit descriptor: look again soon.
            ::usleep(static_cast<useconds_t>(std::min(wait_ms, 10)) * 1000);
        }
        return std::nullopt;
    }

    UniqueFd out_;  // the reading ends of the child's piped output
    UniqueFd err_;

private:
    void read_pipe(UniqueFd& pipe, ChildResult& result) {
        const ssize_t n = ::read(pipe.get(), buffer_.data(), buffer_.size());
        if (n > 0) {
            const std::string_view data(buffer_.data(), static_cast<std::size_t>(n));
            os::take_output(options_, result, &pipe == &out_, data);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            pipe.reset();
        }
    }

    // waitpid, retried when a signal interrupts it.
    pid_t wait_pid(int& status, int flags) noexcept {
        pid_t done;
        do {
            done = ::waitpid(pid_, &status, flags);
        } while (done < 0 && errno == EINTR);
        return done;
    }

    // SIGTERM first when gently, SIGKILL after the grace period.
    void kill_and_reap() noexcept {
        if (pid_ <= 0) return;
        int status = 0;
        if (options_.stopped_gently && ::kill(pid_, SIGTERM) == 0) {
            for (int waited = 0; waited < kGracePeriodMs; waited += 10) {
                if (wait_pid(status, WNOHANG) != 0) {
                    pid_ = 0;
                    return;
                }
                ::usleep(10000);
            }
        }
        ::kill(pid_, SIGKILL);
        wait_pid(status, 0);
        pid_ = 0;
    }

    pid_t pid_;
    const ChildOptions& options_;
    UniqueFd pidfd_;
    std::string buffer_ = std::string(1 << 16, '\0');
};

}  // namespace

std::optional<std::string> find_executable(const std::string& name) {
    if (name.find('/') != std::string::npos) return is_executable_file(name) ? std::optional(name) : std::nullopt;
    const char* path_env = std::getenv("PATH");
    const std::string search = path_env ? path_env : "/bin:/usr/bin";
    // An empty PATH names no directory at all (not the current one).
    if (search.empty()) return std::nullopt;
    for (std::size_t start = 0; start <= search.size();) {
        const std::size_t end = std::min(search.find(':', start), search.size());
        const std::string directory = search.substr(start, end - start);
        const std::string candidate = directory.empty() ? name : directory + "/" + name;
        if (is_executable_file(candidate)) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

std::unique_ptr<os::RunningChild> os::start_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers = pointers_to(args);
    std::vector<std::string> env = child_environment(options.environment_overrides);
    std::vector<char*> env_pointers = pointers_to(env);
    Pipe exec_error;
    std::optional<Pipe> out_pipe, err_pipe;

    Launch launch{args[0].c_str(), arg_pointers.data(), env_pointers.data()};
    launch.error_fd = exec_error.write_end.get();
    launch.parent = ::getpid();
    struct rlimit limit {};
    const bool no_limit = ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY;
    launch.max_fd = no_limit ? 65535 : static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - 1;
    if (options.stopped_gently) launch.death_signal = SIGTERM;
    launch.redirect[0] = options.stdin_fd;
    if (options.capture_stdout || options.stdout_sink) launch.redirect[1] = out_pipe.emplace().write_end.get();
    if (options.capture_stderr) launch.redirect[2] = err_pipe.emplace().write_end.get();

    const pid_t pid = ::fork();
    if (pid < 0) throw_os_error(argv[0]);
    if (pid == 0) exec_child(launch);
    auto child = std::make_unique<PosixChild>(pid, options);
    // The parent keeps only the reading ends. The error pipe closes at exec
    // (or exit); four bytes on it are the errno of a failed exec.
    exec_error.write_end.reset();
    if (out_pipe) child->out_ = std::move(out_pipe->read_end);
    if (err_pipe) child->err_ = std::move(err_pipe->read_end);
    out_pipe.reset();
    err_pipe.reset();
    int exec_errno = 0;
    ssize_t got;
    do {
        got = ::read(exec_error.read_end.get(), &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) throw OSError(exec_errno, argv[0]);
    return child;
}

}  // namespace merivane
