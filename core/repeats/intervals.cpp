#include "repeats/intervals.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <numeric>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/paths.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::repeats {

namespace {

std::optional<std::int64_t> parse_integer(std::string_view text) {
    const auto [negative, digits] = split_sign(strip_ascii_whitespace(text));
    if (!is_ascii_digits(digits)) return std::nullopt;
    return digits_to_int64(negative, digits);
}

}  // namespace

std::string bundled_catalog_path(const std::string& module_file) {
    const std::string directory = directory_of(absolute_path(module_file));
    return join_path(join_path(directory, "data"), std::string(kBundledCatalog));
}

void CatalogIntervals::add(std::string_view chromosome, Interval interval) {
    const auto [found, added] = index_.try_emplace(std::string(chromosome), chromosomes_.size());
    if (added) chromosomes_.emplace_back(std::string(chromosome), ChromosomeIntervals{});
    chromosomes_[found->second].second.intervals.push_back(interval);
}

void CatalogIntervals::sort() {
    for (auto& [name, chromosome] : chromosomes_) {
        std::ranges::sort(chromosome.intervals);
        std::vector<std::int64_t>& max_end = chromosome.max_end;
        max_end.clear();
        std::ranges::transform(chromosome.intervals, std::back_inserter(max_end), &Interval::end);
        std::inclusive_scan(max_end.begin(), max_end.end(), max_end.begin(),
                            [](std::int64_t a, std::int64_t b) { return std::max(a, b); });
    }
}

const ChromosomeIntervals* CatalogIntervals::find(std::string_view chromosome) const {
    const auto found = index_.find(chromosome);
    return found == index_.end() ? nullptr : &chromosomes_[found->second].second;
}

bool ChromosomeIntervals::overlap(std::int64_t start, std::int64_t end) const {
    // The intervals that start before `end` are a prefix of the list; one of
    // them overlaps exactly when the largest end among them lies past `start`.
    const auto first_after = std::ranges::lower_bound(intervals, end, {}, &Interval::start);
    const auto before = static_cast<std::size_t>(first_after - intervals.begin());
    return before > 0 && max_end[before - 1] > start;
}

CatalogIntervals read_bed_intervals(const std::string& bed_path, Compression compression,
                                    const std::optional<std::string>& strict_as) {
    CatalogIntervals catalog;
    TextReader reader(bed_path, compression);
    std::string line;
    for (std::size_t number = 1; reader.next_line(line); ++number) {
        const std::string_view text(line);
        if (is_ascii_blank(text) || is_header_line(text) || text.starts_with("track") || text.starts_with("browser")) {
            continue;
        }
        std::string_view cells[3];
        const bool three = leading_cells(without_trailing_newlines(text), cells, 3) == 3;
        const auto start = three ? parse_integer(cells[1]) : std::nullopt;
        const auto end = three ? parse_integer(cells[2]) : std::nullopt;
        if (start && end && (!strict_as || (0 <= *start && *start <= *end))) {
            catalog.add(cells[0], Interval{*start, *end});
        } else if (strict_as) {
            // As bedtools refuses it, whatever the engine.
            throw ValueError(*strict_as + ", line " + std::to_string(number) + ": " +
                             quoted(strip_ascii_whitespace(text)) +
                             " is no BED interval (chromosome, start, end, tab-separated, 0 <= start <= end)");
        }
    }
    catalog.sort();
    return catalog;
}

std::optional<std::int64_t> info_end(std::string_view info) {
    const std::optional<std::string_view> end = info_value(info, "END");
    return end ? parse_integer(*end) : std::nullopt;
}

std::optional<RecordSpan> record_span(std::string_view line) {
    line = without_trailing_newlines(line);
    // Only CHROM, POS, REF and INFO matter: find the fixed columns without
    // splitting the rest (sample columns can be long).
    std::string_view fields[vcf::kFixedColumns];
    if (leading_cells(line, fields, vcf::kFixedColumns) < vcf::kFixedColumns) return std::nullopt;
    const auto position = parse_integer(fields[vcf::kPos]);
    // POS - 1 of the most negative POS has no 64-bit value either.
    if (!position || *position == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    const std::int64_t start = *position - 1;
    std::optional<std::int64_t> end = info_end(fields[vcf::kInfo]);
    if (!end) {
        // Characters, not bytes: a REF is measured in letters.
        const std::size_t length = std::max<std::size_t>(character_count(fields[vcf::kRef]), 1);
        if (start > std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(length)) return std::nullopt;
        end = start + static_cast<std::int64_t>(length);
    }
    return RecordSpan{fields[vcf::kChrom], start, *end};
}

bool overlaps(std::span<const Interval> intervals, std::int64_t start, std::int64_t end) {
    for (const Interval& interval : intervals) {
        if (interval.start >= end) return false;
        if (start < interval.end) return true;
    }
    return false;
}

}  // namespace merivane::repeats
