#include "platform/vcf_fields.hpp"

#include <algorithm>
#include <cstring>

#include "platform/strings.hpp"

namespace merivane {

namespace {
const char* find_tab(const char* from, const char* end) {
    return static_cast<const char*>(std::memchr(from, '\t', static_cast<std::size_t>(end - from)));
}
}  // namespace

std::size_t cell_count(std::string_view line) { return static_cast<std::size_t>(std::ranges::count(line, '\t')) + 1; }

std::size_t leading_cells(std::string_view line, std::string_view* out, std::size_t wanted) {
    std::size_t found = 0;
    const char* p = line.data();
    const char* end = p + line.size();
    while (found < wanted) {
        const char* tab = find_tab(p, end);
        if (tab == nullptr) {
            out[found++] = std::string_view(p, static_cast<std::size_t>(end - p));
            break;
        }
        out[found++] = std::string_view(p, static_cast<std::size_t>(tab - p));
        p = tab + 1;
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
