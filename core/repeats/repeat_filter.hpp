// The repeat filter: restricts a tandem-repeat VCF to the loci of a catalog
// BED before unification, with bedtools where it is installed and the
// built-in engine otherwise.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "repeats/engines.hpp"

namespace merivane::repeats {

inline constexpr const char* kFullRepeatsNotGiven = "Can't filter repeats file \"%s\". The file does not exist";

// Where the filtered VCF goes by default: beside the input, its name
// stripped back to (and including) ".vcf", or of every extension when it has
// no ".vcf" one, followed by "_filtered.vcf".
std::string filtered_repeat_path(const std::string& full_repeat_path);

// The steps of the filter a host may stand in for (platform/overrides.hpp).
struct FilterOverrides {
    std::function<bool()> bedtools_available;
    std::function<void(const std::string& repeats, const std::string& bed, const std::string& out)>
        intersect_with_bedtools;
    std::function<void(const std::string& repeats, const std::string& bed, const std::string& out)>
        intersect_builtin;
    std::function<std::string(const std::string& full_repeat_path)> filtered_repeat_path;
};

// Filters `full_repeat_path` against the catalog `repeat_bed_file_path` and
// returns the filtered VCF's path. An input not given, or missing, is logged and
// gives nullopt with nothing written (a missing one is OSError with
// `require_catalog_chromosomes`). `engine` forces "bedtools" (RuntimeError when
// not on the PATH) or, for any other value, the built-in engine. ValueError,
// before any file is created, when the output would be an input. For records on
// no catalog chromosome, see engines.hpp. `counts`, when given, gets the records
// the engine kept and left out, unless a host stood in for it.
std::optional<std::string> filter_repeats_vcf(const std::optional<std::string>& full_repeat_path,
                                              const std::optional<std::string>& repeat_bed_file_path,
                                              const std::optional<std::string>& engine,
                                              const std::optional<std::string>& output_path,
                                              const FilterOverrides& overrides = {},
                                              bool require_catalog_chromosomes = false,
                                              IntersectCounts* counts = nullptr);

}  // namespace merivane::repeats
