#include "platform/unique_fd.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/error.hpp"

namespace merivane {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

void UniqueFd::close(const std::string& path) {
    const int fd = release();
    if (fd < 0) return;
    // On Linux the descriptor is released even when close fails, so it is
    // never retried; EINTR says nothing about the data.
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        throw OSError(error, path);
    }
}

}  // namespace merivane
