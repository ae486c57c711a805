#include "platform/paths.hpp"

namespace merivane {

namespace {

bool is_separator(char c, PathRules rules) { return c == '/' || (rules == PathRules::Windows && c == '\\'); }

// The drive part of a Windows path, as ntpath.splitdrive finds it: "C:" or
// the "\\server\share" of a UNC path.
std::size_t drive_length(std::string_view path, PathRules rules) {
    if (rules != PathRules::Windows || path.size() < 2) return 0;
    if (is_separator(path[0], rules) && is_separator(path[1], rules)) {
        std::size_t server_end = 2;
        while (server_end < path.size() && !is_separator(path[server_end], rules)) ++server_end;
        if (server_end == path.size()) return 0;
        std::size_t share_end = server_end + 1;
        // A UNC path never has two separators in a row after its first two.
        if (share_end < path.size() && is_separator(path[share_end], rules)) return 0;
        while (share_end < path.size() && !is_separator(path[share_end], rules)) ++share_end;
        return share_end;
    }
    return path[1] == ':' ? 2 : 0;
}

}  // namespace

SplitPath split_path(std::string_view path, PathRules rules) {
    const std::size_t drive = drive_length(path, rules);
    std::size_t name_start = path.size();
    while (name_start > drive && !is_separator(path[name_start - 1], rules)) --name_start;
    std::size_t head_end = name_start;
    while (head_end > drive && is_separator(path[head_end - 1], rules)) --head_end;
    // A directory of separators only is the root and keeps them all.
    if (head_end == drive) head_end = name_start;
    return {std::string(path.substr(0, head_end)), std::string(path.substr(name_start))};
}

std::string join_path(std::string_view directory, std::string_view name, PathRules rules) {
    const std::size_t drive = drive_length(directory, rules);
    std::string joined(directory);
    const bool needs_separator = joined.size() > drive && !is_separator(joined.back(), rules);
    // A UNC share with nothing after it still needs its separator; a drive
    // letter alone ("C:") means that drive's current directory and takes none.
    const bool bare_share = joined.size() == drive && drive > 2;
    if (needs_separator || bare_share) joined += rules == PathRules::Windows ? '\\' : '/';
    joined += name;
    return joined;
}

}  // namespace merivane
