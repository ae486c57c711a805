// Helpers shared by the core's test suites.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.hpp"
#include "platform/text_reader.hpp"

namespace merivane::testing {

// A fresh directory under the system temp directory, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    // A path in it, in UTF-8 and with the system's own separators.
    std::string path(const std::string& name) const;
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path root_;
};

std::string read_file(const std::string& path);
// The whole file as lines, as a TextReader reads it.
inline LineBuffer read_lines(const std::string& path, Compression compression) {
    return LineBuffer(TextReader(path, compression).read_all());
}

// Writes `data` at `offset` into a new file, leaving the bytes before it a
// hole; false where the file system cannot (no sparse files, or none that
// large).
bool write_sparse(const std::string& path, std::uint64_t offset, const std::string& data);

// The path of the test child (test_child.cpp), built beside the tests.
std::string test_child_path();

// Makes `link` a symbolic link to `target`; false where the system refuses
// (Windows grants the right only to administrators and developer mode).
bool make_symlink(const std::string& target, const std::string& link);

// Skips the calling test where the fake programs it writes (POSIX shell
// scripts, see write_script) cannot run.
#ifdef _WIN32
#define MERIVANE_SKIP_WITHOUT_POSIX_SHELL() GTEST_SKIP() << "the fake programs are POSIX shell scripts"
#else
#define MERIVANE_SKIP_WITHOUT_POSIX_SHELL() static_cast<void>(0)
#endif

// Names in `directory`, sorted.
std::vector<std::string> entries(const std::string& directory);
// An executable shell script `name` in `dir` running `body`; its path.
std::string write_script(const TempDir& dir, const std::string& name, const std::string& body);

// An environment variable set (or, nullopt, unset) for one scope, where the
// core's own lookups see it: on Windows the wide environment, not the C
// runtime's narrow copy.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};
std::string gzip_bytes(const std::string& data);

// Collects the log events emitted while it lives.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    const std::vector<LogEvent>& events() const { return events_; }

private:
    std::vector<LogEvent> events_;
    LogSink previous_;
};

}  // namespace merivane::testing
