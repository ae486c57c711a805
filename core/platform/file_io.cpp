// The parts of the file layer that are the same on every system.
#include "platform/file_io.hpp"

#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/error.hpp"
#include "platform/strings.hpp"
#include "platform/system_files.hpp"

namespace merivane {

namespace {
constexpr std::size_t kOutputBuffer = 1 << 20;
}  // namespace

int (*os::injected_failure)(const char* call, const std::string& path) = nullptr;

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

void UniqueFd::close(const std::string& path) {
    const int fd = release();
    if (fd < 0) return;
    // Linux releases the descriptor even when close fails, so it is never
    // retried; EINTR says nothing about the data.
    if (::close(fd) != 0 && errno != EINTR) throw_os_error(path);
}

OutputFile::OutputFile(std::string path) : OutputFile(UniqueFd(os::open_truncated(path)), path) {}

OutputFile::OutputFile(UniqueFd fd, std::string path) : path_(std::move(path)), fd_(std::move(fd)) {
    buffer_.reserve(kOutputBuffer);
}

void OutputFile::write(std::string_view data) {
    if (!fd_) throw OSError(EBADF, path_);
    if (buffer_.size() + data.size() > kOutputBuffer) {
        flush();
        if (data.size() >= kOutputBuffer) {
            write_through(data.data(), data.size());
            return;
        }
    }
    buffer_.append(data);
}

void OutputFile::flush() {
    if (buffer_.empty()) return;
    // Clear first: after a failed write the buffered bytes are not retried.
    const std::string pending = std::exchange(buffer_, {});
    buffer_.reserve(kOutputBuffer);
    write_through(pending.data(), pending.size());
}

void OutputFile::close() {
    if (!fd_) return;
    try {
        flush();
    } catch (...) {
        fd_.reset();
        throw;
    }
    fd_.close(path_);
}

std::string absolute_path(const std::string& path) {
    std::error_code ignored;
    const std::u8string text = std::filesystem::absolute(os::to_fs_path(path), ignored).lexically_normal().u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

void reject_outputs_naming_inputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                                  std::string_view parameter, std::string_view what) {
    for (const std::string& output : outputs) {
        for (const std::string& input : inputs) {
            if (same_file(output, input)) {
                throw ValueError("The output file " + merivane::quoted(output) + " would replace the " +
                                 std::string(what) + " " + merivane::quoted(input) + "; choose another " +
                                 std::string(parameter));
            }
        }
    }
}

}  // namespace merivane
