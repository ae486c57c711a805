// Outputs that appear whole or not at all.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_io.hpp"

namespace merivane {

// A destination no path can spell (a path holds no NUL): the process's
// standard output, written into as it was opened (appending, say).
inline constexpr std::string_view kStandardOutput{"\0-", 2};

// Writes a file that replaces `destination` only once complete. The bytes go
// to a new file beside it: nameless where the file system allows (Linux
// O_TMPFILE), else an exclusive "<name>.merivane-XXXXXX.part". commit()
// makes it durable, gives it the mode a plain create would and renames it
// over the destination, so readers see the old file or the new one, never a
// part. Without commit() the partial file goes and an earlier destination
// stays as it was. A symbolic link to a regular file or to nowhere is
// replaced, not written through.
//
// Anything else that exists (/dev/null, a FIFO, a link to a device or to an
// open descriptor such as /dev/stdout) is written directly, as a plain open
// would. A directory that takes no new file is refused (OSError naming it)
// before anything is written.
class AtomicOutput {
public:
    explicit AtomicOutput(std::string destination);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void write(std::string_view data) { file_.write(data); }
    // Buffered bytes out to the descriptor; call before writing to fd()
    // directly.
    void flush() { file_.flush(); }
    int fd() const noexcept { return file_.fd(); }

    // prepare() then place(); OSError naming the destination when any step
    // fails (the partial file is then removed).
    void commit();
    // Everything but the rename: the file complete, durable and named
    // beside the destination, which is not touched yet.
    void prepare();
    // Renames the prepared file over the destination. The directory is not
    // synced: the caller does that once (sync_directory).
    void place();

    const std::string& destination() const noexcept { return destination_; }
    // The file being written: the temporary one (empty while it has no
    // name), or the destination itself. Errors name the destination.
    const std::string& path() const noexcept { return path_; }
    bool writes_directly() const noexcept { return direct_; }

private:
    std::string destination_;
    std::string path_;
    bool direct_ = false;
    bool prepared_ = false;
    bool committed_ = false;
    OutputFile file_;
};

// Whether AtomicOutput(path) would write into what is at `path` instead of
// replacing it; OSError (EISDIR) for a directory.
bool written_in_place(const std::string& path);

// An advisory lock on a directory against other runs putting files in place
// in it, held until the descriptor closes; none (an empty descriptor) where
// the file system has no such locks (some NFS): the work goes on without it.
UniqueFd lock_directory(const std::string& directory);

// Flushes a directory's entries (a rename within it) to disk.
void sync_directory(const std::string& directory);

}  // namespace merivane
