#include "platform/error.hpp"

#include <cerrno>
#include <cstring>

namespace merivane {

namespace {
std::string join_command(const std::vector<std::string>& cmd) {
    std::string out;
    for (const auto& part : cmd) {
        if (!out.empty()) out += ' ';
        out += part;
    }
    return out;
}
}  // namespace

OSError::OSError(int errnum, std::string filename)
    : Error("[Errno " + std::to_string(errnum) + "] " + std::strerror(errnum) + ": '" + filename + "'"),
      errnum_(errnum),
      filename_(std::move(filename)),
      strerror_(std::strerror(errnum)) {}

void throw_os_error(const std::string& filename) {
    const int errnum = errno;
    throw OSError(errnum, filename);
}

UnicodeDecodeError::UnicodeDecodeError(std::string object, std::size_t start, std::size_t end, std::string reason)
    : Error("'utf-8' codec can't decode bytes in position " + std::to_string(start) + "-" +
            std::to_string(end > start ? end - 1 : start) + ": " + reason),
      object_(std::move(object)),
      start_(start),
      end_(end),
      reason_(std::move(reason)) {}

CalledProcessError::CalledProcessError(int returncode, std::vector<std::string> cmd)
    : Error("Command '" + join_command(cmd) + "' returned non-zero exit status " + std::to_string(returncode) + "."),
      returncode_(returncode),
      cmd_(std::move(cmd)) {}

TimeoutExpired::TimeoutExpired(std::vector<std::string> cmd, double timeout_seconds)
    : Error("Command '" + join_command(cmd) + "' timed out after " + std::to_string(timeout_seconds) + " seconds"),
      cmd_(std::move(cmd)),
      timeout_(timeout_seconds) {}

}  // namespace merivane
