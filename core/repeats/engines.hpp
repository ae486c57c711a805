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

inline constexpr std::string_view kBedtools = "bedtools";
inline constexpr std::string_view kBuiltin = "builtin";

// Whether an executable `bedtools` is on the PATH; looked up afresh each call.
bool bedtools_available();

// Both engines refuse an output naming an input and replace the output only
// once it is complete. They read the repeat VCF once, so it may be a pipe; a
// damaged one raises naming it. When it has records and none lies on a
// catalog chromosome (GRCh37's "1" against hg38's "chr1", or another
// reference): ValueError with `require_catalog_chromosomes`, else a WARNING.

// Runs `bedtools intersect`, its output copied into `output_path` as it
// arrives, on private copies of inputs it could not read itself. A non-zero
// exit raises CalledProcessError; a failed write OSError (bedtools would exit
// 0); output that does not begin with the VCF's header lines, or whose
// records are not a subsequence of its records, RuntimeError. bedtools'
// error stream is summarised in one line.
void intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                             const std::string& output_path, bool require_catalog_chromosomes = false);

struct IntersectCounts {
    std::int64_t kept = 0;     // records written
    std::int64_t dropped = 0;  // records outside the catalog, or without a span
};

// The built-in engine: loads the catalog, then streams the VCF (plain or
// gzip) into `output_path`, copying header lines wherever they stand and
// skipping blank ones; memory use is the catalog's. Logs the counts.
IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path, bool require_catalog_chromosomes = false);

// The bedtools engine or the built-in one, as above, giving the records it
// kept and left out; without the check of the output, which the filter made.
IntersectCounts run_engine(bool bedtools, const std::string& repeat_path, const std::string& bed_path,
                           const std::string& output_path, bool require_catalog_chromosomes);

}  // namespace merivane::repeats
