// The two engines of the repeat filter. Both keep each record whose span overlaps
// a catalog interval, once, and copy the VCF's header lines; refuse an output
// naming an input and replace the output only once it is complete; read the
// repeat VCF once (it may be a pipe), a damaged one raising naming it. When it
// has records and none lies on a catalog chromosome (GRCh37's "1" against hg38's
// "chr1", or another reference): ValueError with `require_catalog_chromosomes`,
// else a WARNING.
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

struct IntersectCounts {
    std::int64_t kept = 0;     // records written
    std::int64_t dropped = 0;  // records outside the catalog, or without a span
};

// Runs `bedtools intersect` (on private copies of inputs it cannot read itself),
// copying its output into `output_path` as it arrives. CalledProcessError for a
// non-zero exit, OSError for a failed write (bedtools would exit 0), RuntimeError
// for output not led by the VCF's header lines or whose records are no
// subsequence of its records. Its error stream is summarised in one line.
IntersectCounts intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                                        const std::string& output_path, bool require_catalog_chromosomes = false);

// The built-in engine: loads the catalog, then streams the VCF (plain or
// gzip) into `output_path`, copying header lines wherever they stand and
// skipping blank ones; memory use is the catalog's. Logs the counts.
IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path, bool require_catalog_chromosomes = false);

// The bedtools engine or the built-in one, as above, giving the records it
// kept and left out.
IntersectCounts run_engine(bool bedtools, const std::string& repeat_path, const std::string& bed_path,
                           const std::string& output_path, bool require_catalog_chromosomes);

}  // namespace merivane::repeats
