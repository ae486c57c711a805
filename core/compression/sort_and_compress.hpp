// The last step of every unification: a plain VCF becomes the sorted,
// BGZF-compressed ".gz" file that tabix indexes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "compression/gnu_sort.hpp"
#include "compression/settings.hpp"

namespace merivane::compression {

// Sorts `vcf_file_path` (header first, then records by chromosome and
// position), compresses it as BGZF to `destination_path` (none or empty:
// the input path plus ".gz") with `settings`, removes the input unless
// `keep_plain`, and returns the destination. `engine` nullopt chooses GNU
// sort when one is installed, else the in-memory engine. The sorted lines
// go from memory, or from GNU sort's output as it arrives, straight into the
// compressor (and the index, with settings.index). The destination appears
// whole or not at all, and the input is removed only once it is on disk
// (and only if it is still the file that was read); a destination naming
// the input or `<input>.sorted.tmp` (the sorted intermediate's name of
// old) is refused before anything is written (ValueError).
std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings = {}, const SortOverrides& overrides = {});

// The same for a plain VCF that was never written out: `header` holds its
// header lines in order, each ending in "\n", and `records` its records,
// which the GNU sort at `sort_path` orders on their way into the
// compressor. `vcf_file_path` names the plain VCF this stands for: the
// destination is checked against it as above and an index's messages name
// it; nothing is removed.
std::string compress_with_gnu_sort(const std::string& vcf_file_path, const std::string& destination_path,
                                   std::string_view header, GnuSortInput& records, const std::string& sort_path,
                                   const CompressionSettings& settings = {});

}  // namespace merivane::compression
