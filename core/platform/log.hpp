// Log events of the core, never formatted here: the %-style format and its
// values reach the host apart (a Python LogRecord keeps `msg` and `args`).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace merivane {

enum class LogLevel { Info, Warning };

struct NoneValue {
    bool operator==(const NoneValue&) const = default;
};

// One value of a log message: the host's None, an integer, a text, or a list
// of texts (rendered by the host as ['a', 'b']).
using LogArg = std::variant<NoneValue, std::int64_t, std::string, std::vector<std::string>>;

struct LogEvent {
    LogLevel level;
    std::string format;
    std::vector<LogArg> args;
};

using LogSink = std::function<void(const LogEvent&)>;

// Installs the sink of every event (empty: dropped); returns the previous one.
LogSink set_log_sink(LogSink sink);

void log_event(LogEvent event);

inline void log_info(std::string format, std::vector<LogArg> args = {}) {
    log_event({LogLevel::Info, std::move(format), std::move(args)});
}

inline void log_warning(std::string format, std::vector<LogArg> args = {}) {
    log_event({LogLevel::Warning, std::move(format), std::move(args)});
}

}  // namespace merivane
