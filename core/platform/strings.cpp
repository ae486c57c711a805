#include "platform/strings.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "platform/error.hpp"

namespace merivane {

namespace {

constexpr std::string_view kAsciiWhitespace = " \t\n\r\f\v";

// Byte length of the white-space character (as the host's str.isspace() has
// it) that starts `text`, or 0.
std::size_t leading_space(std::string_view text) noexcept {
    const auto at = [&](std::size_t i) -> unsigned char {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
    };
    const unsigned char c = at(0);
    if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) ? 1 : 0;
    if (c == 0xc2) return (at(1) == 0x85 || at(1) == 0xa0) ? 2 : 0;                 // U+0085, U+00A0
    if (c == 0xe1) return (at(1) == 0x9a && at(2) == 0x80) ? 3 : 0;                 // U+1680
    if (c == 0xe2) {
        const unsigned char b = at(1), d = at(2);
        // U+2000..U+200A, U+2028, U+2029, U+202F
        if (b == 0x80 && ((d >= 0x80 && d <= 0x8a) || d == 0xa8 || d == 0xa9 || d == 0xaf)) return 3;
        if (b == 0x81 && d == 0x9f) return 3;                                        // U+205F
        return 0;
    }
    if (c == 0xe3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;                 // U+3000
    return 0;
}

// Byte length of a white-space character that ends `text`, or 0.
std::size_t trailing_space(std::string_view text) noexcept {
    for (std::size_t width = 1; width <= 3 && width <= text.size(); ++width) {
        const auto c = static_cast<unsigned char>(text[text.size() - width]);
        if ((c & 0xc0) == 0x80) continue;  // a continuation byte: the character starts earlier
        return leading_space(text.substr(text.size() - width)) == width ? width : 0;
    }
    return 0;
}

}  // namespace

std::string_view strip_whitespace(std::string_view text) noexcept {
    while (const std::size_t n = leading_space(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

bool is_blank(std::string_view text) noexcept { return strip_whitespace(text).empty(); }

std::string_view strip_ascii_whitespace(std::string_view text) noexcept {
    const std::size_t first = text.find_first_not_of(kAsciiWhitespace);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kAsciiWhitespace);
    return text.substr(first, last - first + 1);
}

bool is_ascii_blank(std::string_view text) noexcept {
    return text.find_first_not_of(kAsciiWhitespace) == std::string_view::npos;
}

std::string_view without_terminator(std::string_view line) noexcept {
    if (line.ends_with('\n')) line.remove_suffix(line.ends_with("\r\n") ? 2 : 1);
    return line;
}

std::string_view without_trailing_newlines(std::string_view line) noexcept {
    return line.substr(0, line.find_last_not_of('\n') + 1);
}

SignedText split_sign(std::string_view text) noexcept {
    const bool signed_text = text.starts_with('+') || text.starts_with('-');
    return {text.starts_with('-'), signed_text ? text.substr(1) : text};
}

bool is_ascii_digits(std::string_view text) noexcept {
    return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::int64_t> digits_to_int64(bool negative, std::string_view digits) noexcept {
    // Read unsigned so that the most negative value fits; no digits leave it 0.
    std::uint64_t magnitude = 0;
    const std::errc error = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude).ec;
    const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + negative;
    if (error == std::errc::result_out_of_range || magnitude > limit) return std::nullopt;
    // Minus (magnitude - 1), less one: -2^63 never passes through +2^63.
    return negative ? -static_cast<std::int64_t>(magnitude - 1) - 1 : static_cast<std::int64_t>(magnitude);
}

std::size_t character_count(std::string_view text) noexcept {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return count;
}

std::string_view first_characters(std::string_view text, std::size_t count) noexcept {
    std::size_t pos = 0;
    for (std::size_t seen = 0; pos < text.size() && seen < count; ++seen) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xc0) == 0x80) ++pos;
    }
    return text.substr(0, pos);
}

std::string quoted(std::string_view text) {
    const bool single_only = text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos;
    const char quote = single_only ? '"' : '\'';
    std::string out(1, quote);
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const std::size_t named = std::string_view("\n\r\t").find(ch);
        if (ch == quote || ch == '\\') {
            out.append({'\\', ch});
        } else if (named != std::string_view::npos) {
            out.append({'\\', "nrt"[named]});
        } else if (c < 0x20 || c == 0x7f) {
            out.append({'\\', 'x', kHex[c >> 4], kHex[c & 0xf]});
        } else {
            out += ch;
        }
    }
    out += quote;
    return out;
}

std::int64_t parse_int(std::string_view text) {
    const auto [negative, body] = split_sign(strip_whitespace(text));
    // Digits, with single underscores between them.
    std::string digits(body);
    std::erase(digits, '_');
    if (!is_ascii_digits(digits) || body.starts_with('_') || body.ends_with('_') ||
        body.find("__") != std::string_view::npos) {
        throw ValueError("invalid literal for int() with base 10: " + quoted(text));
    }
    const std::optional<std::int64_t> value = digits_to_int64(negative, digits);
    if (!value) throw ValueError("integer out of range: " + quoted(text));
    return *value;
}

}  // namespace merivane
