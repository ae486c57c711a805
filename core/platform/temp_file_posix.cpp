// Temporary files on POSIX: mkostemps names and creates them.
#include "platform/paths.hpp"
#include "platform/temp_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/system_files.hpp"

namespace merivane {

const std::size_t os::kTempRandomPart = 6;  // the XXXXXX of mkostemps
const std::size_t os::kMaxFileName = NAME_MAX;

// The file `directory`/`stem`XXXXXX`suffix`, created exclusively and 0600.
std::pair<std::string, UniqueFd> os::create_exclusive(const std::string& directory, const std::string& stem,
                                                      const std::string& suffix) {
    std::string pattern = join_path(directory, stem + std::string(kTempRandomPart, 'X') + suffix);
    int fd;
    do {
        fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        throw OSError(error, pattern);
    }
    return {std::move(pattern), UniqueFd(fd)};
}

void os::remove_file_quietly(const std::string& path) noexcept { ::unlink(path.c_str()); }

namespace {

// Whether a file can be created, written and removed in `directory`.
bool usable_temp_directory(const std::string& directory) {
    std::string pattern = join_path(directory, "tmpXXXXXX");
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return false;
    UniqueFd owner(fd);
    static constexpr char kProbe[] = "blat";
    const bool written = ::write(fd, kProbe, 4) == 4;
    ::unlink(pattern.c_str());
    return written;
}

std::string current_directory() {
    std::vector<char> buffer(PATH_MAX);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return ".";
    return buffer.data();
}

}  // namespace

UniqueFd create_unnamed_temp_file() {
    const std::string directory = temp_directory();
    if (UniqueFd unnamed = os::open_unnamed_in(directory)) return unnamed;
    // Not every file system supports unnamed files: a named one, removed at once.
    auto [path, owner] = os::create_exclusive(directory, "tmp", "");
    if (::unlink(path.c_str()) != 0) {
        const int error = errno;
        throw OSError(error, path);
    }
    return std::move(owner);
}

std::string temp_directory() {
    std::vector<std::string> candidates;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        const char* value = std::getenv(name);
        if (value && *value) candidates.emplace_back(value);
    }
    for (const char* fixed : {"/tmp", "/var/tmp", "/usr/tmp"}) candidates.emplace_back(fixed);
    const std::string cwd = current_directory();
    candidates.push_back(cwd);

    std::string tried;
    for (const std::string& candidate : candidates) {
        const std::string directory = candidate == cwd ? candidate : absolute_path(candidate);
        if (usable_temp_directory(directory)) return directory;
        tried += (tried.empty() ? "" : ", ") + directory;
    }
    throw OSError(ENOENT, "No usable temporary directory found in [" + tried + "]");
}

}  // namespace merivane
