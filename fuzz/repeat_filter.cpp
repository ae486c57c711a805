// The built-in repeat filter end to end on an arbitrary catalog and VCF
// (plain, gzip or several gzip members): the output is every header line
// where it stands and each record whose span overlaps a catalog interval,
// once, in input order; the counts add up; bad input is an error, never a
// shorter output reported as complete.
//
// Input: one control byte (bits 0-1: the VCF plain, gzip, or gzip in two
// members), the catalog up to the first zero byte, then the VCF.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"
#include "repeats/engines.hpp"
#include "repeats/intervals.hpp"

using namespace merivane;
using namespace merivane::fuzz;

namespace {


bool valid(std::string_view text) { return readable_text(text); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    silence_logs();
    Bytes in(data, size);
    const int packing = in.byte() & 0x03;
    const std::string bed(in.text('\0'));
    const std::string vcf(in.rest());

    std::string stored = vcf;
    if (packing == 1) stored = gzip_member(vcf);
    if (packing == 2) stored = gzip_member(std::string_view(vcf).substr(0, vcf.size() / 2)) +
                               gzip_member(std::string_view(vcf).substr(vcf.size() / 2));
    const std::string vcf_path = scratch_file("a", stored);
    const std::string bed_path = scratch_file("b", bed);
    const std::string out_path = scratch_file("c", "stale");

    repeats::IntersectCounts counts;
    try {
        counts = repeats::intersect_builtin(vcf_path, bed_path, out_path);
    } catch (const UnicodeDecodeError&) {
        check(!valid(bed) || !valid(vcf), "valid input rejected");
        return 0;
    } catch (const CorruptInputError&) {
        // Plain text that opens with the gzip magic is read as gzip, and is
        // rightly found corrupt; a file we packed must never be.
        check(stored == vcf && vcf.starts_with("\x1f\x8b"), "intact gzip reported corrupt");
        return 0;
    }
    check(valid(bed) && valid(vcf), "invalid UTF-8 accepted");

    const repeats::CatalogIntervals catalog = repeats::read_bed_intervals(bed_path);
    std::string expected;
    std::int64_t kept = 0, dropped = 0;
    const std::string text = as_read(vcf);
    for (const std::string_view line : split_lines(text)) {
        if (line.starts_with('#')) {
            expected += line;
            continue;
        }
        if (strip_spaces(line).empty()) continue;
        const auto span = repeats::record_span(line);
        const repeats::ChromosomeIntervals* const found = span ? catalog.find(span->chromosome) : nullptr;
        if (found && std::any_of(found->intervals.begin(), found->intervals.end(), [&](const repeats::Interval& i) {
                return i.start < span->end && span->start < i.end;
            })) {
            expected += line;
            ++kept;
        } else {
            ++dropped;
        }
    }
    check(read_whole(out_path) == expected, "filtered output differs");
    check(counts.kept == kept && counts.dropped == dropped, "counts differ");
    return 0;
}
