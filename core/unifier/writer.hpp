// The unified, unsorted VCF: one header, from the first present input among
// SV, CNV and REPEATS, then the records of the other inputs in the order CNV,
// REPEATS, ROH, each input in its own line order.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "unifier/reading.hpp"
#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

inline constexpr const char* kNothingToUnify = "Empty/no vcf files to concatenate";
inline constexpr const char* kNoColumnHeader = "No vcf header for given %s file";
inline constexpr const char* kUnifiedCreated = "Created unified vcf file at %s";

// Input kind -> the input's lines, or nullopt when absent (an empty list is
// present).
using LinesTable = std::array<std::optional<LineSpan>, 4>;

LinesTable table_of(const FilesLines& files);

// Where the writer's text goes.
class TextSink {
public:
    virtual ~TextSink() = default;
    virtual void write(std::string_view text) = 0;
};

// The record rules the writer applies; an empty member means the core's
// rule. A host that lets callers replace a rule fills in that member.
struct WriterSteps {
    std::function<bool(std::string_view line)> is_valid_line;
    // Writes the marked line over `out`; the core's rule marks with
    // options.add_repeat_svtype and `repeat`.
    std::function<void(std::string_view line, std::string& out)> marked_repeat_line;
    RepeatSteps repeat;
    std::function<bool(LineSpan lines, const std::string& declared)> roh_lines_are_bed;
    std::function<void(std::string_view bed_line, std::string& out)> roh_bed_line_to_vcf;
    std::function<std::string(LineSpan lines)> vcf_header_from_lines;
};

// Appends the records of one input (never its header) to `out`: the lines
// after its column-header line, repeat records marked, or every BED interval
// converted when it is an ROH BED. Warns when the input has no column header.
void write_vcf_content(InputKind kind, LineSpan lines, TextSink& out, const UnifyOptions& options,
                       const WriterSteps& steps = {});

// Writes the unified VCF to `out`; false, with nothing written, when no
// input can donate a header. `merge_headers` as below.
bool write_unified(const LinesTable& lines, TextSink& out, const UnifyOptions& options, const WriterSteps& steps = {},
                   bool merge_headers = false);

// Writes the unified file at `output_path` and returns that path, or
// nullopt when no input could donate a header (an empty file is left). The
// file replaces an earlier one only once complete: after an error the
// earlier file (or none) is still there.
// `merge_headers` adds to the donor's header what the other inputs declare
// and what the records use undeclared (unifier/header.hpp); the records are
// the same either way.
std::optional<std::string> unify_lines(const LinesTable& lines, const std::string& output_path,
                                       const UnifyOptions& options, const WriterSteps& steps = {},
                                       bool merge_headers = false);

}  // namespace merivane::unifier
