// The tab-separated fields of a VCF record (or a BED line), and the fixed
// columns of a VCF record by position: one reading shared by the record
// rules, the repeat spans and the sort key.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace merivane {

namespace vcf {
// Columns of a record, from 0: eight fixed ones, then FORMAT and the samples.
enum Column : std::size_t { kChrom, kPos, kId, kRef, kAlt, kQual, kFilter, kInfo, kFormat, kFirstSample };
inline constexpr std::size_t kFixedColumns = kFormat;
}  // namespace vcf

// What a line is, the one reading for every reader of VCF and BED text.
// A header line: a meta-information line ("##...") or the column header.
inline bool is_header_line(std::string_view line) noexcept { return line.starts_with('#'); }
// A meta-information line.
inline bool is_meta_line(std::string_view line) noexcept { return line.starts_with("##"); }
// What a line of a plain VCF is to sorting: header lines keep their order
// at the top, records are sorted, blank lines (white space only, as the
// host's str.isspace() has it) are dropped.
enum class LineRole { Header, Record, Blank };
LineRole line_role(std::string_view line) noexcept;
inline bool is_record_line(std::string_view line) noexcept { return line_role(line) == LineRole::Record; }
// A line that adds nothing to an input: blank, or a header line once white
// space is stripped.
bool is_header_or_blank(std::string_view line) noexcept;

// Number of tab-separated cells (an empty line has one).
std::size_t cell_count(std::string_view line);

// Fills out[0..n) with the first cells of `line`, n at most `wanted`, and
// returns n; the last cell found runs to the next tab or the end of the line.
std::size_t leading_cells(std::string_view line, std::string_view* out, std::size_t wanted);

// Offset of the tab that ends cell `index`, or npos when that cell is the
// last one (or absent).
std::size_t end_of_cell(std::string_view line, std::size_t index);

// The value of the first "`key`=" entry of an INFO column, or nullopt.
std::optional<std::string_view> info_value(std::string_view info, std::string_view key);

}  // namespace merivane
