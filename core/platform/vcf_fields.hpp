// The tab-separated fields of a VCF record or BED line, and what a line is:
// one reading shared by every reader of VCF and BED text.
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

// A meta-information line ("##...") or the column header.
inline bool is_header_line(std::string_view line) noexcept { return line.starts_with('#'); }
inline bool is_meta_line(std::string_view line) noexcept { return line.starts_with("##"); }
// To sorting, header lines keep their order at the top, records are sorted,
// blank lines (white space only, as the host's str.isspace() has it) dropped.
enum class LineRole { Header, Record, Blank };
LineRole line_role(std::string_view line) noexcept;
inline bool is_record_line(std::string_view line) noexcept { return line_role(line) == LineRole::Record; }
// A line that adds nothing to an input: blank, or a header line once white
// space is stripped.
bool is_header_or_blank(std::string_view line) noexcept;

// Number of tab-separated cells (an empty line has one).
std::size_t cell_count(std::string_view line);

// Fills out[0..n) with the first n <= `wanted` cells of `line`; returns n.
std::size_t leading_cells(std::string_view line, std::string_view* out, std::size_t wanted);

// Offset of the tab that ends cell `index`, or npos when that cell is the
// last one (or absent).
std::size_t end_of_cell(std::string_view line, std::size_t index);

// The value of the first "`key`=" entry of an INFO column, or nullopt.
std::optional<std::string_view> info_value(std::string_view info, std::string_view key);

}  // namespace merivane
