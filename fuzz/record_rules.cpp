// The CNV validity rule and the repeat marking rules on arbitrary UTF-8
// lines, against a plain reading of them: the same answer, or the same kind
// of error, and a marked line that is the input with ";SVTYPE=REP" after
// INFO and nothing else changed.
//
// Input: one control byte (bits 0-1: marking unset, true or false), then the line.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "unifier/rules.hpp"

using namespace merivane;
using namespace merivane::fuzz;

namespace {

// "true", "false", or the name of the error kind.
template <typename Rule>
std::string outcome(Rule&& rule) {
    try {
        return rule() ? "true" : "false";
    } catch (const IndexError&) {
        return "IndexError";
    } catch (const ValueError&) {
        return "ValueError";
    }
}

std::string expected_validity(std::string_view line) {
    if (line.starts_with('#') || line.empty()) return "true";
    const auto cells = split(line, '\t');
    if (cells.size() < 10) return "IndexError";
    if (cells[7].find("SVTYPE=") != std::string_view::npos) return "true";
    const auto keys = split(cells[8], ':');
    std::size_t gt = 0;
    while (gt < keys.size() && keys[gt] != "GT") ++gt;
    if (gt == keys.size()) return "ValueError";
    const auto values = split(cells[9], ':');
    if (gt >= values.size()) return "IndexError";
    // A genotype that ends the line is compared without its terminator, so
    // a no-call is a no-call wherever GT stands.
    std::string_view genotype = values[gt];
    if (genotype.ends_with("\r\n")) {
        genotype.remove_suffix(2);
    } else if (genotype.ends_with('\n')) {
        genotype.remove_suffix(1);
    }
    return genotype == "./." ? "false" : "true";
}

std::optional<std::string> expected_marked(std::string_view line) {
    const auto cells = split(line, '\t');
    if (cells.size() != 10) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) out += '\t';
        out += cells[i];
        if (i == 7) out += ";SVTYPE=REP";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int choice = data[0] % 3;
    const std::optional<bool> add = choice == 0 ? std::nullopt : std::optional<bool>(choice == 1);
    const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        validate_utf8(line, "line");
    } catch (const UnicodeDecodeError&) {
        return 0;  // lines reach the rules decoded
    }
    const auto cells = split(line, '\t');

    check(outcome([&] { return unifier::is_valid_line(line); }) == expected_validity(line), "is_valid_line");

    const bool needs = cells.size() >= 10 && cells[7].find("SVTYPE=") == std::string_view::npos;
    check(unifier::repeat_line_needs_svtype(line) == needs, "repeat_line_needs_svtype");

    const auto marked = expected_marked(line);
    try {
        const std::string got = unifier::modify_repeat_line(line);
        check(marked.has_value() && got == *marked, "modify_repeat_line");
    } catch (const ValueError&) {
        check(!marked, "modify_repeat_line refused a ten-cell line");
    }

    const bool marks = add != false && cells.size() >= 10 && (add == true || needs);
    std::string scratch;
    try {
        const std::string got(unifier::marked_repeat_line(line, add, scratch));
        check(got == (marks ? marked.value_or("<none>") : line), "marked_repeat_line");
    } catch (const ValueError&) {
        check(marks && !marked, "marked_repeat_line raised where it marks nothing");
    }
    return 0;
}
