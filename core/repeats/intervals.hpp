// The pieces of the catalog intersection: decimal coordinates, catalog BED
// intervals, the span a VCF record covers, and the overlap test between them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text_reader.hpp"

namespace merivane::repeats {

// File name of the catalog shipped in the package's data folder.
inline constexpr std::string_view kBundledCatalog = "STRchive-disease-loci.hg38.TRGT.bed";

// "<absolute directory of module_file>/data/<catalog name>", unchecked.
std::string bundled_catalog_path(const std::string& module_file);

// A catalog interval in BED coordinates: 0-based start, exclusive end.
struct Interval {
    std::int64_t start;
    std::int64_t end;
    auto operator<=>(const Interval&) const = default;
};

// One chromosome's intervals sorted by start, then end, with the running
// maximum of their ends, so that the overlap test is one binary search.
struct ChromosomeIntervals {
    std::vector<Interval> intervals;
    std::vector<std::int64_t> max_end;  // max_end[i]: the largest end of intervals[0..i]

    // Whether [start, end) shares a base with any of the intervals (as `overlaps`).
    bool overlap(std::int64_t start, std::int64_t end) const;
};

// Catalog intervals per chromosome, each list sorted by start, then end.
// Chromosomes keep the order in which the BED first names them.
class CatalogIntervals {
public:
    void add(std::string_view chromosome, Interval interval);
    // Sorts every list and builds its running maxima; call once all are added.
    void sort();

    // The chromosome's indexed intervals; nullptr for one the catalog lacks.
    const ChromosomeIntervals* find(std::string_view chromosome) const;

    const std::vector<std::pair<std::string, ChromosomeIntervals>>& chromosomes() const noexcept {
        return chromosomes_;
    }

private:
    std::vector<std::pair<std::string, ChromosomeIntervals>> chromosomes_;
    std::map<std::string, std::size_t, std::less<>> index_;
};

// Loads a catalog BED (plain UTF-8 text, never decompressed unless asked).
// Lines that are blank or headers ("#", "track", "browser") are skipped; a
// short one, or one whose start or end is not an integer, too, or, given
// `strict_as`, is a ValueError naming that file and the line.
CatalogIntervals read_bed_intervals(const std::string& bed_path, Compression compression = Compression::Plain,
                                    const std::optional<std::string>& strict_as = std::nullopt);

// The span a VCF record covers, 0-based and half-open; `chromosome` views the line.
struct RecordSpan {
    std::string_view chromosome;
    std::int64_t start;
    std::int64_t end;
};

// The value of the first "END=" entry of an INFO column; nullopt when there is
// none or it is not an integer. Integers here (and in a BED) are decimal, with
// optional surrounding ASCII whitespace and one leading sign; one outside 64
// bits is none, so that a coordinate never wraps.
std::optional<std::int64_t> info_end(std::string_view info);

// [POS - 1, END) where INFO carries an integer END, else
// [POS - 1, POS - 1 + max(characters of REF, 1)). Nullopt for a line of fewer
// than eight columns or whose POS is not an integer.
std::optional<RecordSpan> record_span(std::string_view line);

// Whether [start, end) shares a base with any interval of a list sorted by
// start (touching does not count), scanning from the front.
bool overlaps(std::span<const Interval> intervals, std::int64_t start, std::int64_t end);

}  // namespace merivane::repeats
