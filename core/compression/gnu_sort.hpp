// The external engine: GNU coreutils `sort -k1,1 -k2,2n` under LC_ALL=C,
// which orders records exactly as the in-memory engine does. Records travel
// through temporary files rather than a pipe: redirected files are several
// times faster on large inputs.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text_reader.hpp"

namespace merivane::compression {

// The full path of the first `sort` on the PATH if its `--version` banner
// (standard output only) names coreutils: another program of that name may
// stand earlier on the PATH and reject every option used here. Nothing is
// cached; each call repeats the lookup and the banner check (15 s time-out).
std::optional<std::string> gnu_sort_path();
bool gnu_sort_available();

using SortFinder = std::function<std::optional<std::string>()>;

// Sorts `records` with GNU sort and hands `consume` a descriptor of the
// sorted file, positioned at its start. A record without a terminator gets
// a "\n" in the records file. Both temporary files have no name, so nothing
// is left behind whatever happens. RuntimeError when `find` gives no sort,
// and when sort's output is not exactly the records given, in sort order,
// as UTF-8; CalledProcessError when sort fails.
void run_gnu_sort(const std::vector<std::string_view>& records, const std::function<void(int sorted_fd)>& consume,
                  const SortFinder& find = gnu_sort_path);

// The sorted records, each ending in "\n".
LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records,
                                      const SortFinder& find = gnu_sort_path);

}  // namespace merivane::compression
