#include "unifier/text.hpp"

#include <optional>
#include <string>

#include "platform/error.hpp"
#include "platform/strings.hpp"

namespace merivane::unifier {

namespace {

[[noreturn]] void invalid_int(std::string_view text) {
    throw ValueError("invalid literal for int() with base 10: " + quoted(text));
}

}  // namespace

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
