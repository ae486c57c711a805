// Windows helpers of the platform layer: the core's paths and texts are UTF-8,
// the Win32 API's are UTF-16, and its failures are Win32 error codes where
// the core reports errno values.
#pragma once

#ifdef _WIN32

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

// Removes a file if it can, reporting nothing: for the owners' clean-up on
// the way out of an error.
void delete_file_quietly(const std::string& path) noexcept;

// Reads an environment variable through the wide API (the C runtime's
// narrow copy is in the ANSI code page); false when it is not set.
bool get_environment(const std::string& name, std::string& value);

}  // namespace merivane::win32

#endif
