// The last step of every unification: a plain VCF becomes the sorted,
// BGZF-compressed ".gz" file that tabix indexes.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compression/gnu_sort.hpp"
#include "compression/settings.hpp"
#include "platform/file_io.hpp"

namespace merivane::compression {

// The name sorting once gave its temporary file beside the input: no output
// of a run may bear it.
inline std::string sorting_temporary_of(const std::string& vcf_file_path) { return vcf_file_path + ".sorted.tmp"; }

// Sorts `vcf_file_path` into the BGZF file `destination_path` (none or empty:
// the input path plus ".gz") as write_indexed_bgzf writes, and returns it.
// `engine` nullopt chooses GNU sort when one is installed. Unless
// `keep_plain`, the input is removed once the destination is on disk, if it
// is still the file that was read. A destination, or an index beside it,
// naming the input is refused before anything is written (ValueError).
std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings = {}, const SortOverrides& overrides = {});

// The lines of a VCF, handed over in any order, sorted: the header lines as
// given, then the records, blank lines left out. With a `sort_path`, that GNU
// sort sorts a short key of each while the records wait in an unnamed file;
// contig order counts every contig line given, even one after a record.
class RecordSorter {
public:
    RecordSorter(std::optional<std::string> sort_path, SortOrder order);
    RecordSorter(const RecordSorter&) = delete;
    RecordSorter& operator=(const RecordSorter&) = delete;

    // One whole line; a missing "\n" is given.
    void add(std::string_view line);
    // The header, then each record, to `emit`; errors as GnuSortInput::sort's. Once.
    void sort(const LineSink& emit);

private:
    void hold(std::string_view record);
    bool sort_by_keys(const LineSink& emit) const;

    std::optional<std::string> sort_path_;
    std::optional<ContigOrder> contigs_;
    std::string header_;
    // For GNU sort, where the records wait meanwhile.
    std::optional<OutputFile> spilled_;
    // Records held in memory, in blocks that never move once filled (a
    // string grown to hold them all would need twice their size meanwhile).
    std::deque<std::string> blocks_;
    std::vector<std::string_view> records_;
};

// sort_and_compress's writing, for a run that checked its outputs already;
// an index's messages name the plain VCF the records stand for.
std::string compress_sorted(const std::string& vcf_file_path, const std::string& destination_path,
                            RecordSorter& records, const CompressionSettings& settings = {});

}  // namespace merivane::compression
