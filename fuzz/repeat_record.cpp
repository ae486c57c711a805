// Record spans, INFO END and the decimal parser of the repeat filter on
// arbitrary lines, against a plain reading of the same rules: [POS - 1, END)
// or [POS - 1, POS - 1 + max(REF length, 1)), no span for short lines or
// a POS that is not a 64-bit integer, and never an overflowed coordinate.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "repeats/intervals.hpp"

using namespace merivane;
using namespace merivane::fuzz;

namespace {

std::optional<std::int64_t> expected_info_end(std::string_view info) {
    for (const std::string_view entry : split(info, ';')) {
        if (entry.substr(0, 4) == "END=") return decimal(entry.substr(4));
    }
    return std::nullopt;
}

std::size_t character_count(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

bool is_utf8(std::string_view text) {
    try {
        validate_utf8(text, "line");
        return true;
    } catch (const UnicodeDecodeError&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);

    // The decimal parser, on the whole line as an END value.
    if (line.find(';') == std::string::npos) {
        check(repeats::info_end("END=" + line) == decimal(line), "the decimal parser disagrees");
    }

    const auto end = repeats::info_end(line);
    check(end == expected_info_end(line), "info_end disagrees");

    const auto span = repeats::record_span(line);
    const auto fields = split(without_trailing_newlines(line), '\t');
    if (fields.size() < 8) {
        check(!span, "span of a line with fewer than eight columns");
        return 0;
    }
    const auto pos = decimal(fields[1]);
    if (!pos || *pos == INT64_MIN) {
        check(!span, "span without an integer POS");
        return 0;
    }
    const auto info = expected_info_end(fields[7]);
    if (!info && *pos - 1 > INT64_MAX - static_cast<std::int64_t>(std::max<std::size_t>(character_count(fields[3]), 1))) {
        check(!span, "span whose end overflows");
        return 0;
    }
    check(span.has_value(), "no span for a well-formed record");
    check(span->chromosome == fields[0] && span->chromosome.data() == line.data(), "chromosome is not CHROM");
    check(span->start == *pos - 1, "start is not POS - 1");
    if (info) {
        check(span->end == *info, "end is not INFO END");
    } else if (is_utf8(fields[3])) {
        check(span->end == span->start + static_cast<std::int64_t>(std::max<std::size_t>(character_count(fields[3]), 1)),
              "end is not start + REF length");
    }
    return 0;
}
