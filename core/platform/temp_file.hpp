// Temporary files: private to their owner and gone when the owner is.
#pragma once

#include <string>
#include <utility>

#include "platform/unique_fd.hpp"

namespace merivane {

// A new file, created exclusively (never through a link or onto someone
// else's file), open for reading and writing by its owner only, and removed
// with the owner unless released. A killed process leaves it behind; where
// nothing needs the name, create_unnamed_temp_file leaves nothing.
class TempFile {
public:
    // In the system temporary directory: "tmp", random characters, `suffix`.
    static TempFile in_temp_directory(const std::string& suffix);
    // Beside `path`: its file name (shortened if too long), ".merivane-",
    // random characters, `suffix` ("u.vcf" gives "u.vcf.merivane-Xq3Tz9.part").
    static TempFile beside(const std::string& path, const std::string& suffix);

    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) = delete;
    ~TempFile();

    const std::string& path() const noexcept { return path_; }
    // The open descriptor; -1 once taken.
    int fd() const noexcept { return fd_.get(); }
    UniqueFd take_fd() noexcept { return std::move(fd_); }
    // Keeps the file: it is no longer removed. Returns its path.
    std::string release() noexcept { return std::exchange(path_, {}); }

private:
    TempFile(std::string path, UniqueFd fd) noexcept : path_(std::move(path)), fd_(std::move(fd)) {}

    std::string path_;  // empty: nothing owned
    UniqueFd fd_;
};

// A nameless file in the system temporary directory, open for reading and
// writing: nothing is left behind however the process ends.
UniqueFd create_unnamed_temp_file();

// The system temporary directory as Python's tempfile chooses it: the first
// candidate in which a file can be created and written; OSError (ENOENT) if none.
std::string temp_directory();

}  // namespace merivane
