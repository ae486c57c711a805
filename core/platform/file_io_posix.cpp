// The file layer's system calls on POSIX, temporary files' among them.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/interrupt.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"

namespace merivane {

namespace {
// open(2), retried after a signal; opening a FIFO may wait forever for the
// other side, so the host decides whether the signal ends the call.
int open_retrying(const std::string& path, int flags) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) throw_os_error(path);
        check_interrupt();
    }
}

// A link into /proc/<pid>/fd (as /dev/fd/1 lies, /dev/stdout points) is a
// descriptor the caller opened: written into, never replaced.
bool leads_to_descriptor(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::path link = os::to_fs_path(path);
    const fs::path directory = fs::canonical(link.parent_path().empty() ? "." : link.parent_path(), ignored);
    return directory.string().starts_with("/proc/") || fs::read_symlink(link, ignored).string().starts_with("/proc/");
}

// `look`: stat, or lstat for the entry itself.
std::optional<FileIdentity> identity(const std::string& path, int (*look)(const char*, struct stat*)) {
    struct stat info {};
    if (look(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity(info.st_dev, info.st_ino);
}

// 0666 less the umask, read from /proc: umask() would change it for a
// moment under every other thread.
unsigned created_file_mode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return 0666u & ~static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8));
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}
}  // namespace

int os::open_truncated(const std::string& path) { return open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC); }

UniqueFd os::duplicate_standard_output() {
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw_os_error("standard output");
    return UniqueFd(fd);
}

int open_for_reading(const std::string& path) {
    const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw OSError(EISDIR, path);
    }
    return fd;
}

std::size_t read_some(int fd, char* out, std::size_t capacity, const std::string& path) {
    for (;;) {
        const ssize_t n = ::read(fd, out, capacity);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) throw_os_error(path);
        // The read may wait forever (a FIFO nobody feeds): the host decides.
        check_interrupt();
    }
}

bool reads_regular_file(int fd) noexcept {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

std::size_t size_left(int fd) noexcept {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    return here >= 0 && info.st_size > here ? static_cast<std::size_t>(info.st_size - here) : 0;
}

void seek_to_start(int fd, const std::string& path) {
    if (::lseek(fd, 0, SEEK_SET) < 0) throw_os_error(path);
}

void OutputFile::write_through(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_.get(), data, size);
        if (n < 0) {
            if (errno == EINTR) {
                check_interrupt();
                continue;
            }
            // A non-blocking descriptor (a caller's stream) is waited on.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd ready{fd_.get(), POLLOUT, 0};
                if (::poll(&ready, 1, 250) >= 0 || errno == EINTR) {
                    check_interrupt();
                    continue;
                }
            }
            throw_os_error(path_);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        // A signal cuts a write short rather than failing it: a reader that
        // takes nothing must not keep Ctrl-C from stopping the run.
        if (size > 0) check_interrupt();
    }
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void remove_file(const std::string& path) {
    if (os::destination_kind(path) == os::Destination::Direct) return;
    if (::unlink(path.c_str()) != 0) throw_os_error(path);
}

std::optional<FileIdentity> file_identity(const std::string& path) { return identity(path, ::stat); }

std::optional<FileIdentity> entry_identity(const std::string& path) { return identity(path, ::lstat); }

bool same_file(const std::string& a, const std::string& b) {
    const std::optional<FileIdentity> ia = file_identity(a);
    const std::optional<FileIdentity> ib = file_identity(b);
    if (ia && ib) return *ia == *ib;
    return absolute_path(a) == absolute_path(b);
}

UniqueFd os::open_unnamed_in(const std::string& directory) {
#ifdef O_TMPFILE
    if (injected_failure && injected_failure("open_unnamed", directory)) return UniqueFd();
    int fd;
    do {
        fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
#else
    (void)directory;
    return UniqueFd();
#endif
}

os::Destination os::destination_kind(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0) return Destination::Missing;
    struct stat info = link;
    if (S_ISLNK(link.st_mode)) {
        if (leads_to_descriptor(path)) return Destination::Direct;
        if (::stat(path.c_str(), &info) != 0) return Destination::Replace;  // leads nowhere
    }
    if (S_ISDIR(info.st_mode)) throw OSError(EISDIR, path);
    return S_ISREG(info.st_mode) ? Destination::Replace : Destination::Direct;
}

void os::sync_file(int fd, const std::string& destination) {
    if (const int error = injected_failure ? injected_failure("fsync", destination) : 0) throw OSError(error, destination);
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // Special files and some file systems cannot be synced: nothing to lose.
        if (errno == EINVAL || errno == EROFS) return;
        throw_os_error(destination);
    }
}

void os::give_created_mode(int fd, const std::string& destination) {
    if (::fchmod(fd, created_file_mode()) != 0) throw_os_error(destination);
}

std::string os::name_unnamed(int fd, const std::string& destination) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = destination + std::string(kTempTag);
        for (std::size_t i = 0; i < kTempRandomPart; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        name += ".part";
        if (::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return name;
        if (errno == EEXIST) continue;
        // Without /proc, by descriptor (a privilege on older kernels).
        if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return name;
        if (errno == EEXIST) continue;
        throw_os_error(destination);
    }
    throw OSError(EEXIST, destination);
}

void os::replace_file(const std::string& from, const std::string& destination) {
    if (const int error = injected_failure ? injected_failure("rename", destination) : 0) throw OSError(error, destination);
    if (::rename(from.c_str(), destination.c_str()) != 0) throw_os_error(destination);
}

UniqueFd lock_directory(const std::string& directory) {
    UniqueFd fd(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (fd && ::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return UniqueFd();
        // Another run holds it while its renames take.
        check_interrupt();
    }
    return fd;
}

void sync_directory(const std::string& directory) {
    const std::string path = directory.empty() ? "." : directory;
    const UniqueFd fd(open_retrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    os::sync_file(fd.get(), path);
}

const std::size_t os::kTempRandomPart = 6;  // the XXXXXX of mkostemps
const std::size_t os::kMaxFileName = NAME_MAX;

std::pair<std::string, UniqueFd> os::create_exclusive(const std::string& directory, const std::string& stem,
                                                      const std::string& suffix) {
    std::string pattern = join_path(directory, stem + std::string(kTempRandomPart, 'X') + suffix);
    int fd;
    do {
        fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(pattern);
    return {std::move(pattern), UniqueFd(fd)};
}

void os::remove_file_quietly(const std::string& path) noexcept { ::unlink(path.c_str()); }

// $TMPDIR, $TEMP, $TMP, /tmp, /var/tmp, /usr/tmp and the current directory.
std::vector<std::string> os::temp_directory_candidates() {
    std::vector<std::string> candidates;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        const char* value = std::getenv(name);
        if (value && *value) candidates.push_back(absolute_path(value));
    }
    for (const char* fixed : {"/tmp", "/var/tmp", "/usr/tmp"}) candidates.emplace_back(fixed);
    std::vector<char> cwd(PATH_MAX);
    candidates.emplace_back(::getcwd(cwd.data(), cwd.size()) ? cwd.data() : ".");
    return candidates;
}

}  // namespace merivane
