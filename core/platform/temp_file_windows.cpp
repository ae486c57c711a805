// Temporary files on Windows: created new (CREATE_NEW) under random names, in
// the directory the host's tempfile would choose. Windows has no mode bits;
// a new file takes the access rules of its directory (the user's own
// temporary directory by default).
#include "platform/temp_file.hpp"

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

// `directory`\`stem`<random>`suffix`, failing rather than opening anything
// that already has the name.
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
