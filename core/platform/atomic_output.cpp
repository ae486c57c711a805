// The output that replaces its destination whole, the same on every system.
#include "platform/atomic_output.hpp"

#include <cerrno>

#include "platform/error.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"
#include "platform/temp_file.hpp"

namespace merivane {

AtomicOutput::AtomicOutput(std::string destination)
    : destination_(std::move(destination)), file_([&] {
          path_ = destination_;
          // As a plain open of "" fails; the folder of "" would be the current one.
          if (destination_.empty()) throw OSError(ENOENT, destination_);
          if (destination_ == kStandardOutput) {
              direct_ = true;
              return OutputFile(os::duplicate_standard_output(), "standard output");
          }
          const os::Destination kind = os::destination_kind(destination_);
          if (kind == os::Destination::Direct) {
              direct_ = true;
              return OutputFile(destination_);
          }
          // A killed process then leaves nothing behind.
          if (UniqueFd unnamed = os::open_unnamed_in(directory_of(destination_))) {
              path_.clear();
              return OutputFile(std::move(unnamed), destination_);
          }
          try {
              TempFile temporary = TempFile::beside(destination_, ".part");
              UniqueFd fd = temporary.take_fd();
              path_ = temporary.release();  // removed by the destructor from here on
              return OutputFile(std::move(fd), destination_);
          } catch (const OSError& error) {
              // Writing an earlier file in place would leave it torn by a
              // kill: refused, naming the folder that takes no new file.
              const int e = error.errnum();
              if (kind != os::Destination::Replace || (e != EACCES && e != EPERM && e != EROFS)) throw;
              const std::string folder = directory_of(destination_);
              throw OSError(e, folder.empty() ? "." : folder);
          }
      }()) {}

bool written_in_place(const std::string& path) {
    return os::destination_kind(path) == os::Destination::Direct;
}

AtomicOutput::~AtomicOutput() {
    if (!committed_ && !direct_ && !path_.empty()) os::remove_file_quietly(path_);
}

void AtomicOutput::commit() {
    if (committed_) return;
    place();
    // The rename is durable only once the directory is.
    if (!direct_) sync_directory(directory_of(destination_));
}

void AtomicOutput::prepare() {
    if (prepared_) return;
    // Errors name the destination: the temporary name means nothing to the caller.
    file_.flush();
    if (reads_regular_file(file_.fd())) os::sync_file(file_.fd(), destination_);
    if (!direct_) {
        os::give_created_mode(file_.fd(), destination_);
        if (path_.empty()) path_ = os::name_unnamed(file_.fd(), destination_);
    }
    file_.close();
    prepared_ = true;
}

void AtomicOutput::place() {
    if (committed_) return;
    prepare();
    if (!direct_) os::replace_file(path_, destination_);
    committed_ = true;
}

}  // namespace merivane
