#include "platform/log.hpp"

#include <utility>

namespace merivane {

namespace {
LogSink& current_sink() {
    static LogSink sink;
    return sink;
}
}  // namespace

LogSink set_log_sink(LogSink sink) { return std::exchange(current_sink(), std::move(sink)); }

void log_event(LogEvent event) {
    if (const auto& sink = current_sink()) sink(event);
}

}  // namespace merivane
