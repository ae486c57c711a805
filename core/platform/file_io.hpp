// File-system operations of the core. Every failure is an OSError carrying
// errno and the path, so the host can raise FileNotFoundError and friends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/unique_fd.hpp"

namespace merivane {

int open_for_reading(const std::string& path);
// Up to `capacity` bytes, 0 at end of file; EINTR is retried after the interrupt check.
std::size_t read_some(int fd, char* out, std::size_t capacity, const std::string& path);
void seek_to_start(int fd, const std::string& path);
// A regular file can be read again from the start; a pipe, FIFO or terminal
// gives its bytes only once.
bool reads_regular_file(int fd) noexcept;
// Bytes a regular file holds past the offset (else 0): a size to reserve, not
// a promise, as the file may still grow.
std::size_t size_left(int fd) noexcept;

// A file written through a large buffer, created or truncated (or a
// descriptor open for writing, with the path errors name). close() reports
// errors; the destructor, for the way out of an error, does not.
class OutputFile {
public:
    explicit OutputFile(std::string path);
    OutputFile(UniqueFd fd, std::string path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::string_view data);
    void flush();
    void close();

    const std::string& path() const noexcept { return path_; }
    int fd() const noexcept { return fd_.get(); }

private:
    void write_through(const char* data, std::size_t size);

    std::string path_;
    UniqueFd fd_;
    std::string buffer_;
};

// Whether anything (file, directory, ...) exists at `path`; a dangling
// symbolic link does not count.
bool path_exists(const std::string& path);
// Removes a file (OSError when that fails), but only what a replace would
// take: a device, FIFO, socket or /dev/stdout stays.
void remove_file(const std::string& path);
// The absolute, lexically normalised form of `path`.
std::string absolute_path(const std::string& path);
// Whether two paths name the same file: the same file-system entry when both
// exist, else the same absolute normalised path.
bool same_file(const std::string& a, const std::string& b);

// ValueError, before anything is written, when an output is one of `inputs`
// (as `what` names them) by any path, which writing would destroy; the
// message asks for another `parameter`.
void reject_outputs_naming_inputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                                  std::string_view parameter, std::string_view what = "input file");

// Which file a path names (device and file number), to tell later whether it
// still does; `entry_identity` identifies a link itself. nullopt when there
// is nothing or it cannot be told.
using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;
std::optional<FileIdentity> file_identity(const std::string& path);
std::optional<FileIdentity> entry_identity(const std::string& path);

}  // namespace merivane
