#include "repeats/intervals.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/file_io.hpp"
#include "platform/text_reader.hpp"

namespace merivane::repeats {

namespace {

constexpr std::string_view kWhitespace = " \t\n\r\f\v";

std::string_view strip(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

std::string_view without_trailing_newlines(std::string_view line) {
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    return line;
}

// Characters, not bytes: a REF is measured in letters, and UTF-8
// continuation bytes do not start one.
std::size_t character_count(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace

std::string bundled_catalog_path(const std::string& module_file) {
    const std::string directory = directory_of(absolute_path(module_file));
    return join_path(join_path(directory, "data"), std::string(kBundledCatalog));
}

bool is_blank(std::string_view text) { return text.find_first_not_of(kWhitespace) == std::string_view::npos; }

std::optional<std::int64_t> parse_integer(std::string_view text) {
    text = strip(text);
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate the magnitude unsigned so that the most negative value fits.
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1u : 0u);
    std::uint64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    return static_cast<std::int64_t>(magnitude);
}

void CatalogIntervals::add(std::string_view chromosome, Interval interval) {
    auto found = index_.find(chromosome);
    if (found == index_.end()) {
        found = index_.emplace(std::string(chromosome), chromosomes_.size()).first;
        chromosomes_.emplace_back(std::string(chromosome), std::vector<Interval>{});
    }
    chromosomes_[found->second].second.push_back(interval);
}

void CatalogIntervals::sort() {
    for (auto& [name, intervals] : chromosomes_) std::sort(intervals.begin(), intervals.end());
}

std::span<const Interval> CatalogIntervals::intervals_of(std::string_view chromosome) const {
    const auto found = index_.find(chromosome);
    if (found == index_.end()) return {};
    return chromosomes_[found->second].second;
}

CatalogIntervals read_bed_intervals(const std::string& bed_path) {
    CatalogIntervals catalog;
    {
        TextReader reader(bed_path, Compression::Plain);
        std::string line;
        while (reader.next_line(line)) {
            const std::string_view text(line);
            if (is_blank(text) || text.starts_with('#') || text.starts_with("track") || text.starts_with("browser")) {
                continue;
            }
            const std::string_view content = without_trailing_newlines(text);
            const std::size_t tab1 = content.find('\t');
            if (tab1 == std::string_view::npos) continue;
            const std::size_t tab2 = content.find('\t', tab1 + 1);
            if (tab2 == std::string_view::npos) continue;
            std::size_t tab3 = content.find('\t', tab2 + 1);
            if (tab3 == std::string_view::npos) tab3 = content.size();
            const auto start = parse_integer(content.substr(tab1 + 1, tab2 - tab1 - 1));
            const auto end = parse_integer(content.substr(tab2 + 1, tab3 - tab2 - 1));
            if (!start || !end) continue;
            catalog.add(content.substr(0, tab1), Interval{*start, *end});
        }
    }
    catalog.sort();
    return catalog;
}

std::optional<std::int64_t> info_end(std::string_view info) {
    std::size_t pos = 0;
    for (;;) {
        const std::size_t semicolon = info.find(';', pos);
        const std::string_view entry =
            info.substr(pos, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - pos);
        if (entry.starts_with("END=")) return parse_integer(entry.substr(4));
        if (semicolon == std::string_view::npos) return std::nullopt;
        pos = semicolon + 1;
    }
}

std::optional<RecordSpan> record_span(std::string_view line) {
    line = without_trailing_newlines(line);
    // Only CHROM, POS, REF and INFO matter: find the first eight columns
    // without splitting the rest (sample columns can be long).
    std::string_view fields[8];
    std::size_t pos = 0;
    for (int i = 0; i < 8; ++i) {
        if (pos > line.size()) return std::nullopt;
        const void* hit = pos < line.size() ? std::memchr(line.data() + pos, '\t', line.size() - pos) : nullptr;
        const std::size_t end = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - line.data()) : line.size();
        fields[i] = line.substr(pos, end - pos);
        pos = end + 1;
    }
    const auto position = parse_integer(fields[1]);
    if (!position) return std::nullopt;
    // POS - 1 of the most negative POS has no 64-bit value either.
    if (*position == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    const std::int64_t start = *position - 1;
    std::optional<std::int64_t> end = info_end(fields[7]);
    if (!end) {
        const std::size_t length = std::max<std::size_t>(character_count(fields[3]), 1);
        if (start > std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(length)) return std::nullopt;
        end = start + static_cast<std::int64_t>(length);
    }
    return RecordSpan{fields[0], start, *end};
}

bool overlaps(std::span<const Interval> intervals, std::int64_t start, std::int64_t end) {
    for (const Interval& interval : intervals) {
        if (interval.start >= end) return false;
        if (start < interval.end) return true;
    }
    return false;
}

}  // namespace merivane::repeats
