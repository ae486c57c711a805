// Small text operations on UTF-8 lines, shaped after what the host's own
// string methods do, so a line gets the same treatment whichever side reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace merivane::unifier {

// Number of tab-separated cells (an empty line has one).
std::size_t cell_count(std::string_view line);

// Fills out[0..n) with the first cells of `line`, n at most `wanted`, and
// returns n; the last cell found runs to the next tab or the end of the line.
std::size_t leading_cells(std::string_view line, std::string_view* out, std::size_t wanted);

// Offset of the tab that ends cell `index`, or npos when that cell is the
// last one (or absent).
std::size_t end_of_cell(std::string_view line, std::size_t index);

// A base-10 integer the way the host's int() reads text: surrounding white
// space (as strip_whitespace has it), an optional sign, ASCII digits with
// single underscores between them.
// ValueError (with the host's wording) for anything else or for a value
// beyond 64 bits.
std::int64_t parse_int(std::string_view text);

}  // namespace merivane::unifier
