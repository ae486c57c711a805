// The two sort engines on well-formed records (a chromosome without blanks,
// an integer POS, then a tab and text without control characters, each line
// terminated): GNU sort and the
// in-memory engine must give the same records in the same order, byte for
// byte, in text order and in the order of contig lines naming some of the
// chromosomes. Skipped where no GNU sort is installed.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "fuzz_support.hpp"
#include "platform/log.hpp"

using namespace merivane;
using namespace merivane::fuzz;
using namespace merivane::compression;

namespace {

constexpr std::string_view kChromosomes[] = {"chr1", "chr10", "chr2", "chrX", "chr1_KI270706v1_random", "Chr1", "chré", "1"};

std::string position(Bytes& in) {
    const std::uint8_t shape = in.byte();
    std::string text;
    if (shape & 0x01) text += '-';
    if (shape & 0x02) text += "00";
    if ((shape & 0x0C) == 0x0C) {
        text += "123456789012345678901234567890";  // beyond 64 bits
    } else {
        text += std::to_string(static_cast<std::uint64_t>(in.int64()) % (shape & 0x04 ? 10u : 1000000000u));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::optional<std::string> sort_path = [] {
        set_log_sink(nullptr);
        return gnu_sort_path();
    }();
    if (!sort_path) return 0;

    Bytes in(data, size);
    // Contig lines for some chromosomes, in an order of the input's choosing.
    ContigOrder contigs;
    std::vector<std::string> contig_lines;
    for (std::uint8_t chosen = in.byte(); chosen != 0; chosen >>= 1) {
        const std::string line =
            "##contig=<ID=" + std::string(kChromosomes[in.byte() % std::size(kChromosomes)]) + ">\n";
        contigs.add_header_line(line);
        contig_lines.push_back(line);
    }
    std::vector<std::string> storage;
    while (!in.empty() && storage.size() < 64) {
        std::string line(kChromosomes[in.byte() % std::size(kChromosomes)]);
        line += '\t' + position(in) + '\t';
        // No control characters after POS: a record that is another's prefix
        // followed by one (a tab in real VCFs) is where the engines are known
        // to differ, as GNU sort compares lines without their "\n".
        for (const char c : in.text('\n')) line += static_cast<unsigned char>(c) < 0x20 ? '_' : c;
        line += '\n';
        storage.push_back(std::move(line));
    }
    try {
        for (const auto& line : storage) validate_utf8(line, "record");
    } catch (const UnicodeDecodeError&) {
        return 0;
    }
    const std::vector<std::string_view> records(storage.begin(), storage.end());
    std::vector<std::size_t> all(records.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;

    for (const ContigOrder* by : std::initializer_list<const ContigOrder*>{nullptr, &contigs}) {
        const std::vector<std::size_t> order = sort_in_memory(records, all, by);
        std::vector<std::string> external;
        GnuSortInput input(by ? std::optional(*by) : std::nullopt);
        for (const std::string_view record : records) input.add(record);
        input.sort(*sort_path, [&](std::string_view line) { external.emplace_back(line); });
        check(external.size() == order.size(), "GNU sort returned another number of records");
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (external[i] == records[order[i]]) continue;
            std::string both;
            for (std::size_t k = 0; k < order.size(); ++k) both += external[k] + " | " + std::string(records[order[k]]);
            for (char& c : both) c = c == '\0' ? '@' : c;
            fail(std::string(by ? "contig order" : "text order") + ": engines differ at record " +
                 std::to_string(i) + " (GNU | in memory):\n" + both);
        }
        // The sorter of a unification, which may have sort order a key made
        // for each record instead, must give what sort gives for the records.
        RecordSorter sorter(*sort_path, by ? SortOrder::Contig : SortOrder::Text);
        std::string expected;
        for (const std::string& line : contig_lines) {
            sorter.add(line);
            expected += line;
        }
        for (const std::string_view record : records) sorter.add(record);
        std::string sorted;
        sorter.sort([&](std::string_view text) { sorted.append(text); });
        for (const std::string& line : external) expected += line;
        check(sorted == expected, std::string(by ? "contig order" : "text order") + ": the sorter differs from sort");
    }
    return 0;
}
