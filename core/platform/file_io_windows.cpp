// The file layer's system calls on Windows: paths go to the wide API as UTF-16,
// offsets are 64-bit, and descriptors are the C runtime's `int`s, binary and
// not inherited.
#include "platform/file_io.hpp"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"
#include "platform/win32.hpp"

namespace merivane {

namespace {
// The C runtime counts bytes in an unsigned int (2^32 would ask for none).
constexpr std::size_t kLargestTransfer = 1u << 30;

// By volume serial number and file index, as st_ino is 0 here (a link itself
// with FILE_FLAG_OPEN_REPARSE_POINT); nullopt when it cannot be opened.
std::optional<FileIdentity> identity(const std::string& path, DWORD flags) {
    std::wstring wide;
    try {
        wide = win32::widen(path);
    } catch (const OSError&) {
        return std::nullopt;
    }
    // No access, so a file another program holds still answers; the backup
    // flag opens a directory too.
    const HANDLE handle = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!ok) return std::nullopt;
    return FileIdentity(info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
}

enum class OpenMode {
    Read,       // an existing file
    Truncate,   // created, or emptied in place (O_CREAT | O_TRUNC)
    CreateNew,  // created, failing when anything has the name (O_EXCL), read and written
};

// A C runtime descriptor for `path`, binary, not inherited, and shared for
// reading, writing and removal; OSError naming `path` when that fails.
int open_file(const std::string& path, OpenMode mode) {
    const std::wstring wide = win32::widen(path);
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int flags = _O_RDONLY;
    if (mode != OpenMode::Read) {
        access = mode == OpenMode::CreateNew ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
        disposition = mode == OpenMode::CreateNew ? CREATE_NEW : OPEN_ALWAYS;
        flags = mode == OpenMode::CreateNew ? _O_RDWR : _O_WRONLY;
    }
    // Shared for deletion, so an open file can still be removed or replaced
    // as on POSIX.
    const HANDLE handle = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Windows reports a directory as "access denied"; say what it is.
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            throw OSError(EISDIR, path);
        }
        throw OSError(win32::errno_from(error), path);
    }
    // Emptied in place, keeping its identity (hard links) as on POSIX;
    // devices (NUL) have nothing to empty.
    if (mode == OpenMode::Truncate && ::GetFileType(handle) == FILE_TYPE_DISK && !::SetEndOfFile(handle)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        throw OSError(win32::errno_from(error), path);
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        ::CloseHandle(handle);
        throw OSError(EMFILE, path);
    }
    return fd;
}
}  // namespace

int open_for_reading(const std::string& path) { return open_file(path, OpenMode::Read); }

std::size_t read_some(int fd, char* out, std::size_t capacity, const std::string& path) {
    const int n = ::_read(fd, out, static_cast<unsigned>(std::min(capacity, kLargestTransfer)));
    if (n < 0) throw_os_error(path);
    return static_cast<std::size_t>(n);
}

bool reads_regular_file(int fd) noexcept {
    struct _stat64 info {};
    return ::_fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

std::size_t size_left(int fd) noexcept {
    struct _stat64 info {};
    if (::_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return 0;
    const __int64 here = ::_lseeki64(fd, 0, SEEK_CUR);
    return here >= 0 && info.st_size > here ? static_cast<std::size_t>(info.st_size - here) : 0;
}

void seek_to_start(int fd, const std::string& path) {
    if (::_lseeki64(fd, 0, SEEK_SET) < 0) throw_os_error(path);
}

int os::open_truncated(const std::string& path) { return open_file(path, OpenMode::Truncate); }

UniqueFd os::duplicate_standard_output() {
    const int fd = ::_dup(1);
    if (fd < 0) throw_os_error("standard output");
    // In text mode each 0x0A of compressed data would become 0x0D 0x0A.
    ::_setmode(fd, _O_BINARY);
    return UniqueFd(fd);
}

void OutputFile::write_through(const char* data, std::size_t size) {
    while (size > 0) {
        const int n = ::_write(fd_.get(), data, static_cast<unsigned>(std::min(size, kLargestTransfer)));
        // A pipe whose reader is gone: ERROR_NO_DATA, reported as EINVAL.
        if (n < 0 && errno == EINVAL && ::GetLastError() == ERROR_NO_DATA) throw OSError(EPIPE, path_);
        if (n < 0) throw_os_error(path_);
        if (n == 0) throw OSError(ENOSPC, path_);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

bool path_exists(const std::string& path) {
    std::wstring wide;
    try {
        wide = win32::widen(path);
    } catch (const OSError&) {
        return false;
    }
    return ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void remove_file(const std::string& path) {
    if (os::destination_kind(path) == os::Destination::Direct) return;
    if (!::DeleteFileW(win32::widen(path).c_str())) win32::throw_last_error(path);
}

std::optional<FileIdentity> file_identity(const std::string& path) { return identity(path, 0); }

std::optional<FileIdentity> entry_identity(const std::string& path) {
    return identity(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

bool same_file(const std::string& a, const std::string& b) {
    const std::optional<FileIdentity> ia = file_identity(a);
    const std::optional<FileIdentity> ib = file_identity(b);
    if (ia && ib) return *ia == *ib;
    // File names are compared without regard to case, as the file system does.
    const auto folded = [](const std::string& path) {
        return win32::folded(os::to_fs_path(absolute_path(path)).wstring());
    };
    return folded(a) == folded(b);
}

UniqueFd os::open_unnamed_in(const std::string&) { return UniqueFd(); }

// A device such as NUL or CON, or a named pipe, is written into.
os::Destination os::destination_kind(const std::string& path) {
    const HANDLE handle =
        ::CreateFileW(win32::widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Destination::Missing;
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = ::GetFileType(handle);
    const bool directory = type == FILE_TYPE_DISK && ::GetFileInformationByHandle(handle, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(handle);
    if (directory) throw OSError(EISDIR, path);
    return type == FILE_TYPE_DISK ? Destination::Replace : Destination::Direct;
}

void os::sync_file(int fd, const std::string& destination) {
    if (const int error = injected_failure ? injected_failure("fsync", destination) : 0) throw OSError(error, destination);
    if (!::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)))) win32::throw_last_error(destination);
}

// Renames are not locked against other runs here.
UniqueFd lock_directory(const std::string&) { return UniqueFd(); }

// Windows has no mode bits to give.
void os::give_created_mode(int, const std::string&) {}

// Every file has a name here.
std::string os::name_unnamed(int, const std::string& destination) { throw OSError(ENOSYS, destination); }

// MOVEFILE_WRITE_THROUGH returns only once the move is on disk; a symbolic
// link at the destination is replaced, not written through.
void os::replace_file(const std::string& from, const std::string& destination) {
    if (!::MoveFileExW(win32::widen(from).c_str(), win32::widen(destination).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        win32::throw_last_error(destination);
    }
}

// The moves are written through; a directory cannot be flushed on its own here.
void sync_directory(const std::string&) {}

// Without mode bits a new file takes its directory's access rules (by default
// the user's own temporary directory).
const std::size_t os::kTempRandomPart = 8;  // as the host's tempfile names
const std::size_t os::kMaxFileName = 255;

std::pair<std::string, UniqueFd> os::create_exclusive(const std::string& directory, const std::string& stem,
                                                      const std::string& suffix) {
    static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kCharacters - 2);
    for (int attempt = 0;; ++attempt) {
        std::string name = stem;
        for (std::size_t i = 0; i < kTempRandomPart; ++i) name += kCharacters[pick(generator)];
        std::string path = join_path(directory, name + suffix);
        try {
            UniqueFd fd(open_file(path, OpenMode::CreateNew));
            return {std::move(path), std::move(fd)};
        } catch (const OSError& error) {
            // Taken by a file or a directory: another name.
            const bool taken = error.errnum() == EEXIST || error.errnum() == EISDIR;
            if (!taken || attempt >= 100) throw;
        }
    }
}

void os::remove_file_quietly(const std::string& path) noexcept {
    try {
        ::DeleteFileW(win32::widen(path).c_str());
    } catch (...) {
    }
}

// The host's tempfile candidates on Windows, in its order.
std::vector<std::string> os::temp_directory_candidates() {
    const auto variable = [](const char* name) { return win32::get_environment(name).value_or(""); };
    std::vector<std::string> candidates;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        if (!variable(name).empty()) candidates.push_back(variable(name));
    }
    std::string home = variable("USERPROFILE");
    if (home.empty() && !variable("HOMEPATH").empty()) home = variable("HOMEDRIVE") + variable("HOMEPATH");
    if (!home.empty()) candidates.push_back(home + "\\AppData\\Local\\Temp");
    if (!variable("SYSTEMROOT").empty()) candidates.push_back(variable("SYSTEMROOT") + "\\Temp");
    for (const char* fixed : {"c:\\temp", "c:\\tmp", "\\temp", "\\tmp"}) candidates.emplace_back(fixed);
    candidates.emplace_back(".");
    for (std::string& candidate : candidates) candidate = absolute_path(candidate);
    return candidates;
}

}  // namespace merivane
