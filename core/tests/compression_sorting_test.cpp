#include <gtest/gtest.h>

#include <random>

#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "test_support.hpp"

namespace merivane::compression {
namespace {

using Lines = std::vector<std::string>;

// As a caller of the engines hands them over: each line ending in "\n".
Lines terminated(Lines lines) {
    for (std::string& line : lines) {
        if (lacks_terminator(line)) line.push_back('\n');
    }
    return lines;
}

// Header lines, then the records in order.
Lines sorted_with(const Lines& given, std::string_view engine) {
    const Lines input = terminated(given);
    const std::vector<std::string_view> lines(input.begin(), input.end());
    const SortPlan plan = plan_sort(lines, std::string(engine));
    Lines sorted;
    for (const std::size_t i : plan.split.header) sorted.emplace_back(lines[i]);
    std::vector<std::string_view> records;
    for (const std::size_t i : plan.split.records) records.push_back(lines[i]);
    if (plan.engine == SortEngine::InMemory) {
        sorted.insert(sorted.end(), records.begin(), records.end());
    } else {
        const LineBuffer external = sort_records_with_gnu_sort(records);
        sorted.insert(sorted.end(), external.lines().begin(), external.lines().end());
    }
    return sorted;
}

struct OrderCase {
    const char* name;
    Lines input;
    Lines expected;
    bool well_formed;  // records GNU sort must order the same way
};

class SortOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(SortOrder, InMemory) { EXPECT_EQ(sorted_with(GetParam().input, kPythonSort), GetParam().expected); }

TEST_P(SortOrder, GnuSortAgrees) {
    if (!GetParam().well_formed) GTEST_SKIP() << "the engines may differ on malformed records";
    if (!gnu_sort_available()) GTEST_SKIP() << "no GNU sort installed";
    EXPECT_EQ(sorted_with(GetParam().input, kGnuSort), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SortOrder,
    ::testing::Values(
        OrderCase{"NumericPositions", {"c\t100\n", "c\t20\n", "c\t3\n"}, {"c\t3\n", "c\t20\n", "c\t100\n"}, true},
        OrderCase{"ChromosomesByBytes",
                  {"chrX\t1\n", "chr2\t1\n", "chr10\t1\n", "chr1\t1\n", "Chr1\t9\n", "\xc3\xa9\t1\n", "z\t1\n",
                   "\xf0\x9f\x98\x80\t1\n", "\xef\xbf\xbd\t1\n"},
                  {"Chr1\t9\n", "chr1\t1\n", "chr10\t1\n", "chr2\t1\n", "chrX\t1\n", "z\t1\n", "\xc3\xa9\t1\n",
                   "\xef\xbf\xbd\t1\n", "\xf0\x9f\x98\x80\t1\n"},
                  true},
        OrderCase{"HeaderFirstBlankLinesDropped",
                  {"##a\n", "c\t2\n", "#late\n", " \t\n", "\xe3\x80\x80\n", "\n", "c\t1\n", "#\n"},
                  {"##a\n", "#late\n", "#\n", "c\t1\n", "c\t2\n"},
                  true},
        OrderCase{"TiesByWholeLineKeepingDuplicates",
                  {"c\t5\tb\n", "c\t5\ta\n", "c\t05\ta\n", "c\t5\ta\n"},
                  {"c\t05\ta\n", "c\t5\ta\n", "c\t5\ta\n", "c\t5\tb\n"},
                  true},
        OrderCase{"BeyondSixtyFourBits",
                  {"c\t99999999999999999999\n", "c\t9223372036854775808\n", "c\t9223372036854775807\n",
                   "c\t-9223372036854775809\n", "c\t-9223372036854775808\n", "c\t-1\n",
                   "c\t100000000000000000000\n", "c\t0009223372036854775808\n", "c\t-99999999999999999999\n"},
                  {"c\t-99999999999999999999\n", "c\t-9223372036854775809\n", "c\t-9223372036854775808\n",
                   "c\t-1\n", "c\t9223372036854775807\n", "c\t0009223372036854775808\n",
                   "c\t9223372036854775808\n", "c\t99999999999999999999\n", "c\t100000000000000000000\n"},
                  true},
        OrderCase{"UnterminatedLinesNeverJoin", {"c\t2\n", "#h", "c\t1"}, {"#h\n", "c\t1\n", "c\t2\n"}, true},
        OrderCase{"MalformedPositionsSortAsZero",
                  {"c\t1\n", "c\tabc\n", "c\t4.2\n", "c\t1e3\n", "c\t +7 \tx\n", "nochrom\n", "c\t1_000\n"},
                  {"c\t1_000\n", "c\t1e3\n", "c\t4.2\n", "c\tabc\n", "c\t1\n", "c\t +7 \tx\n", "nochrom\n"},
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SortKey, WarnsOncePerMalformedRecordWithItsFirst80Characters) {
    testing::CapturedLog log;
    std::string long_line;
    for (int i = 0; i < 100; ++i) long_line += "\xc3\xa9";  // two bytes, one character each
    sorted_with({"c\tx\n", "c\t1\n", long_line + "\n"}, kPythonSort);
    ASSERT_EQ(log.events().size(), 2u);
    EXPECT_EQ(log.events()[0].format, "Record has no numeric POS, sorting it first: %r");
    EXPECT_EQ(std::get<std::string>(log.events()[0].args.at(0)), "c\tx\n");
    EXPECT_EQ(std::get<std::string>(log.events()[1].args.at(0)), long_line.substr(0, 160));
}

TEST(SortEngine, UnknownNameIsRefusedAfterSplitting) {
    EXPECT_EQ(sorted_with({"c\t2\n", "c\t1\n"}, ""), (Lines{"c\t1\n", "c\t2\n"}));
    try {
        sorted_with({"c\t1\n"}, "GNU");
        FAIL() << "expected UnknownSortEngine";
    } catch (const UnknownSortEngine& error) {
        EXPECT_STREQ(error.what(), "Unknown sort engine: 'GNU'");
    }
}

TEST(SortEngine, EnginesAgreeOnManyRecords) {
    if (!gnu_sort_available()) GTEST_SKIP() << "no GNU sort installed";
    std::mt19937 random(7);
    Lines input{"##fileformat=VCFv4.2\n", "#CHROM\tPOS\n"};
    for (int i = 0; i < 20000; ++i) {
        input.push_back("chr" + std::to_string(random() % 30) + "\t" + std::to_string(random() % 5000) + "\tid" +
                        std::to_string(random() % 50) + "\n");
    }
    EXPECT_EQ(sorted_with(input, kGnuSort), sorted_with(input, kPythonSort));
}

// What RecordSorter gives with GNU sort must be what GNU sort gives for the
// whole records, byte for byte, whichever way it has sort do the work.
struct SorterCase {
    const char* name;
    Lines records;
};

class RecordSorterWithGnuSort : public ::testing::TestWithParam<std::tuple<SorterCase, compression::SortOrder>> {};

TEST_P(RecordSorterWithGnuSort, GivesGnuSortsOrderOfTheWholeRecords) {
    const std::optional<std::string> sort_path = gnu_sort_path();
    if (!sort_path) GTEST_SKIP() << "no GNU sort installed";
    const auto& [c, order] = GetParam();
    const Lines header{"##fileformat=VCFv4.2\n", "##contig=<ID=chr2>\n", "##contig=<ID=chr1>\n", "#CHROM\tPOS\n"};
    RecordSorter sorter(*sort_path, order);
    ContigOrder contigs;
    for (const std::string& line : header) {
        sorter.add(line);
        contigs.add_header_line(line);
    }
    GnuSortInput whole(order == compression::SortOrder::Contig ? std::optional(contigs) : std::nullopt);
    for (const std::string& record : c.records) {
        sorter.add(record);
        whole.add(record);
    }
    std::string got;
    sorter.sort([&got](std::string_view text) { got.append(text); });
    std::string expected;
    for (const std::string& line : header) expected += line;
    whole.sort(*sort_path, [&expected](std::string_view line) { expected.append(line); });
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordSorterWithGnuSort,
    ::testing::Combine(
        ::testing::Values(
            SorterCase{"TiesPrefixesAndUnnamedContigs",
                       {"chr1\t5\tb\n", "chr1\t5\ta\n", "chr1\t05\ta\n", "chr1\t5\ta\n", "chr1\t5\n",
                        "chr10\t1\n", "chr1_alt\t1\n", "chr1!\t2\n", "chr2\t300\n", "chr2\t30\n", "chrUn\t7\n",
                        "chrUn1\t7\n", "chrU\t7\n", "chr1\t000\n", "chr1\n", "chr1\t\n", "chr1\t12abc\n",
                        "chr1\t+7\n", "chr1\t\t 9\tx\n", "chr1\t999999999999999999\n",
                        "chr1\t100000000000000000000000\n", "chr1\t0099999999999999999999999\n", "\xc3\xa9\t1\n",
                        "chr1\t3"}},
            // Each of these has sort read a record its own way.
            SorterCase{"ASignedPosition", {"chr1\t5\n", "chr1\t-3\n", "chr1\t-\n", "chr2\t1\n"}},
            SorterCase{"AFractionalPosition", {"chr1\t5\n", "chr1\t4.9\n", "chr1\t.5\n", "chr2\t1\n"}},
            SorterCase{"BlanksInOrBeforeTheChromosome",
                       {"chr1 x\t5\n", "chr1\t5\n", " chr1\t4\n", "\tchr1\t3\n", "chr2\t1\n"}},
            SorterCase{"AControlCharacterInTheChromosome", {"chr1\x01\t5\n", "chr1\t5\n", "chr\x7f\t2\n"}}),
        ::testing::Values(compression::SortOrder::Text, compression::SortOrder::Contig)),
    [](const auto& info) {
        const bool contig = std::get<1>(info.param) == compression::SortOrder::Contig;
        return std::string(std::get<0>(info.param).name) + (contig ? "InContigOrder" : "");
    });

}  // namespace
}  // namespace merivane::compression

namespace merivane::compression {
namespace {

TEST(ContigOrder, FollowsTheFirstContigLineOfEachIdThenText) {
    // ID need not come first; a repeated ID keeps its first place; lines
    // that are no contig lines, or have no ID, count for nothing.
    const Lines input{"##contig=<ID=chr2>\n", "##contig=<length=5,ID=chr10>\r\n", "##contig=<ID=chr2,length=9>\n",
                      "##contig=<length=3>\n", "##INFO=<ID=chr1>\n", "#CHROM\tPOS\n",
                      "chrM\t1\n", "chr1\t2\n", "chr10\t3\n", "chr2\t9\n", "chr2\t4\n", "HLA\t1\n"};
    const std::vector<std::string_view> lines(input.begin(), input.end());
    const SortPlan plan = plan_sort(lines, std::nullopt, compression::SortOrder::Contig);
    Lines records;
    for (const std::size_t i : plan.split.records) records.emplace_back(lines[i]);
    EXPECT_EQ(records, (Lines{"chr2\t4\n", "chr2\t9\n", "chr10\t3\n", "HLA\t1\n", "chr1\t2\n", "chrM\t1\n"}));
}

}  // namespace
}  // namespace merivane::compression
