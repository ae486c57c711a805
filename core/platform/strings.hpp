// UTF-8 text operations shaped after the host's string methods, so a line is
// treated alike on either side and a message spells a value as the host would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merivane {

// Strips leading and trailing white space as the host's str.strip() does:
// ASCII white space, the separators U+001C..U+001F, and the Unicode spaces.
std::string_view strip_whitespace(std::string_view text) noexcept;

// Empty, or white space only (see `strip_whitespace`).
bool is_blank(std::string_view text) noexcept;

// Strips only the ASCII white space C's isspace() knows.
std::string_view strip_ascii_whitespace(std::string_view text) noexcept;

// Empty, or ASCII white space only (see `strip_ascii_whitespace`).
bool is_ascii_blank(std::string_view text) noexcept;

// The line without its terminator: a "\n", with the "\r" before it.
std::string_view without_terminator(std::string_view line) noexcept;

// Without every "\n" at the end, as the host's str.rstrip("\n") has it.
std::string_view without_trailing_newlines(std::string_view line) noexcept;

// An integer literal split at its sign: at most one leading "+" or "-".
struct SignedText {
    bool negative = false;
    std::string_view digits;  // everything after the sign, unchecked
};
SignedText split_sign(std::string_view text) noexcept;

// Non-empty and ASCII decimal digits only.
bool is_ascii_digits(std::string_view text) noexcept;

// The value of `digits` (ASCII decimal digits only) with the given sign, or
// nullopt when it lies beyond 64 bits. Leading zeros are allowed.
std::optional<std::int64_t> digits_to_int64(bool negative, std::string_view digits) noexcept;

// A base-10 integer as the host's int() reads text: surrounding white space,
// an optional sign, ASCII digits with single underscores between them.
// ValueError (in the host's words) for anything else or beyond 64 bits.
std::int64_t parse_int(std::string_view text);

// Number of characters (code points) in UTF-8 text.
std::size_t character_count(std::string_view text) noexcept;

// The first `count` characters (code points) of UTF-8 text.
std::string_view first_characters(std::string_view text, std::size_t count) noexcept;

// The host's repr() of a text: quoted, with control characters escaped.
std::string quoted(std::string_view text);

// Cuts text that arrives in pieces (a child's output, a writer's calls) into
// whole lines, each handed on with its "\n".
class LineJoiner {
public:
    template <class Take>
    void feed(std::string_view data, Take&& take) {
        while (!data.empty()) {
            const std::size_t end = data.find('\n');
            if (end == std::string_view::npos) {
                partial_.append(data);
                return;
            }
            if (partial_.empty()) {
                take(data.substr(0, end + 1));
            } else {
                partial_.append(data.substr(0, end + 1));
                take(std::string_view(partial_));
                partial_.clear();
            }
            data.remove_prefix(end + 1);
        }
    }

    // What came after the last "\n": a last line without one, or nothing.
    std::string& rest() noexcept { return partial_; }

private:
    std::string partial_;
};

}  // namespace merivane
