// What the shared file and temporary-file code asks of the system: each kind
// of system implements these in its own source (the _posix and _windows
// files); everything above them is written once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/unique_fd.hpp"

namespace merivane::os {

// Paths are UTF-8 in the core; std::filesystem gets them as such.
inline std::filesystem::path to_fs_path(const std::string& path) {
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
}

inline std::string from_fs_path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// A descriptor writing `path`, created or emptied in place (O_CREAT | O_TRUNC).
int open_truncated(const std::string& path);

// The random part of a temporary file's name is this long, and no file name
// may be longer than kMaxFileName.
extern const std::size_t kTempRandomPart;
extern const std::size_t kMaxFileName;
// Creates `directory`/`stem`<random>`suffix`, exclusively and owner-only,
// open for reading and writing; OSError naming the file on failure.
std::pair<std::string, UniqueFd> create_exclusive(const std::string& directory, const std::string& stem,
                                                  const std::string& suffix);
// Removes a file if it can, reporting nothing: for clean-up on the way out.
void remove_file_quietly(const std::string& path) noexcept;

}  // namespace merivane::os
