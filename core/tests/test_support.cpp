#include "test_support.hpp"

#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>

namespace merivane::testing {

TempDir::TempDir() {
    std::random_device device;
    root_ = std::filesystem::temp_directory_path() / ("merivane-test-" + std::to_string(device()));
    std::filesystem::create_directories(root_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::path(const std::string& name) const {
    std::filesystem::path full = root_ / std::filesystem::path(std::u8string(name.begin(), name.end()));
    const std::u8string text = full.make_preferred().u8string();
    return std::string(text.begin(), text.end());
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string full = path(name);
    std::ofstream(std::filesystem::path(std::u8string(full.begin(), full.end())), std::ios::binary) << content;
    return full;
}

std::string read_file(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

namespace {

std::optional<std::string> get_environment(const std::string& name) {
#ifdef _WIN32
    const std::wstring wide = std::filesystem::path(std::u8string(name.begin(), name.end())).wstring();
    const DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(wide.c_str(), value.data(), size));
    const std::u8string text = std::filesystem::path(value).u8string();
    return std::string(text.begin(), text.end());
#else
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
#endif
}

void set_environment(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    const auto wide = [](const std::string& text) {
        return std::filesystem::path(std::u8string(text.begin(), text.end())).wstring();
    };
    ::SetEnvironmentVariableW(wide(name).c_str(), value ? wide(*value).c_str() : nullptr);
#else
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
#endif
}

}  // namespace

bool write_sparse(const std::string& path, std::uint64_t offset, const std::string& data) {
    const std::filesystem::path file(std::u8string(path.begin(), path.end()));
#ifdef _WIN32
    // NTFS fills a gap with zeros on disk unless the file is marked sparse.
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD ignored = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    const bool ok = ::DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr) &&
                    ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) &&
                    ::WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == data.size();
    ::CloseHandle(handle);
    if (!ok) return false;
#else
    std::ofstream out(file, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(offset));
    out << data;
    out.close();
    if (!out) return false;
#endif
    std::error_code error;
    return std::filesystem::file_size(file, error) == offset + data.size() && !error;
}

std::string test_child_path() {
#ifdef _WIN32
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::filesystem::path here(self);
#else
    const std::filesystem::path here = std::filesystem::read_symlink("/proc/self/exe");
#endif
    const std::u8string path = (here.parent_path() / MERIVANE_TEST_CHILD).u8string();
    return std::string(path.begin(), path.end());
}

bool make_symlink(const std::string& target, const std::string& link) {
    std::error_code error;
    std::filesystem::create_symlink(target, link, error);
    return !error;
}

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string write_script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
    return path;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), old_(get_environment(name_)) {
    set_environment(name_, value);
}

ScopedEnv::~ScopedEnv() { set_environment(name_, old_); }

std::string gzip_bytes(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("zlib");
    std::string out(deflateBound(&stream, data.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

CapturedLog::CapturedLog() {
    previous_ = set_log_sink([this](const LogEvent& event) { events_.push_back(event); });
}

CapturedLog::~CapturedLog() { set_log_sink(std::move(previous_)); }

}  // namespace merivane::testing
