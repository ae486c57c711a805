// Temporary files on Windows: created new (CREATE_NEW) under random names, in
// the directory the host's tempfile would choose. Windows has no mode bits;
// a new file takes the access rules of its directory (the user's own
// temporary directory by default).
#include "platform/temp_file.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <random>
#include <vector>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/paths.hpp"
#include "platform/system_files.hpp"
#include "platform/win32.hpp"

namespace merivane {

const std::size_t os::kTempRandomPart = 8;  // as the host's tempfile names
const std::size_t os::kMaxFileName = 255;

namespace {

std::string random_characters() {
    static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kCharacters - 2);
    std::string text;
    for (std::size_t i = 0; i < os::kTempRandomPart; ++i) text += kCharacters[pick(generator)];
    return text;
}

}  // namespace

// `directory`\`stem`<random>`suffix`, failing rather than opening anything
// that already has the name.
std::pair<std::string, UniqueFd> os::create_exclusive(const std::string& directory, const std::string& stem,
                                                      const std::string& suffix) {
    for (int attempt = 0;; ++attempt) {
        std::string path = join_path(directory, stem + random_characters() + suffix);
        try {
            UniqueFd fd(win32::open_file(path, win32::OpenMode::CreateNew));
            return {std::move(path), std::move(fd)};
        } catch (const OSError& error) {
            // Taken by a file, or by a directory (reported as access denied
            // when the name is a directory): another name.
            const bool taken = error.errnum() == EEXIST || (error.errnum() == EISDIR);
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

namespace {

// Whether a file can be created, written and removed in `directory`.
bool usable_temp_directory(const std::string& directory) {
    const std::string probe = join_path(directory, "tmp" + random_characters());
    const HANDLE handle = ::CreateFileW(win32::widen(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(handle, "blat", 4, &written, nullptr) && written == 4;
    ::CloseHandle(handle);
    return ok;
}

std::string environment_or_empty(const char* name) { return win32::get_environment(name).value_or(""); }

}  // namespace

UniqueFd create_unnamed_temp_file() {
    // Removed by the system when its last handle closes, however this
    // process ends; the name is visible meanwhile, but nothing is left.
    const std::string directory = temp_directory();
    for (int attempt = 0;; ++attempt) {
        const std::string path = join_path(directory, "tmp" + random_characters());
        const HANDLE handle = ::CreateFileW(
            win32::widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS && attempt < 100) continue;
            throw OSError(win32::errno_from(error), path);
        }
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY | _O_NOINHERIT);
        if (fd < 0) {
            ::CloseHandle(handle);
            throw OSError(EMFILE, path);
        }
        return UniqueFd(fd);
    }
}

std::string temp_directory() {
    // The host's tempfile candidates on Windows, in its order.
    std::vector<std::string> candidates;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        const std::string value = environment_or_empty(name);
        if (!value.empty()) candidates.push_back(value);
    }
    std::string home = environment_or_empty("USERPROFILE");
    if (home.empty() && !environment_or_empty("HOMEPATH").empty()) {
        home = environment_or_empty("HOMEDRIVE") + environment_or_empty("HOMEPATH");
    }
    if (!home.empty()) candidates.push_back(home + "\\AppData\\Local\\Temp");
    const std::string systemroot = environment_or_empty("SYSTEMROOT");
    if (!systemroot.empty()) candidates.push_back(systemroot + "\\Temp");
    for (const char* fixed : {"c:\\temp", "c:\\tmp", "\\temp", "\\tmp"}) candidates.emplace_back(fixed);
    candidates.push_back(absolute_path("."));

    std::string tried;
    for (const std::string& candidate : candidates) {
        const std::string directory = absolute_path(candidate);
        if (usable_temp_directory(directory)) return directory;
        tried += (tried.empty() ? "" : ", ") + directory;
    }
    throw OSError(ENOENT, "No usable temporary directory found in [" + tried + "]");
}

}  // namespace merivane
