// What the shared file, temporary-file and process code asks of the system,
// implemented once per kind of system (the _posix and _windows files).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/process.hpp"
#include "platform/unique_fd.hpp"

namespace merivane::os {

// Paths are UTF-8 in the core; std::filesystem gets them as such.
inline std::filesystem::path to_fs_path(const std::string& path) {
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
}

// A descriptor writing `path`, created or emptied in place (O_CREAT | O_TRUNC).
int open_truncated(const std::string& path);
// A descriptor of its own on the process's standard output; OSError (EBADF)
// when it is closed.
UniqueFd duplicate_standard_output();

// The tag of a temporary name beside a file, so that what a killed run left
// can be found, then kTempRandomPart random characters.
inline constexpr std::string_view kTempTag = ".merivane-";
extern const std::size_t kTempRandomPart;
extern const std::size_t kMaxFileName;
// Creates `directory`/`stem`<random>`suffix`, exclusively and owner-only,
// open for reading and writing; OSError naming the file on failure.
std::pair<std::string, UniqueFd> create_exclusive(const std::string& directory, const std::string& stem,
                                                  const std::string& suffix);
// Removes a file if it can, reporting nothing: for clean-up on the way out.
void remove_file_quietly(const std::string& path) noexcept;
// Where temp_directory() looks, in order, made absolute.
std::vector<std::string> temp_directory_candidates();
// A file with no name in `directory`, open for reading and writing; none
// (an empty descriptor) where the file system has no such files.
UniqueFd open_unnamed_in(const std::string& directory);

// What is at a destination: nothing, a file to replace (a regular file, or a
// link to one or to nothing), or something to write into (a device, FIFO,
// socket, or a link to one or to an open descriptor, as /dev/stdout is).
// OSError (EISDIR) for a directory.
enum class Destination { Missing, Replace, Direct };
Destination destination_kind(const std::string& path);
// The steps of putting a new file in place, failures naming `destination`:
// data to disk; a plain create's mode; a name beside the destination
// ("<name>.merivane-XXXXXX.part") for a nameless file; the rename over it.
void sync_file(int fd, const std::string& destination);
void give_created_mode(int fd, const std::string& destination);
std::string name_unnamed(int fd, const std::string& destination);
void replace_file(const std::string& from, const std::string& destination);

// For tests: asked before the system call `call` ("fsync"; on POSIX also
// "open_unnamed", "rename") for `path`; a nonzero errno makes it fail so.
extern int (*injected_failure)(const char* call, const std::string& path);

// A started child, killed and reaped with its owner unless waited for to its
// end. step() hands over what its pipes hold and waits up to `wait_ms` for
// more; it returns the exit status once the child has ended, output read.
class RunningChild {
public:
    virtual ~RunningChild() = default;
    virtual std::optional<int> step(int wait_ms, ChildResult& result) = 0;
};
// Starts argv[0] with its standard streams as `options` asks; OSError naming
// it when it cannot start.
std::unique_ptr<RunningChild> start_child(const std::vector<std::string>& argv, const ChildOptions& options);
// Output read from the child, handed to the stdout sink or kept in `result`.
void take_output(const ChildOptions& options, ChildResult& result, bool from_stdout, std::string_view data);

}  // namespace merivane::os
