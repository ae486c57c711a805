#pragma once

#include <string>
#include <utility>

namespace merivane {

// Owns one descriptor (-1: none). The destructor ignores a failed close; where
// that means lost data (a written file on a full or network disk), close(path)
// reports it as OSError.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the current descriptor, ignoring errors.
    void reset(int fd = -1) noexcept;
    // OSError naming `path` when the close fails; the descriptor is gone either way.
    void close(const std::string& path);

private:
    int fd_ = -1;
};

}  // namespace merivane
