// The two engines of the repeat filter. Both keep a record when its span
// overlaps at least one catalog interval, each record at most once, and copy
// the VCF's header lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "repeats/intervals.hpp"

namespace merivane::repeats {

// Engine names a caller may force.
inline constexpr std::string_view kBedtools = "bedtools";
inline constexpr std::string_view kBuiltin = "builtin";

// Whether an executable `bedtools` is on the PATH; looked up afresh each call.
bool bedtools_available();

// The command line the bedtools engine runs. "-u" writes a record once
// however many catalog intervals it overlaps.
std::vector<std::string> bedtools_command(const std::string& repeat_path, const std::string& bed_path);

// Both engines refuse an output naming an input, and replace the output only
// once it is complete: after any failure an earlier file there is untouched.
// Both read the repeat VCF once, so it may be a pipe or FIFO; a damaged one
// raises naming it. When the VCF has records and none lies on a chromosome of
// the catalog (named differently, as GRCh37's "1" against hg38's "chr1", or
// another reference): ValueError with `require_catalog_chromosomes`, else a
// WARNING; the filter would otherwise keep nothing in silence.

// Runs `bedtools intersect` with its standard output copied into
// `output_path` as it arrives, on private copies of inputs it could not read
// itself. A non-zero exit raises CalledProcessError naming the command that
// ran; a failed write to the output raises OSError (bedtools itself would
// exit 0); output that does not begin with the repeat VCF's header lines, or
// whose records are not a subsequence of its records, raises RuntimeError.
// bedtools' error stream is summarised in one line, never passed on whole.
void intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                             const std::string& output_path, bool require_catalog_chromosomes = false);

struct IntersectCounts {
    std::int64_t kept = 0;     // records written
    std::int64_t dropped = 0;  // records outside the catalog, or without a span
};

// The built-in engine: loads the catalog, then streams the VCF (plain or
// gzip, told by its first bytes) line by line into `output_path`. Header
// lines are copied wherever they stand, blank lines skipped. Memory use is
// the catalog's, whatever the size of the VCF. Logs the counts when done.
IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path, bool require_catalog_chromosomes = false);

}  // namespace merivane::repeats
