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

// "<vcf_file_path>.sorted.tmp", the name sorting once gave its temporary
// file beside the input: no output of a run may bear it.
std::string sorting_temporary_of(const std::string& vcf_file_path);

// Sorts `vcf_file_path` (header first, then records by chromosome and
// position) into the BGZF file `destination_path` (none or empty: the input
// path plus ".gz") with `settings`, as write_indexed_bgzf writes; removes
// the input unless `keep_plain` and returns the destination. `engine`
// nullopt chooses GNU sort when one is installed, else the in-memory engine.
// The input is removed only once the destination is on disk, and only if it
// is still the file that was read; a destination, or an index beside it,
// naming the input is refused before anything is written (ValueError).
std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings = {}, const SortOverrides& overrides = {});

// The lines of a VCF, handed over in any order, sorted: the header lines
// first in the order given, then the records in sort order, blank lines
// left out. Records are sorted in memory or, with a `sort_path`, by that
// GNU sort, which is handed a short key of each while the records wait in
// an unnamed temporary file; contig order keys them by the contig lines
// given, a contig line after the first record included.
class RecordSorter {
public:
    RecordSorter(std::optional<std::string> sort_path, SortOrder order);
    RecordSorter(const RecordSorter&) = delete;
    RecordSorter& operator=(const RecordSorter&) = delete;

    // One whole line (its "\n" may lack on the last one, and is given).
    void add(std::string_view line);
    // The header, then each record in sort order, to `emit`; errors as
    // GnuSortInput::sort's. Once.
    void sort(const LineSink& emit);

private:
    void hold(std::string_view record);
    // The records written to `spilled_`, into memory.
    void read_back();
    bool sort_by_keys(const LineSink& emit) const;

    std::optional<std::string> sort_path_;
    std::optional<ContigOrder> contigs_;
    std::string header_;
    // For GNU sort, where the records wait meanwhile: an unnamed temporary file.
    std::optional<OutputFile> spilled_;
    // Records held in memory, in blocks that never move once filled (a
    // string grown to hold them all would need twice their size meanwhile).
    std::deque<std::string> blocks_;
    std::vector<std::string_view> records_;
};

// The sort_and_compress step for such lines, whose run checked its outputs
// already: `records`, sorted, into `destination_path`; an index's messages
// name the plain VCF they stand for, `vcf_file_path`.
std::string compress_sorted(const std::string& vcf_file_path, const std::string& destination_path,
                            RecordSorter& records, const CompressionSettings& settings = {});

}  // namespace merivane::compression
