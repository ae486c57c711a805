// Small text operations on UTF-8 lines, shaped after what the host's own
// string methods do, so a line gets the same treatment whichever side reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace merivane::unifier {

// A base-10 integer the way the host's int() reads text: surrounding white
// space (as strip_whitespace has it), an optional sign, ASCII digits with
// single underscores between them.
// ValueError (with the host's wording) for anything else or for a value
// beyond 64 bits.
std::int64_t parse_int(std::string_view text);

}  // namespace merivane::unifier
