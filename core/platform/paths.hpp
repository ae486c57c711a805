// Splitting a path into directory and file name, and joining them again, as
// the host's os.path does: by POSIX rules ("/" only) or by Windows rules
// ("\\" and "/", drive letters, UNC shares), the native ones by default.
#pragma once

#include <string>
#include <string_view>

namespace merivane {

enum class PathRules {
    Posix,
    Windows,
#ifdef _WIN32
    Native = Windows,
#else
    Native = Posix,
#endif
};

struct SplitPath {
    std::string directory;  // "" for a bare file name
    std::string name;
};

// os.path.split: the directory keeps its drive and loses its trailing
// separators unless it is nothing but separators (a root).
SplitPath split_path(std::string_view path, PathRules rules = PathRules::Native);

inline std::string directory_of(std::string_view path) { return split_path(path).directory; }
inline std::string file_name_of(std::string_view path) { return split_path(path).name; }

// os.path.join(directory, name) for a bare name: one separator between them
// unless the directory ends in one or (Windows) is a bare drive such as "C:".
std::string join_path(std::string_view directory, std::string_view name, PathRules rules = PathRules::Native);

}  // namespace merivane
