// Whole-or-nothing outputs on Windows: the new file is flushed to disk and
// moved over the destination with MoveFileExW(MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH), which replaces a symbolic link rather than
// writing through it.
#include "platform/atomic_output.hpp"

#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "platform/error.hpp"
#include "platform/temp_file.hpp"
#include "platform/win32.hpp"
#include "platform/win32_files.hpp"

namespace merivane {

namespace {

enum class Target { Replace, Direct };

// Whether the destination is a file to replace or something to write into
// (a device such as NUL or CON, a named pipe).
Target target_of(const std::string& destination) {
    const std::wstring wide = win32::widen(destination);
    const HANDLE handle =
        ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Target::Replace;
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = ::GetFileType(handle);
    const bool directory = type == FILE_TYPE_DISK && ::GetFileInformationByHandle(handle, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(handle);
    if (directory) throw OSError(EISDIR, destination);
    return type == FILE_TYPE_DISK ? Target::Replace : Target::Direct;
}

bool is_regular_file(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

void sync_file(int fd, const std::string& path) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (::GetFileType(handle) != FILE_TYPE_DISK) return;  // devices and pipes: nothing to lose
    if (!::FlushFileBuffers(handle)) win32::throw_last_error(path);
}

}  // namespace

unsigned created_file_mode() {
    // The C runtime keeps a umask for its read-only bit; the mode is that of
    // a plain create, as on POSIX.
    const int mask = ::_umask(0);
    ::_umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

void sync_directory(const std::string&) {
    // MOVEFILE_WRITE_THROUGH returns only once the move is on disk; a
    // directory cannot be flushed on its own here.
}

AtomicOutput::AtomicOutput(std::string destination)
    : destination_(std::move(destination)), file_([&] {
          if (target_of(destination_) == Target::Direct) {
              direct_ = true;
              path_ = destination_;
              return OutputFile(UniqueFd(open_file_windows(destination_, OpenMode::Truncate)), destination_);
          }
          try {
              TempFile temporary = TempFile::beside(destination_, ".part");
              std::string path = temporary.path();
              UniqueFd fd = temporary.take_fd();
              // Owned by this object from here on (removed by the destructor).
              temporary.release();
              path_ = path;
              return OutputFile(std::move(fd), std::move(path));
          } catch (const OSError& error) {
              if (error.errnum() != EACCES && error.errnum() != EPERM) throw;
              // The directory takes no new file; an existing file in it that
              // may be written is written in place, as a plain open would.
              // Never through a link: that is what a replace would avoid.
              if (!is_regular_file(destination_)) throw;
              direct_ = true;
              path_ = destination_;
              return OutputFile(UniqueFd(open_file_windows(destination_, OpenMode::Truncate)), destination_);
          }
      }()) {}

AtomicOutput::~AtomicOutput() {
    if (committed_ || direct_) return;
    // Opened shared for deletion: the partial file goes now, its name at
    // once and its data when the descriptor closes with file_.
    win32::delete_file_quietly(file_.path());
}

void AtomicOutput::commit() {
    if (committed_) return;
    if (direct_) {
        file_.flush();
        sync_file(file_.fd(), destination_);
        file_.close();
        committed_ = true;
        return;
    }
    try {
        file_.flush();
        sync_file(file_.fd(), file_.path());
        file_.close();
        if (!::MoveFileExW(win32::widen(file_.path()).c_str(), win32::widen(destination_).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            win32::throw_last_error(destination_);
        }
    } catch (const OSError& error) {
        // The temporary name means nothing to the caller.
        throw OSError(error.errnum(), destination_);
    }
    committed_ = true;
}

}  // namespace merivane
