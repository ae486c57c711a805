// The external engine: GNU `sort -k1,1 -k2,2n` under LC_ALL=C, the in-memory
// engine's order. Records reach sort through a temporary file (read several
// times faster than a pipe); its output comes back through a pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compression/sorting.hpp"
#include "platform/file_io.hpp"
#include "platform/text_reader.hpp"

namespace merivane::compression {

// The first `sort` on the PATH if its `--version` names coreutils (another
// would reject the options used here). Not cached; times out after 15 s.
std::optional<std::string> gnu_sort_path();
inline bool gnu_sort_available() { return gnu_sort_path().has_value(); }

// The step a host may stand in for (platform/overrides.hpp).
struct SortOverrides {
    std::function<std::optional<std::string>()> gnu_sort_path;
};

// For an engine chosen by default: the override's, or the lookup's with a
// short time-out, after which a warning and none.
std::optional<std::string> gnu_sort_for_default_engine(const SortOverrides& overrides = {});

// For an engine asked for by name: the override's or the lookup's;
// RuntimeError when there is none.
std::string requested_gnu_sort(const SortOverrides& overrides = {});

// The key of `sort -k1,1 -k2,2n` as far as it is read here: field 1 (leading
// blanks included) and the digits, without leading zeros, of the integer
// starting field `numeric_field` (1-based). Not known where sort reads more
// than an integer (a minus sign, a decimal point).
struct GnuKey {
    std::string_view field1;
    std::string_view digits;
    bool integer_known = true;
};
GnuKey gnu_key(std::string_view line, std::size_t numeric_field = 2);

// One line at a time, each ending in "\n".
using LineSink = std::function<void(std::string_view line)>;

// Identifies a set of lines whatever their order.
struct LineTally {
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hash_sum = 0;

    void add(std::string_view line);
};

// Records on their way to GNU sort, in a temporary file without a name
// (nothing is left behind however the process ends), sort's standard input.
class GnuSortInput {
public:
    // With `contigs`, records sort in that order, the chromosomes it lacks
    // after them in text order: each goes behind a key (the zero-padded place,
    // and the name when it has no contig line), taken off on the way out.
    explicit GnuSortInput(std::optional<ContigOrder> contigs = std::nullopt);

    // One record; a record without its "\n" is given one.
    void add(std::string_view record);

    // Hands each line of sort's output to `line_sink` as it comes, checked:
    // RuntimeError when it is not exactly the records given, in order, as
    // UTF-8 (so what was handed on is void until this returns);
    // CalledProcessError when sort fails. Once.
    void sort(const std::string& sort_path, const LineSink& line_sink);

private:
    OutputFile out_;
    LineTally given_;
    std::string terminated_;
    std::optional<ContigOrder> contigs_;
    std::string last_chromosome_;
    std::string key_;
};

// The sorted records, each ending in "\n"; RuntimeError with no GNU sort.
LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records, const SortOverrides& overrides = {});

}  // namespace merivane::compression
