// The order tabix needs: header lines first, in input order, then records by
// chromosome (bytes), position (numeric) and line (bytes): the order of
// `LC_ALL=C sort -k1,1 -k2,2n`, so both engines agree on well-formed records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compression/settings.hpp"
#include "platform/error.hpp"

namespace merivane::compression {

inline constexpr std::string_view kGnuSort = "gnu_sort";
inline constexpr std::string_view kPythonSort = "python_sort";

enum class SortEngine { InMemory, GnuSort };

// A host catches it by type to spell the name in its own repr() form.
class UnknownSortEngine : public ValueError {
public:
    explicit UnknownSortEngine(const std::string& engine);
};

// None or empty text chooses the in-memory engine.
SortEngine sort_engine(const std::optional<std::string>& engine);

// A line that would run into the next one when lines are joined.
inline bool lacks_terminator(std::string_view line) noexcept { return line.empty() || line.back() != '\n'; }

// POS as an integer of any size: beyond 64 bits the digits are kept, so that
// a huge POS still compares by its true value.
struct Position {
    int magnitude = 0;           // 0: `value` holds it; +1 / -1: beyond 64 bits, that sign
    std::int64_t value = 0;
    std::string_view digits;     // beyond 64 bits: the digits, no leading zeros
};

struct SortKey {
    std::string_view chromosome;
    Position position;
    bool numeric = true;  // false: POS missing or not an integer, sorted as 0
};

// Reads a record's key without side effects.
SortKey read_sort_key(std::string_view line) noexcept;
// The same, warning about a record whose POS is not a number.
SortKey sort_key(std::string_view line);

// The chromosome order of the header's ##contig lines (an ID's first counts).
class ContigOrder {
public:
    void add_header_line(std::string_view line);
    // The 0-based place of the chromosome's contig line, if it has one.
    std::optional<std::uint32_t> rank(std::string_view chromosome) const;
    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(ranks_.size()); }

private:
    struct TextHash : std::hash<std::string_view> {
        using is_transparent = void;
    };
    std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> ranks_;
};

// Positions of header lines and records within `lines`; blank lines are in neither.
struct LineSplit {
    std::vector<std::size_t> header;
    std::vector<std::size_t> records;
};
LineSplit split_header(const std::vector<std::string_view>& lines);

// `records` (positions within `lines`) in sort order, stably, each key read
// once. With `contigs`, chromosomes in its order, those it lacks after them.
std::vector<std::size_t> sort_in_memory(const std::vector<std::string_view>& lines,
                                        const std::vector<std::size_t>& records,
                                        const ContigOrder* contigs = nullptr);

// Splits `lines` (terminated), then checks the engine. The in-memory engine
// sorts the records; for GNU sort they stay in input order for the caller.
struct SortPlan {
    SortEngine engine;
    LineSplit split;
    std::optional<ContigOrder> contigs;
};
SortPlan plan_sort(const std::vector<std::string_view>& lines, const std::optional<std::string>& engine,
                   SortOrder order = SortOrder::Text);

}  // namespace merivane::compression
