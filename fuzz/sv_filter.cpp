// The SV FILTER rule and the ROH shape test on arbitrary lines and tokens:
// exactly the records whose FILTER carries a token go, everything else
// (headers, short lines) stays unchanged and in order.
//
// Input: tokens separated by ";", a zero byte, then the lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"
#include "unifier/rules.hpp"

using namespace merivane;
using namespace merivane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    silence_logs();
    Bytes in(data, size);
    std::vector<std::string> tokens;
    const std::string_view token_text = in.text('\0');
    if (!token_text.empty()) {
        for (const auto token : split(token_text, ';')) tokens.emplace_back(token);
    }
    const std::string text(in.rest());
    const std::vector<std::string_view> lines = split_lines(text);

    const std::set<std::string_view> wanted(tokens.begin(), tokens.end());
    std::vector<std::string_view> kept;
    for (const std::string_view line : lines) {
        bool drop = false;
        if (!tokens.empty() && !line.starts_with('#')) {
            std::string_view content = line;
            while (content.ends_with('\n')) content.remove_suffix(1);
            const auto cells = split(content, '\t');
            if (cells.size() >= 7) {
                for (const auto part : split(cells[6], ';')) drop = drop || wanted.count(part) > 0;
            }
        }
        if (!drop) kept.push_back(line);
    }
    const auto got = unifier::drop_sv_records_by_filter(lines, tokens);
    check(got.size() == kept.size(), "a different number of lines kept");
    for (std::size_t i = 0; i < got.size(); ++i) {
        check(got[i].data() == kept[i].data() && got[i].size() == kept[i].size(), "kept line differs");
    }

    const bool has_column_header = std::any_of(lines.begin(), lines.end(), [](std::string_view line) {
        return line.find("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT") != std::string_view::npos;
    });
    for (const std::string_view declared : {"bed", "vcf", "auto", "BED", ""}) {
        const bool expected = declared == "bed" || (declared != "vcf" && !has_column_header);
        check(unifier::roh_lines_are_bed(lines, declared) == expected, "roh_lines_are_bed");
    }
    return 0;
}
