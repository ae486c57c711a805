// Windows helpers: the core's paths are UTF-8 and its failures errno values,
// the Win32 API's UTF-16 and Win32 error codes.
#pragma once

#ifdef _WIN32

#include <optional>
#include <string>
#include <string_view>

namespace merivane::win32 {

// UTF-8 to UTF-16. A path that is not valid UTF-8 names no file: OSError
// (EINVAL) naming it.
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

// The errno value the C runtime gives for a Win32 error code.
int errno_from(unsigned long win32_error);
// OSError for GetLastError(), naming `path`.
[[noreturn]] void throw_last_error(const std::string& path);

// Lower case, for names Windows compares without regard to case.
std::wstring folded(std::wstring text);

// Reads an environment variable through the wide API (the C runtime's
// narrow copy is in the ANSI code page); nullopt when it is not set.
std::optional<std::string> get_environment(const std::string& name);

}  // namespace merivane::win32

#endif
