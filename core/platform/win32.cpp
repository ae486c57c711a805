#include "platform/win32.hpp"

#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <utility>
#include <vector>

#include "platform/error.hpp"

namespace merivane::win32 {

std::wstring widen(std::string_view text) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    if (size <= 0) throw OSError(EINVAL, std::string(text));
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

int errno_from(unsigned long win32_error) {
    // As the C runtime maps them; anything else is EINVAL.
    static constexpr std::pair<unsigned long, int> kErrnos[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_INVALID_DRIVE, ENOENT},
        {ERROR_BAD_NETPATH, ENOENT}, {ERROR_BAD_NET_NAME, ENOENT}, {ERROR_BAD_PATHNAME, ENOENT},
        {ERROR_NO_MORE_FILES, ENOENT},
        {ERROR_FILE_EXISTS, EEXIST}, {ERROR_ALREADY_EXISTS, EEXIST},
        {ERROR_ACCESS_DENIED, EACCES}, {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_LOCK_VIOLATION, EACCES},
        {ERROR_WRITE_PROTECT, EACCES}, {ERROR_CURRENT_DIRECTORY, EACCES}, {ERROR_NETWORK_ACCESS_DENIED, EACCES},
        {ERROR_DISK_FULL, ENOSPC}, {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_OUTOFMEMORY, ENOMEM},
        {ERROR_DIRECTORY, ENOTDIR},
        {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
        {ERROR_NOT_SAME_DEVICE, EXDEV},
        {ERROR_BROKEN_PIPE, EPIPE}, {ERROR_NO_DATA, EPIPE},
        {ERROR_INVALID_HANDLE, EBADF},
        {ERROR_BAD_EXE_FORMAT, ENOEXEC},
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    };
    const auto* found = std::ranges::find(kErrnos, win32_error, &std::pair<unsigned long, int>::first);
    return found == std::end(kErrnos) ? EINVAL : found->second;
}

void throw_last_error(const std::string& path) { throw OSError(errno_from(::GetLastError()), path); }

std::wstring folded(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::optional<std::string> get_environment(const std::string& name) {
    const std::wstring wide_name = widen(name);
    std::vector<wchar_t> buffer(256);
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        if (n < buffer.size()) return narrow(std::wstring_view(buffer.data(), n));
        buffer.resize(n);
    }
}

}  // namespace merivane::win32

#endif
