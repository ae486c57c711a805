// Outputs that appear whole or not at all.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_io.hpp"

namespace merivane {

// The process's standard output, written into as it was opened (appending,
// say): a NUL keeps any path from spelling it.
inline constexpr std::string_view kStandardOutput{"\0-", 2};

// Writes a file that replaces `destination` only once committed, so readers
// see the old file or the new one, never a part. The bytes go to a new file
// beside it: nameless where the file system allows (Linux O_TMPFILE), else an
// exclusive "<name>.merivane-XXXXXX.part", removed again without commit(). A
// symbolic link to a regular file or to nowhere is replaced, not written
// through; anything else that exists (/dev/null, a FIFO, /dev/stdout) is
// written directly, as a plain open would. A directory that takes no new file
// is refused (OSError naming it) before anything is written.
class AtomicOutput {
public:
    explicit AtomicOutput(std::string destination);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void write(std::string_view data) { file_.write(data); }
    // Call before writing to fd() directly.
    void flush() { file_.flush(); }
    int fd() const noexcept { return file_.fd(); }

    // prepare() then place(); OSError naming the destination when any step
    // fails (the partial file is then removed).
    void commit();
    // Everything but the rename: the file complete, durable, with the mode a
    // plain create gives and named beside the destination, not touched yet.
    void prepare();
    // Renames the prepared file over the destination; the caller syncs the
    // directory once (sync_directory).
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

// An advisory lock against other runs putting files in place in `directory`,
// held until the descriptor closes; empty where the file system has no such
// locks (some NFS), and the work goes on without it.
UniqueFd lock_directory(const std::string& directory);

// Flushes a directory's entries (a rename within it) to disk.
void sync_directory(const std::string& directory);

}  // namespace merivane
