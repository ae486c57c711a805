// Catalog BED loading on arbitrary bytes, against a plain reading of the
// rules (skip blank, "#", "track" and "browser" lines and lines without
// three tab-separated columns or with a non-integer start or end; sort each
// chromosome's intervals), and the overlap test against brute force.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "repeats/intervals.hpp"

using namespace merivane;
using namespace merivane::fuzz;
using repeats::Interval;

namespace {


std::int64_t nudge(std::int64_t value, int by) {
    if (by > 0 && value == INT64_MAX) return value;
    if (by < 0 && value == INT64_MIN) return value;
    return value + by;
}

bool brute_force_overlaps(const std::vector<Interval>& intervals, std::int64_t start, std::int64_t end) {
    return std::any_of(intervals.begin(), intervals.end(),
                       [&](const Interval& i) { return i.start < end && start < i.end; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = scratch_file("a", bytes);
    repeats::CatalogIntervals catalog;
    try {
        catalog = repeats::read_bed_intervals(path);
    } catch (const UnicodeDecodeError&) {
        check(!readable_text(bytes), "valid UTF-8 catalog rejected");
        return 0;
    }

    std::vector<std::string> order;
    std::map<std::string, std::vector<Interval>> expected;
    const std::string text = as_read(bytes);
    for (std::string_view line : split(text, '\n')) {
        if (strip_spaces(line).empty() || line.starts_with('#') || line.starts_with("track") ||
            line.starts_with("browser")) {
            continue;
        }
        const auto fields = split(line, '\t');
        if (fields.size() < 3) continue;
        const auto start = decimal(fields[1]);
        const auto end = decimal(fields[2]);
        if (!start || !end) continue;
        const std::string chromosome(fields[0]);
        if (!expected.count(chromosome)) order.push_back(chromosome);
        expected[chromosome].push_back(Interval{*start, *end});
    }

    check(catalog.chromosomes().size() == order.size(), "chromosome count differs");
    for (std::size_t c = 0; c < order.size(); ++c) {
        const auto& [name, indexed] = catalog.chromosomes()[c];
        const auto& intervals = indexed.intervals;
        check(name == order[c], "chromosome order differs");
        auto wanted = expected[name];
        std::sort(wanted.begin(), wanted.end());
        check(intervals == wanted, "intervals of " + name + " differ");
        check(catalog.find(name) == &indexed, "find differs");
        const std::span<const Interval> found = intervals;

        std::vector<std::int64_t> values;
        for (std::size_t i = 0; i < intervals.size() && i < 4; ++i) {
            for (const int by : {-1, 0, 1}) {
                values.push_back(nudge(intervals[i].start, by));
                values.push_back(nudge(intervals[i].end, by));
            }
        }
        for (const std::int64_t start : values) {
            for (const std::int64_t end : values) {
                check(repeats::overlaps(found, start, end) == brute_force_overlaps(intervals, start, end),
                      "overlap test differs from brute force");
                check(indexed.overlap(start, end) == brute_force_overlaps(intervals, start, end),
                      "indexed overlap test differs from brute force");
            }
        }
    }
    check(catalog.find("\x01 not a chromosome") == nullptr || expected.count("\x01 not a chromosome"),
          "unknown chromosome has intervals");
    return 0;
}
