// Opening files on Windows, shared by the file, temporary-file and output
// layers.
#pragma once

#ifdef _WIN32

#include <string>

namespace merivane {

enum class OpenMode {
    Read,       // an existing file
    Truncate,   // created, or emptied in place (O_CREAT | O_TRUNC)
    CreateNew,  // created, failing when anything has the name (O_EXCL), read and written
};

// A C runtime descriptor for `path` opened by its UTF-16 name, in binary
// mode, not inherited by children, and shared for reading, writing and
// removal. OSError naming `path` when that fails.
int open_file_windows(const std::string& path, OpenMode mode);

}  // namespace merivane

#endif
