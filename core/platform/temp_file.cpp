// Temporary files, the same on every system.
#include "platform/temp_file.hpp"

#include <cerrno>
#include <utility>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"

namespace merivane {

namespace {

// Whether a file can be created, written and removed in `directory`.
bool usable_temp_directory(const std::string& directory) {
    std::string probe;
    bool written = false;
    try {
        auto [path, fd] = os::create_exclusive(directory, "tmp", "");
        probe = std::move(path);
        OutputFile file(std::move(fd), probe);
        file.write("blat");
        file.close();
        written = true;
    } catch (const OSError&) {
    }
    if (!probe.empty()) os::remove_file_quietly(probe);
    return written;
}

}  // namespace

std::string temp_directory() {
    std::string tried;
    for (const std::string& directory : os::temp_directory_candidates()) {
        if (usable_temp_directory(directory)) return directory;
        tried += (tried.empty() ? "" : ", ") + directory;
    }
    throw OSError(ENOENT, "No usable temporary directory found in [" + tried + "]");
}

UniqueFd create_unnamed_temp_file() {
    const std::string directory = temp_directory();
    if (UniqueFd unnamed = os::open_unnamed_in(directory)) return unnamed;
    // Else a named one, removed at once (on Windows, gone with its last handle).
    auto [path, owner] = os::create_exclusive(directory, "tmp", "");
    remove_file(path);
    return std::move(owner);
}

TempFile TempFile::in_temp_directory(const std::string& suffix) {
    auto [path, fd] = os::create_exclusive(temp_directory(), "tmp", suffix);
    return TempFile(std::move(path), std::move(fd));
}

TempFile TempFile::beside(const std::string& path, const std::string& suffix) {
    std::string name = file_name_of(path);
    const std::size_t fixed = os::kTempTag.size() + os::kTempRandomPart + suffix.size();
    if (name.size() + fixed > os::kMaxFileName) name.resize(os::kMaxFileName > fixed ? os::kMaxFileName - fixed : 0);
    try {
        auto [created, fd] = os::create_exclusive(directory_of(path), name + std::string(os::kTempTag), suffix);
        return TempFile(std::move(created), std::move(fd));
    } catch (const OSError& error) {
        // The temporary name means nothing to the caller.
        throw OSError(error.errnum(), path);
    }
}

TempFile::TempFile(TempFile&& other) noexcept : path_(other.release()), fd_(std::move(other.fd_)) {}

TempFile::~TempFile() {
    fd_.reset();
    if (!path_.empty()) os::remove_file_quietly(release());
}

}  // namespace merivane
