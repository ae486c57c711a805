// The last step of every unification: a plain VCF becomes the sorted,
// BGZF-compressed ".gz" file that tabix indexes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compression/gnu_sort.hpp"
#include "compression/settings.hpp"

namespace merivane::compression {

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

// The records of a plain VCF that was never written out, on their way to
// be sorted in `order`: by the GNU sort at `sort_path`, or with none in
// memory, as sort_and_compress sorts a file's records with either engine.
class UnsortedRecords {
public:
    UnsortedRecords(std::optional<std::string> sort_path, SortOrder order);
    ~UnsortedRecords();
    UnsortedRecords(const UnsortedRecords&) = delete;
    UnsortedRecords& operator=(const UnsortedRecords&) = delete;

    // A header line of the VCF (contig order sorts by its contig lines).
    void add_header_line(std::string_view line);
    // One record; a record without its "\n" is given one.
    void add(std::string_view record);
    // False when GNU sort was handed records keyed by a contig order that a
    // later contig line changed: the VCF must then be sorted from its file.
    bool sortable() const noexcept { return !late_contig_; }
    // Each record in sort order to `emit`; errors as stream_gnu_sort's. Once.
    void sort(const LineSink& emit);

private:
    std::optional<std::string> sort_path_;
    std::optional<ContigOrder> contigs_;
    bool records_started_ = false;
    bool late_contig_ = false;
    std::unique_ptr<GnuSortInput> gnu_;
    std::string held_;                 // in memory: the records one after another
    std::vector<std::size_t> starts_;  // and where each begins
};

// sort_and_compress for such a VCF: `header` holds its header lines in
// order, each ending in "\n"; `vcf_file_path` names the plain VCF this
// stands for: the destination is checked against it as above and an
// index's messages name it; nothing is removed.
std::string compress_sorted(const std::string& vcf_file_path, const std::string& destination_path,
                            std::string_view header, UnsortedRecords& records,
                            const CompressionSettings& settings = {});

}  // namespace merivane::compression
