// Helpers shared by the core's test suites.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.hpp"

namespace merivane::testing {

// A fresh directory under the system temp directory, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return (root_ / name).string(); }
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path root_;
};

std::string read_file(const std::string& path);
// Names in `directory`, sorted.
std::vector<std::string> entries(const std::string& directory);
// An executable shell script `name` in `dir` running `body`; its path.
std::string write_script(const TempDir& dir, const std::string& name, const std::string& body);

// An environment variable set (or, nullopt, unset) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
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
