// The unified file with and without a merged header, on arbitrary inputs:
// both succeed or both fail (unless the records would not fit the merged
// header, which refuses them); merging only adds "##" lines, each declaring
// an ID no earlier line declares; and every chromosome a record uses that
// fits a contig line is declared by one.
//
// Input: one byte whose low four bits say which of SV, CNV, REPEATS and ROH
// are present, then their texts separated by zero bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "unifier/header.hpp"
#include "unifier/writer.hpp"

using namespace merivane;
using namespace merivane::fuzz;

namespace {

// The written file, or nothing when the call raised a core error.
std::optional<std::string> unified(const unifier::LinesTable& table, const char* name, bool merge) {
    const std::string path = scratch_file(name, "");
    try {
        if (!unifier::unify_lines(table, path, unifier::UnifyOptions{}, {}, merge)) return std::string("<none>");
    } catch (const Error&) {
        return std::nullopt;
    }
    return read_whole(path);
}

bool fits_contig_line(std::string_view name) {
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f || c == ',' || c == '<' || c == '>' || c == '"') return false;
    }
    return !name.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    silence_logs();
    Bytes in(data, size);
    const std::uint8_t present = in.byte();
    std::vector<std::string> texts;
    for (int i = 0; i < 4; ++i) texts.emplace_back(in.text('\0'));
    std::vector<std::vector<std::string_view>> lines;
    for (const std::string& text : texts) lines.push_back(split_lines(text));
    unifier::LinesTable table;
    for (std::size_t i = 0; i < 4; ++i) {
        if (present & (1u << i)) table[i] = unifier::LineSpan(lines[i]);
    }

    const auto plain = unified(table, "a", false);
    const auto merged = unified(table, "b", true);
    // The merged header refuses records that would not fit it.
    try {
        unifier::check_columns(table, unifier::UnifyOptions{}, {}, false);
    } catch (const Error&) {
        check(!merged, "the merged header took records that do not fit it");
        return 0;
    }
    check(plain.has_value() == merged.has_value(), "only one of the two calls failed");
    if (!plain || *plain == "<none>") {
        check(plain == merged, "only one of the two calls found a header donor");
        return 0;
    }

    // It also takes in the meta-information lines met among an input's
    // records, so the default output shows the lines merging adds only when
    // each VCF's meta-information ends at its column header and no such
    // line follows.
    for (std::size_t i = 0; i < 4; ++i) {
        if (!table[i]) continue;
        const auto meta = [](std::string_view line) { return line.starts_with("##"); };
        // An appended input's records begin after the line holding the column header.
        const auto body = std::ranges::find_if(
            *table[i], [&](std::string_view line) { return !meta(line) || line.find("#CHROM") != line.npos; });
        if (i < 3 && (body == table[i]->end() || !body->starts_with("#CHROM"))) return 0;
        if (body != table[i]->end() && std::any_of(std::next(body), table[i]->end(), meta)) return 0;
    }

    const auto expected = split_lines(*plain);
    const auto got = split_lines(*merged);
    // Where the donor's meta-information ends at a column-header line, the
    // added lines are among those before it; without one, another input's
    // record that looks like meta-information could pass for an added line.
    bool checked_header = false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!table[i]) continue;
        const auto first = std::find_if(table[i]->begin(), table[i]->end(),
                                        [](std::string_view line) { return !line.starts_with("##"); });
        checked_header = first != table[i]->end() && first->starts_with("#CHROM");
        break;
    }
    std::size_t header_end = 0;
    while (header_end < got.size() && got[header_end].starts_with("##")) ++header_end;
    std::size_t matched = 0;
    std::set<std::pair<std::string, std::string>> declared;
    std::set<std::string> contigs;
    std::vector<std::string_view> records;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::string_view line = got[i];
        const auto declaration = unifier::parse_declaration(line);
        // A donor's unterminated last line is terminated when lines follow it.
        const bool added = !(matched < expected.size() &&
                             without_trailing_newlines(line) == without_trailing_newlines(expected[matched]));
        if (added) {
            check(line.starts_with("##"), "a line other than meta-information was added");
            check(declaration.has_value(), "an added line declares nothing");
        } else {
            ++matched;
        }
        if (declaration) {
            std::pair<std::string, std::string> tag(declaration->key, declaration->id);
            check(!(checked_header && i < header_end && added && declared.count(tag)),
                  "an added line declares an ID again");
            declared.insert(tag);
            if (declaration->key == "contig") contigs.emplace(declaration->id);
        }
        if (!line.starts_with('#')) records.push_back(line);
    }
    check(matched == expected.size(), "a line of the default output is missing");
    for (const std::string_view record : records) {
        const std::size_t tab = record.find('\t');
        if (tab == std::string_view::npos || !fits_contig_line(record.substr(0, tab))) continue;
        check(contigs.count(std::string(record.substr(0, tab))) > 0, "a record's chromosome is not declared");
    }
    return 0;
}
