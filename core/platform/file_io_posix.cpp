// The file layer's system calls on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/interrupt.hpp"
#include "platform/system_files.hpp"

namespace merivane {

namespace {
// open(2), retried when a signal interrupts it. Opening a FIFO waits for
// the other side, perhaps forever: the host decides whether the signal
// ends the call.
int open_retrying(const std::string& path, int flags) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) throw_os_error(path);
        check_interrupt();
    }
}
}  // namespace

int os::open_truncated(const std::string& path) { return open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC); }

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
        // A signal woke a read that may wait forever (a FIFO nobody feeds):
        // the host decides whether that ends the call.
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
            if (errno == EINTR) continue;
            throw_os_error(path_);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) throw_os_error(path);
}

namespace {
std::optional<FileIdentity> identity(int status, const struct stat& info) {
    if (status != 0) return std::nullopt;
    return FileIdentity(info.st_dev, info.st_ino);
}
}  // namespace

std::optional<FileIdentity> file_identity(const std::string& path) {
    struct stat info {};
    return identity(::stat(path.c_str(), &info), info);
}

std::optional<FileIdentity> entry_identity(const std::string& path) {
    struct stat info {};
    return identity(::lstat(path.c_str(), &info), info);
}

bool same_file(const std::string& a, const std::string& b) {
    const std::optional<FileIdentity> ia = file_identity(a);
    const std::optional<FileIdentity> ib = file_identity(b);
    if (ia && ib) return *ia == *ib;
    return absolute_path(a) == absolute_path(b);
}

}  // namespace merivane
