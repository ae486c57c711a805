#include "platform/vcf_fields.hpp"

#include <algorithm>

#include "platform/strings.hpp"

namespace merivane {

std::size_t cell_count(std::string_view line) { return static_cast<std::size_t>(std::ranges::count(line, '\t')) + 1; }

std::size_t leading_cells(std::string_view line, std::string_view* out, std::size_t wanted) {
    std::size_t found = 0;
    for (std::size_t at = 0; found < wanted && at <= line.size();) {
        const std::size_t tab = std::min(line.find('\t', at), line.size());
        out[found++] = line.substr(at, tab - at);
        at = tab + 1;
    }
    return found;
}

std::size_t end_of_cell(std::string_view line, std::size_t index) {
    std::size_t tab = line.find('\t');
    for (std::size_t i = 0; i < index && tab != std::string_view::npos; ++i) tab = line.find('\t', tab + 1);
    return tab;
}

LineRole line_role(std::string_view line) noexcept {
    if (is_header_line(line)) return LineRole::Header;
    return is_blank(line) ? LineRole::Blank : LineRole::Record;
}

bool is_header_or_blank(std::string_view line) noexcept {
    const std::string_view stripped = strip_whitespace(line);
    return stripped.empty() || is_header_line(stripped);
}

std::optional<std::string_view> info_value(std::string_view info, std::string_view key) {
    for (std::size_t start = 0; start <= info.size();) {
        const std::size_t end = std::min(info.find(';', start), info.size());
        const std::string_view entry = info.substr(start, end - start);
        if (entry.starts_with(key) && entry.substr(key.size()).starts_with('=')) return entry.substr(key.size() + 1);
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace merivane
