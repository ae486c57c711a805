#include "unifier/text.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "platform/error.hpp"
#include "platform/strings.hpp"

namespace merivane::unifier {

namespace {

const char* find_tab(const char* from, const char* end) {
    return static_cast<const char*>(std::memchr(from, '\t', static_cast<std::size_t>(end - from)));
}

[[noreturn]] void invalid_int(std::string_view text) {
    throw ValueError("invalid literal for int() with base 10: " + quoted(text));
}

}  // namespace

std::size_t cell_count(std::string_view line) {
    std::size_t count = 1;
    const char* p = line.data();
    const char* end = p + line.size();
    while ((p = find_tab(p, end)) != nullptr) {
        ++count;
        ++p;
    }
    return count;
}

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
    std::size_t pos = 0;
    for (std::size_t i = 0;; ++i) {
        const std::size_t tab = line.find('\t', pos);
        if (tab == std::string_view::npos) return tab;
        if (i == index) return tab;
        pos = tab + 1;
    }
}

std::int64_t parse_int(std::string_view text) {
    const auto [negative, body] = split_sign(strip_whitespace(text));
    if (body.empty()) invalid_int(text);
    // Digits, with single underscores between them.
    bool previous_digit = false;
    bool underscores = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '_') {
            if (!previous_digit || i + 1 == body.size()) invalid_int(text);
            previous_digit = false;
            underscores = true;
            continue;
        }
        if (c < '0' || c > '9') invalid_int(text);
        previous_digit = true;
    }
    std::optional<std::int64_t> value;
    if (underscores) {
        std::string digits;
        for (const char c : body) {
            if (c != '_') digits += c;
        }
        value = digits_to_int64(negative, digits);
    } else {
        value = digits_to_int64(negative, body);
    }
    if (!value) throw ValueError("integer out of range: " + quoted(text));
    return *value;
}

}  // namespace merivane::unifier
