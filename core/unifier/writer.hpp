// The unified, unsorted VCF: one header, from the first present input among
// SV, CNV and REPEATS, then the records of the other inputs in the order CNV,
// REPEATS, ROH, each input in its own line order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unifier/reading.hpp"
#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane {
class AtomicOutput;
}

namespace merivane::unifier {

inline constexpr const char* kNothingToUnify = "Empty/no vcf files to concatenate";
inline constexpr const char* kNoColumnHeader = "No vcf header for given %s file";
inline constexpr const char* kUnifiedCreated = "Created unified vcf file at %s";
inline constexpr const char* kMetaLineAmongRecords =
    "The %s input has a meta-information line among its records, at line %d; the merged header takes it in";

// What the unified file holds, by input, by SVTYPE and by chromosome.
struct RecordTally {
    using Counts = std::map<std::string, std::uint64_t, std::less<>>;

    void count(InputKind kind, std::string_view record);

    KindTable<std::uint64_t> kept{};
    std::uint64_t records = 0;
    std::uint64_t without_svtype = 0;
    Counts by_svtype;
    Counts by_chromosome;
};

using LinesTable = KindTable<std::optional<LineSpan>>;

LinesTable table_of(const FilesLines& files);

// The input whose header the unified file carries: the first present of SV,
// CNV and repeats; nullopt when none is.
std::optional<InputKind> donor_kind(const LinesTable& lines);

using TextSink = std::function<void(std::string_view text)>;

// The record rules the writer applies, as a host may stand in for them (platform/overrides.hpp).
struct WriterOverrides {
    std::function<bool(std::string_view line)> is_valid_line;
    std::function<std::string_view(std::string_view line, std::optional<bool> add, std::string& scratch)>
        marked_repeat_line;
    std::function<bool(std::string_view line)> repeat_line_needs_svtype;
    std::function<void(std::string_view line, std::string& out)> modify_repeat_line;
    std::function<bool(LineSpan lines, std::string_view declared)> roh_lines_are_bed;
    std::function<void(std::string_view bed_line, std::string& out)> roh_bed_line_to_vcf;
    std::function<std::string(LineSpan lines)> vcf_header_from_lines;
};

// Whether repeat records are marked by the core's rules alone, so that
// marking one twice gives the same line and calls nothing outside.
inline bool marks_repeats_as_core(const WriterOverrides& overrides) noexcept {
    return !overrides.marked_repeat_line && !overrides.modify_repeat_line;
}

// A caller's change to the unified header: the one sample column renamed, and
// "##" lines (without line ends) added just before the column-header line.
struct HeaderEdit {
    std::optional<std::string> sample;
    std::vector<std::string> lines;

    bool empty() const noexcept { return !sample && lines.empty(); }
};

// ValueError for a sample name or a line that would break the header.
void check_header_edit(const HeaderEdit& edit);

// Appends the records of one input (never its header) to `out`: the lines
// after its column-header line, repeat records marked, or every interval of
// an ROH BED converted. Warns when the input has no column header.
void write_vcf_content(InputKind kind, LineSpan lines, const TextSink& out, const UnifyOptions& options,
                       const WriterOverrides& overrides = {});

// Writes the unified file at `output_path`, replacing an earlier one only once
// complete, and returns that path; nullopt, leaving an empty file, when no
// input could donate a header. `merge_headers`: see header.hpp.
std::optional<std::string> unify_lines(const LinesTable& lines, const std::string& output_path,
                                       const UnifyOptions& options, const WriterOverrides& overrides = {},
                                       bool merge_headers = false, const HeaderEdit& edit = {},
                                       RecordTally* tally = nullptr);

// ValueError, naming the input and its first record, for records that would not
// fit the header: a sample count other than the donor's (two callers often name
// one sample apart, so names may differ; converted ROH intervals have one), or a
// sites-only CNV or repeat donor (its records would be screened by genotype, or
// dropped). An appended sites-only input, whose records are dropped with a
// warning, is refused too when `refuse_appended_sites_only`.
void check_columns(const LinesTable& lines, const UnifyOptions& options, const WriterOverrides& overrides,
                   bool refuse_appended_sites_only);

// unify_lines into `file` and `sink`, one whole line at a time (either may be
// null or empty), for a caller that checked `edit`. `file` is put in place when
// nothing was unified or when `put_in_place`; otherwise the caller decides.
std::optional<std::string> unify_into(const LinesTable& lines, const std::string& output_path, AtomicOutput* file,
                                      const TextSink& sink, const UnifyOptions& options,
                                      const WriterOverrides& overrides, bool merge_headers, const HeaderEdit& edit,
                                      RecordTally* tally, bool put_in_place);

}  // namespace merivane::unifier
