// The sort key, the header split and the in-memory sort on arbitrary UTF-8
// lines, against a plain reading of the order: header lines first in input
// order, blank lines dropped, then records by chromosome (bytes), POS as an
// integer of any size (0 when it is not one) and the whole line (bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compression/sorting.hpp"
#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"

using namespace merivane;
using namespace merivane::fuzz;
using namespace merivane::compression;

namespace {

bool blank(std::string_view line) {
    const auto codes = code_points(line);
    return std::all_of(codes.begin(), codes.end(), python_space);
}

// An integer of any size as (sign, digits without leading zeros); zero is
// (0, "0"). Not an integer: nullopt.
struct Big {
    int sign;
    std::string digits;
};

std::optional<Big> python_integer(std::string_view field) {
    auto codes = code_points(field);
    while (!codes.empty() && python_space(codes.front())) codes.erase(codes.begin());
    while (!codes.empty() && python_space(codes.back())) codes.pop_back();
    int sign = 1;
    std::size_t i = 0;
    if (!codes.empty() && (codes[0] == '+' || codes[0] == '-')) {
        sign = codes[0] == '-' ? -1 : 1;
        i = 1;
    }
    if (i == codes.size()) return std::nullopt;
    std::string digits;
    for (; i < codes.size(); ++i) {
        if (codes[i] < '0' || codes[i] > '9') return std::nullopt;
        if (!(digits.empty() && codes[i] == '0')) digits.push_back(static_cast<char>(codes[i]));
    }
    if (digits.empty()) return Big{0, "0"};
    return Big{sign, digits};
}

int compare(const Big& a, const Big& b) {
    if (a.sign != b.sign) return a.sign < b.sign ? -1 : 1;
    if (a.sign == 0) return 0;
    int magnitude = a.digits.size() != b.digits.size() ? (a.digits.size() < b.digits.size() ? -1 : 1)
                                                        : a.digits.compare(b.digits);
    magnitude = magnitude < 0 ? -1 : magnitude > 0 ? 1 : 0;
    return a.sign * magnitude;
}

Big big_of(const Position& position) {
    if (position.magnitude != 0) return Big{position.magnitude, std::string(position.digits)};
    if (position.value == 0) return Big{0, "0"};
    const std::int64_t v = position.value;
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return Big{v < 0 ? -1 : 1, std::to_string(magnitude)};
}

struct Key {
    std::string_view chromosome;
    Big position;
    std::string_view line;
};

Key expected_key(std::string_view line) {
    const auto fields = split(line, '\t');
    std::optional<Big> position;
    if (fields.size() >= 2) position = python_integer(fields[1]);
    return Key{fields[0], position.value_or(Big{0, "0"}), line};
}

int compare(const Key& a, const Key& b) {
    if (const int c = a.chromosome.compare(b.chromosome)) return c;
    if (const int c = compare(a.position, b.position)) return c;
    return a.line.compare(b.line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    silence_logs();
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        validate_utf8(text, "input");
    } catch (const UnicodeDecodeError&) {
        return 0;  // lines reach the sort decoded
    }
    const std::vector<std::string_view> lines = split_lines(text);

    for (const std::string_view line : lines) {
        const SortKey key = read_sort_key(line);
        const Key expected = expected_key(line);
        check(key.chromosome == expected.chromosome, "chromosome differs");
        const auto fields = split(line, '\t');
        const bool numeric = fields.size() >= 2 && python_integer(fields[1]).has_value();
        check(key.numeric == numeric, "numeric flag differs");
        check(compare(big_of(key.position), expected.position) == 0, "position differs");
    }

    const LineSplit parts = split_header(lines);
    std::vector<std::size_t> header, records;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].starts_with('#')) {
            header.push_back(i);
        } else if (!blank(lines[i])) {
            records.push_back(i);
        }
    }
    check(parts.header == header, "header lines differ");
    check(parts.records == records, "record lines differ");

    const std::vector<std::size_t> order = sort_in_memory(lines, parts.records);
    std::vector<std::size_t> same_records = order;
    std::sort(same_records.begin(), same_records.end());
    check(same_records == records, "the sort lost or duplicated a record");
    for (std::size_t i = 1; i < order.size(); ++i) {
        const int c = compare(expected_key(lines[order[i - 1]]), expected_key(lines[order[i]]));
        check(c < 0 || (c == 0 && order[i - 1] < order[i]), "records out of order");
    }
    return 0;
}
