// Outputs that appear whole or not at all.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_io.hpp"

namespace merivane {

// Writes a file that replaces `destination` only once complete. The bytes
// go to a new file in the destination's directory: one with no name yet
// where the file system allows (Linux O_TMPFILE), else a uniquely named
// "<name>.XXXXXX.part" created exclusively, never through a symbolic link.
// commit() flushes it, makes it durable, gives it the mode a plain create
// would (0666 less the umask), names it and renames it over the
// destination, so readers see the old file or the new one, never a part. A
// symbolic link at the destination is replaced, not written through.
// Without commit() the partial file is removed and an earlier destination
// stays as it was: a failure, an interrupt or a killed process never leaves
// a truncated output where a complete one is expected (and a killed process
// leaves no partial file where the file could stay nameless).
//
// Written directly instead, as a plain open would: a destination that
// exists and is not a regular file (/dev/null, /dev/stdout, a FIFO), and a
// writable one whose directory refuses new files.
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

    // Puts the complete file in place; OSError naming the destination when
    // any step fails (the partial file is then removed).
    void commit();

    const std::string& destination() const noexcept { return destination_; }
    // The file being written: the temporary one (empty while it has no
    // name), or the destination itself. Errors name the destination.
    const std::string& path() const noexcept { return path_; }
    bool writes_directly() const noexcept { return direct_; }
    bool committed() const noexcept { return committed_; }

private:
    std::string destination_;
    std::string path_;
    bool direct_ = false;
    bool committed_ = false;
    OutputFile file_;
};

// The permission bits a newly created file gets: 0666 less the umask.
unsigned created_file_mode();

// Flushes a directory's entries (a rename within it) to disk.
void sync_directory(const std::string& directory);

}  // namespace merivane
