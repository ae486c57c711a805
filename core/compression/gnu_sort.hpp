// The external engine: GNU coreutils `sort -k1,1 -k2,2n` under LC_ALL=C,
// which orders records exactly as the in-memory engine does. Records reach
// sort through a temporary file rather than a pipe (sort reads a file
// several times faster); its output comes back through a pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.hpp"
#include "platform/text_reader.hpp"
#include "platform/unique_fd.hpp"

namespace merivane::compression {

// The full path of the first `sort` on the PATH if its `--version` banner
// (standard output only) names coreutils: another program of that name may
// stand earlier on the PATH and reject every option used here. Nothing is
// cached; each call repeats the lookup and the banner check (15 s time-out).
std::optional<std::string> gnu_sort_path();
bool gnu_sort_available();

using SortFinder = std::function<std::optional<std::string>()>;

// One line at a time, each ending in "\n".
using LineSink = std::function<void(std::string_view line)>;

// What identifies a set of lines whatever their order: how many, how many
// bytes, and the sum of their hashes.
struct LineTally {
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hash_sum = 0;

    void add(std::string_view line);
};

// Records on their way to GNU sort, handed over one at a time as they are
// made (no other copy of them need be held) and kept in a temporary file
// that has no name, so nothing of them is left behind however the process
// ends. Sort reads that file as its standard input.
class GnuSortInput {
public:
    GnuSortInput();

    // One record; a record without its "\n" is given one.
    void add(std::string_view record);

    // Sorts the records with the GNU sort at `sort_path` and hands each
    // line of its output to `line_sink` as sort writes it, checked as it
    // passes: RuntimeError when the output is not exactly the records given,
    // in sort order, as UTF-8 (so a caller must treat what it was handed as
    // void until this returns); CalledProcessError when sort fails. Once.
    void sort(const std::string& sort_path, const LineSink& line_sink);

private:
    UniqueFd file_;
    OutputFile out_;
    LineTally given_;
    std::string terminated_;
};

// Sorts `records` with GNU sort and hands each line of its output to
// `line_sink` as sort writes it (a record without a terminator is given one
// in the records file, which has no name, so nothing is left behind). The
// output is checked as it passes: RuntimeError when it is not exactly the
// records given, in sort order, as UTF-8 (so a caller must treat what it was
// handed as void until this returns). RuntimeError when `find` gives no
// sort; CalledProcessError when sort fails.
void stream_gnu_sort(const std::vector<std::string_view>& records, const LineSink& line_sink,
                     const SortFinder& find = gnu_sort_path);

// The sorted records, each ending in "\n".
LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records,
                                      const SortFinder& find = gnu_sort_path);

}  // namespace merivane::compression
