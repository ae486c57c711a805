#include "cli/command_line.hpp"

#include <string_view>

#include "platform/file_io.hpp"
#include "repeats/repeat_filter.hpp"

namespace merivane::cli {

namespace {

std::string_view file_name(std::string_view path) {
#ifdef _WIN32
    const std::size_t separator = path.find_last_of("/\\:");
#else
    const std::size_t separator = path.rfind('/');
#endif
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace

std::string filtered_repeats_beside_output(const std::string& output_path, const std::string& full_repeat_path) {
    const std::string name = repeats::filtered_repeat_path(std::string(file_name(full_repeat_path)));
    return join_path(directory_of(output_path), name);
}

}  // namespace merivane::cli
