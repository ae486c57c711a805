#include "unifier/rules.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/overrides.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

namespace {

const std::string kSvtypeKey = std::string(own_tag::kSvtype.id) + '=';
const std::string kRepeatMark = ';' + kSvtypeKey + "REP";
// An <ROH> record around its position, end and score.
const std::string kRohAfterPos = "\t.\tN\t<" + std::string(own_tag::kRohAllele.id) + ">\t.\tPASS\t" +
                                 std::string(own_tag::kEnd.id) + '=';
const std::string kRohAfterEnd = ';' + kSvtypeKey + "ROH;" + std::string(own_tag::kRohScore.id) + '=';
const std::string kRohAfterScore = '\t' + std::string(own_tag::kGenotype.id) + "\t1/1\n";
// The rules read records with one sample: its columns, and no more.
constexpr std::size_t kRecordCells = vcf::kFirstSample + 1;

[[noreturn]] void list_index_out_of_range() { throw IndexError("list index out of range"); }

bool has_svtype(std::string_view info) { return info.find(kSvtypeKey) != std::string_view::npos; }

// The entry at `index` of `text` split on ':', or nullopt when there are fewer.
std::optional<std::string_view> colon_entry(std::string_view text, std::size_t index) {
    std::size_t start = 0;
    for (; index > 0; --index) {
        start = text.find(':', start);
        if (start == std::string_view::npos) return std::nullopt;
        ++start;
    }
    return text.substr(start, text.find(':', start) - start);
}

// Index of the first ':'-separated key equal to `key`, or nullopt.
std::optional<std::size_t> colon_index(std::string_view text, std::string_view key) {
    for (std::size_t index = 0, start = 0;; ++index) {
        const std::size_t colon = text.find(':', start);
        if (text.substr(start, colon - start) == key) return index;
        if (colon == std::string_view::npos) return std::nullopt;
        start = colon + 1;
    }
}

}  // namespace

bool is_valid_line(std::string_view line) {
    if (line.empty() || is_header_line(line)) return true;
    std::array<std::string_view, kRecordCells> cells;
    if (leading_cells(line, cells.data(), cells.size()) < kRecordCells) list_index_out_of_range();
    if (has_svtype(cells[vcf::kInfo])) return true;
    const std::optional<std::size_t> gt = colon_index(cells[vcf::kFormat], "GT");
    if (!gt) throw ValueError("'GT' is not in list");
    // The first sample may run to the end of the line; more samples follow
    // otherwise. Either way only the first one is consulted.
    const std::optional<std::string_view> genotype = colon_entry(cells[vcf::kFirstSample], *gt);
    if (!genotype) list_index_out_of_range();
    // A genotype ending the line still carries the terminator.
    return without_terminator(*genotype) != "./.";
}

void modify_repeat_line(std::string_view line, std::string& out) {
    const std::size_t cells = cell_count(line);
    if (cells > kRecordCells) {
        throw ValueError("too many values to unpack (expected " + std::to_string(kRecordCells) + ")");
    }
    if (cells < kRecordCells) {
        throw ValueError("not enough values to unpack (expected " + std::to_string(kRecordCells) + ", got " +
                         std::to_string(cells) + ")");
    }
    const std::size_t info_end = end_of_cell(line, vcf::kInfo);
    out.clear();
    out.reserve(line.size() + kRepeatMark.size());
    out.append(line.substr(0, info_end));
    out.append(kRepeatMark);
    out.append(line.substr(info_end));
}

std::string modify_repeat_line(std::string_view line) {
    std::string out;
    modify_repeat_line(line, out);
    return out;
}

bool repeat_line_needs_svtype(std::string_view line) {
    std::array<std::string_view, kRecordCells> cells;
    if (leading_cells(line, cells.data(), cells.size()) < kRecordCells) return false;
    return !has_svtype(cells[vcf::kInfo]);
}

std::string_view marked_repeat_line(std::string_view line, std::optional<bool> add, std::string& scratch,
                                    const RepeatOverrides& overrides) {
    if (add == false) return line;
    std::array<std::string_view, kRecordCells> cells;
    if (leading_cells(line, cells.data(), cells.size()) < kRecordCells) return line;
    if (!add.has_value() && !run_step(overrides.needs_svtype, repeat_line_needs_svtype, line)) return line;
    run_step(overrides.modify, static_cast<void (*)(std::string_view, std::string&)>(modify_repeat_line), line, scratch);
    return scratch;
}

SvFilterTokens::SvFilterTokens(const std::vector<std::string>& tokens) : tokens_(tokens) {
    std::sort(tokens_.begin(), tokens_.end());
    tokens_.erase(std::unique(tokens_.begin(), tokens_.end()), tokens_.end());
}

bool SvFilterTokens::drops(std::string_view line) const {
    if (tokens_.empty() || is_header_line(line)) return false;
    line = without_trailing_newlines(line);
    std::array<std::string_view, vcf::kFilter + 2> cells;
    // Looking one cell past FILTER stops it at its tab.
    if (leading_cells(line, cells.data(), cells.size()) <= vcf::kFilter) return false;
    std::string_view filter = cells[vcf::kFilter];
    for (;;) {
        const std::size_t semicolon = filter.find(';');
        const std::string_view part = filter.substr(0, semicolon);
        if (std::binary_search(tokens_.begin(), tokens_.end(), part)) return true;
        if (semicolon == std::string_view::npos) return false;
        filter.remove_prefix(semicolon + 1);
    }
}

void SvFilterTokens::log_removed(std::size_t removed) const {
    if (removed == 0) return;
    log_info("Filtered %d SV records with FILTER in %s from the unified VCF",
             {static_cast<std::int64_t>(removed), tokens_});
}

std::vector<std::string_view> drop_sv_records_by_filter(LineSpan lines, const std::vector<std::string>& tokens) {
    const SvFilterTokens filter(tokens);
    std::vector<std::string_view> kept;
    kept.reserve(lines.size());
    std::ranges::copy_if(lines, std::back_inserter(kept), [&](std::string_view line) { return !filter.drops(line); });
    filter.log_removed(lines.size() - kept.size());
    return kept;
}

bool contains_column_header(std::string_view line) { return line.find(kVcfColumnHeader) != std::string_view::npos; }

bool roh_lines_are_bed(LineSpan lines, std::string_view declared) {
    if (declared == roh_format::kBed) return true;
    if (declared == roh_format::kVcf) return false;
    return std::ranges::none_of(lines, contains_column_header);
}

void roh_bed_line_to_vcf(std::string_view bed_line, std::string& out) {
    std::array<std::string_view, 5> cells;
    const std::size_t found = leading_cells(strip_whitespace(bed_line), cells.data(), cells.size());
    if (found < 3) list_index_out_of_range();
    const std::int64_t start = parse_int(cells[1]);
    const std::int64_t end = parse_int(cells[2]);
    if (found < 4) list_index_out_of_range();
    // A BED interval is 0-based and half-open, a VCF position 1-based; bounds
    // written the wrong way round give the same record.
    const std::int64_t low = std::min(start, end);
    if (low == INT64_MAX) throw ValueError("integer out of range: " + quoted(cells[1]));
    // No interval starts before its chromosome: -5 would become POS -4.
    if (low < 0) throw ValueError("ROH interval bound is negative: " + quoted(start < 0 ? cells[1] : cells[2]));
    out.clear();
    out.append(cells[0]);
    out += '\t';
    out += std::to_string(low + 1);
    out += kRohAfterPos;
    out += std::to_string(std::max(start, end));
    out += kRohAfterEnd;
    out.append(cells[3]);
    out += kRohAfterScore;
}

std::string roh_bed_line_to_vcf(std::string_view bed_line) {
    std::string out;
    roh_bed_line_to_vcf(bed_line, out);
    return out;
}

}  // namespace merivane::unifier
