// Temporary files on POSIX: mkostemps names and creates them.
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
#include "platform/paths.hpp"
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
