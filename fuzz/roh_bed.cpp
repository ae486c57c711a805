// ROH BED conversion on arbitrary UTF-8 lines: a record with POS = the
// smaller bound + 1 and END = the larger, chromosome and score unchanged, or
// the error kind the line's defect calls for; never an overflowed POS.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "unifier/rules.hpp"

using namespace merivane;
using namespace merivane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    try {
        validate_utf8(line, "line");
    } catch (const UnicodeDecodeError&) {
        return 0;  // lines reach the rules decoded
    }
    const auto cells = split(python_strip(line), '\t');
    const PythonInt start = cells.size() > 1 ? python_int(cells[1]) : PythonInt{};
    const PythonInt end = cells.size() > 2 ? python_int(cells[2]) : PythonInt{};
    // Bounds the core may read otherwise than the host (non-ASCII digits).
    const bool open_question = (cells.size() > 1 && !start.ascii) || (cells.size() > 2 && !end.ascii);
    const bool bad_number = (cells.size() > 1 && !start.value) || (cells.size() > 2 && !end.value) ||
                            (start.value && end.value && std::min(*start.value, *end.value) == INT64_MAX);
    // No interval starts before its chromosome.
    const bool below_zero = start.value && end.value && std::min(*start.value, *end.value) < 0;

    std::string got;
    try {
        got = unifier::roh_bed_line_to_vcf(line);
    } catch (const IndexError&) {
        check(cells.size() < 4, "IndexError for a line of four cells");
        return 0;
    } catch (const ValueError&) {
        check(bad_number || below_zero || open_question, "ValueError for integer bounds");
        return 0;
    }
    check(cells.size() >= 4, "converted a line of fewer than four cells");
    if (open_question && (!start.value || !end.value)) return 0;
    check(!bad_number, "converted a line whose bounds are not integers");
    check(!below_zero, "converted a line with a bound below zero");
    const std::int64_t low = std::min(*start.value, *end.value);
    const std::int64_t high = std::max(*start.value, *end.value);
    const std::string expected = std::string(cells[0]) + "\t" + std::to_string(low + 1) +
                                 "\t.\tN\t<ROH>\t.\tPASS\tEND=" + std::to_string(high) +
                                 ";SVTYPE=ROH;ROH_SCORE=" + std::string(cells[3]) + "\tGT\t1/1\n";
    check(got == expected, "converted record differs");
    return 0;
}
