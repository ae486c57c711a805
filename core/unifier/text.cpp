#include "unifier/text.hpp"

#include <cstring>
#include <limits>

#include "platform/error.hpp"

namespace merivane::unifier {

namespace {

const char* find_tab(const char* from, const char* end) {
    return static_cast<const char*>(std::memchr(from, '\t', static_cast<std::size_t>(end - from)));
}

bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

// Length of the white-space character starting at `text[0]`, or 0.
std::size_t space_at_start(std::string_view text) {
    if (text.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(text[0]);
    if (b0 < 0x80) return ascii_space(b0) ? 1 : 0;
    if (text.size() >= 2 && b0 == 0xC2) {
        const auto b1 = static_cast<unsigned char>(text[1]);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (text.size() < 3) return 0;
    const auto b1 = static_cast<unsigned char>(text[1]);
    const auto b2 = static_cast<unsigned char>(text[2]);
    if (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) return 3;  // U+1680
    if (b0 == 0xE2 && b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3;
    if (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
    if (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white-space character ending the text, or 0.
std::size_t space_at_end(std::string_view text) {
    if (text.empty()) return 0;
    const auto last = static_cast<unsigned char>(text.back());
    if (last < 0x80) return ascii_space(last) ? 1 : 0;
    for (std::size_t width = 2; width <= 3 && width <= text.size(); ++width) {
        if (space_at_start(text.substr(text.size() - width)) == width) return width;
    }
    return 0;
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

std::string_view strip_whitespace(std::string_view text) {
    while (const std::size_t n = space_at_start(text)) text.remove_prefix(n);
    while (const std::size_t n = space_at_end(text)) text.remove_suffix(n);
    return text;
}

std::int64_t parse_int(std::string_view text) {
    const std::string_view body = strip_whitespace(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative = body[i++] == '-';
    if (i == body.size()) invalid_int(text);
    // Accumulate the magnitude as a negative number so INT64_MIN fits.
    std::int64_t value = 0;
    bool previous_digit = false;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '_') {
            if (!previous_digit || i + 1 == body.size()) invalid_int(text);
            previous_digit = false;
            continue;
        }
        if (c < '0' || c > '9') invalid_int(text);
        const int digit = c - '0';
        if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
            throw ValueError("integer out of range: " + quoted(text));
        }
        value = value * 10 - digit;
        previous_digit = true;
    }
    if (!negative) {
        if (value == std::numeric_limits<std::int64_t>::min()) throw ValueError("integer out of range: " + quoted(text));
        value = -value;
    }
    return value;
}

std::string quoted(std::string_view text) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, quote);
    static const char* const kHex = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == quote || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    out += quote;
    return out;
}

std::string_view without_terminator(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    return line;
}

}  // namespace merivane::unifier
