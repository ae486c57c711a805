// Per-record rules: CNV screening, repeat marking, SV FILTER dropping and the
// ROH shape test and BED conversion; pure functions of their lines.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace merivane::unifier {

using LineSpan = std::span<const std::string_view>;

// Whether a CNV line is carried into the unified file: headers, empty text and
// records with SVTYPE= are; other records unless their first sample's
// genotype is the no-call "./.". IndexError for fewer than ten cells or a
// sample shorter than FORMAT's GT position, ValueError for a FORMAT without GT.
bool is_valid_line(std::string_view line);

// The ten-cell record with ";SVTYPE=REP" appended to INFO, written over
// `out`. ValueError unless the line has exactly ten cells.
void modify_repeat_line(std::string_view line, std::string& out);
std::string modify_repeat_line(std::string_view line);

// Whether a repeat record (ten cells or more) lacks SVTYPE= in INFO.
bool repeat_line_needs_svtype(std::string_view line);

// The two rules above as a host may stand in for them (platform/overrides.hpp).
struct RepeatOverrides {
    std::function<bool(std::string_view line)> needs_svtype;
    std::function<void(std::string_view line, std::string& out)> modify;
};

// The repeat line as written: `line` itself, or `scratch` holding it marked.
// `add` nullopt marks only records that lack SVTYPE=, true marks every record
// of ten cells or more, false none.
std::string_view marked_repeat_line(std::string_view line, std::optional<bool> add, std::string& scratch,
                                    const RepeatOverrides& overrides = {});

// The distinct FILTER tokens whose SV records are dropped.
class SvFilterTokens {
public:
    explicit SvFilterTokens(const std::vector<std::string>& tokens);

    // Whether `line` is a record whose FILTER carries one of the tokens.
    bool drops(std::string_view line) const;
    void log_removed(std::size_t removed) const;

private:
    std::vector<std::string> tokens_;  // sorted, distinct
};

// The lines that survive the FILTER rule, in order; logs how many did not.
std::vector<std::string_view> drop_sv_records_by_filter(LineSpan lines, const std::vector<std::string>& tokens);

bool contains_column_header(std::string_view line);

// Whether the ROH input is a BED to convert: as declared by "bed" or "vcf",
// otherwise (any other text) exactly when no line holds the column header.
bool roh_lines_are_bed(LineSpan lines, std::string_view declared);

// One DRAGEN ROH BED interval (chrom, start, end, score) as an <ROH> record
// terminated by "\n", written over `out`. IndexError for fewer than four
// cells, ValueError for a bound that is not an integer.
void roh_bed_line_to_vcf(std::string_view bed_line, std::string& out);
std::string roh_bed_line_to_vcf(std::string_view bed_line);

}  // namespace merivane::unifier
