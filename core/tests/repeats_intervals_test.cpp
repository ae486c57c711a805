#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "repeats/intervals.hpp"
#include "test_support.hpp"

namespace merivane::repeats {
namespace {

using testing::TempDir;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct IntegerCase {
    const char* text;
    std::optional<std::int64_t> expected;
};

class ParseIntegerTest : public ::testing::TestWithParam<IntegerCase> {};

// As an END value, which is read as every coordinate is.
TEST_P(ParseIntegerTest, ParsesDecimalOrRefuses) {
    EXPECT_EQ(info_end("END=" + std::string(GetParam().text)), GetParam().expected)
        << "text: \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Coordinates, ParseIntegerTest,
    ::testing::Values(IntegerCase{"100", 100}, IntegerCase{" -5 ", -5}, IntegerCase{"+7", 7},
                      IntegerCase{"\t\f42\r\n\v", 42}, IntegerCase{"007", 7}, IntegerCase{"-0", 0},
                      IntegerCase{"9223372036854775807", kMax}, IntegerCase{"-9223372036854775808", kMin},
                      // Beyond 64 bits: not an integer, never a wrapped value.
                      IntegerCase{"9223372036854775808", std::nullopt},
                      IntegerCase{"-9223372036854775809", std::nullopt},
                      IntegerCase{"18446744073709551717", std::nullopt}, IntegerCase{"", std::nullopt},
                      IntegerCase{"  ", std::nullopt}, IntegerCase{"-", std::nullopt}, IntegerCase{"+-5", std::nullopt},
                      IntegerCase{"- 5", std::nullopt}, IntegerCase{"1.5", std::nullopt},
                      IntegerCase{"1e3", std::nullopt}, IntegerCase{"1 2", std::nullopt},
                      IntegerCase{"abc", std::nullopt}, IntegerCase{"0x10", std::nullopt}));

struct InfoEndCase {
    const char* info;
    std::optional<std::int64_t> expected;
};

class InfoEndTest : public ::testing::TestWithParam<InfoEndCase> {};

TEST_P(InfoEndTest, FirstEndEntryDecides) {
    EXPECT_EQ(info_end(GetParam().info), GetParam().expected) << "info: \"" << GetParam().info << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    InfoColumns, InfoEndTest,
    ::testing::Values(InfoEndCase{"END=", std::nullopt}, InfoEndCase{"SVTYPE=INS;END=500", 500},
                      InfoEndCase{"END=abc;END=5", std::nullopt}, InfoEndCase{"SVEND=7", std::nullopt},
                      InfoEndCase{"", std::nullopt}, InfoEndCase{"END=-3", -3}, InfoEndCase{"END;X=1", std::nullopt},
                      InfoEndCase{"end=5", std::nullopt}, InfoEndCase{"A=1;;END=9;END=2", 9},
                      InfoEndCase{"END=1.5", std::nullopt}, InfoEndCase{"END=99999999999999999999", std::nullopt}));

struct SpanCase {
    std::string line;
    bool has_span;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string chromosome = "chr1";
};

class RecordSpanTest : public ::testing::TestWithParam<SpanCase> {};

TEST_P(RecordSpanTest, SpanFromPosAndEndOrRef) {
    const SpanCase& c = GetParam();
    const auto span = record_span(c.line);
    ASSERT_EQ(span.has_value(), c.has_span) << c.line;
    if (!c.has_span) return;
    EXPECT_EQ(span->chromosome, c.chromosome);
    EXPECT_EQ(span->start, c.start);
    EXPECT_EQ(span->end, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordSpanTest,
    ::testing::Values(
        SpanCase{"chr1\t100\t.\tA\t<STR>\t.\tPASS\tEND=150;MOTIFS=CAG\tGT\t0/1\n", true, 99, 150},
        SpanCase{"chr1\t100\t.\tACGT\t.\t.\tPASS\tMOTIFS=CAG\n", true, 99, 103},
        SpanCase{"chr1\t100\t.\t\t.\t.\tPASS\tMOTIFS=CAG\n", true, 99, 100},
        SpanCase{"chr1\t 100\t.\tA\t.\t.\tPASS\t.\n\n", true, 99, 100},
        // REF is measured in characters, not bytes.
        SpanCase{"chr1\t10\t.\t\xc3\xa9\xc3\xa9\t.\t.\t.\t.", true, 9, 11},
        // An END that does not parse falls back to the REF.
        SpanCase{"chr1\t10\t.\tAC\t.\t.\t.\tEND=99999999999999999999", true, 9, 11},
        SpanCase{"Chr_Un 1\t5\t.\tA\t.\t.\t.\tEND=2", true, 4, 2, "Chr_Un 1"},
        SpanCase{"chr1\t100\t.\tA\t.\t.\tPASS", false}, SpanCase{"chr1\t100\t.\tA\t.\t.\tPASS\n", false},
        SpanCase{"chr1\tabc\t.\tA\t.\t.\tPASS\tEND=5\n", false}, SpanCase{"", false}, SpanCase{"\n", false},
        SpanCase{"chr1 100 . A . . PASS END=5\n", false},
        SpanCase{"chr1\t99999999999999999999\t.\tA\t.\t.\t.\t.\n", false},
        SpanCase{"chr1\t-9223372036854775808\t.\tA\t.\t.\t.\t.\n", false},
        SpanCase{"chr1\t9223372036854775807\t.\tAC\t.\t.\t.\t.\n", false}));

struct OverlapCase {
    std::vector<Interval> intervals;
    std::int64_t start;
    std::int64_t end;
    bool expected;
};

class OverlapsTest : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(OverlapsTest, HalfOpenOverlap) {
    const OverlapCase& c = GetParam();
    EXPECT_EQ(overlaps(c.intervals, c.start, c.end), c.expected) << "[" << c.start << ", " << c.end << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Spans, OverlapsTest,
    ::testing::Values(OverlapCase{{{10, 20}}, 19, 25, true}, OverlapCase{{{10, 20}}, 20, 25, false},
                      OverlapCase{{{10, 20}}, 5, 10, false}, OverlapCase{{{10, 20}}, 15, 15, true},
                      OverlapCase{{{10, 20}}, 5, 30, true}, OverlapCase{{}, 0, 100, false},
                      OverlapCase{{{1, 2}, {5, 8}, {40, 50}}, 7, 41, true},
                      OverlapCase{{{1, 2}, {5, 8}, {40, 50}}, 8, 40, false},
                      // The scan stops at the first interval starting at or after the span's end.
                      OverlapCase{{{30, 40}, {10, 20}}, 15, 18, false}));

// The indexed test must answer as the scan does on a sorted list, including
// where a long interval hides behind shorter ones that start later (a plain
// binary search on starts misses it), and for empty and inverted spans.
TEST(ChromosomeIntervals, IndexedOverlapAgreesWithTheScan) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        CatalogIntervals catalog;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            const std::int64_t start = static_cast<std::int64_t>(random() % 60) - 5;
            catalog.add("c", Interval{start, start + static_cast<std::int64_t>(random() % 40) - 3});
        }
        catalog.sort();
        const ChromosomeIntervals* indexed = catalog.find("c");
        const auto intervals = indexed ? std::span<const Interval>(indexed->intervals) : std::span<const Interval>();
        for (std::int64_t start = -8; start < 70; start += 3) {
            for (std::int64_t end = start - 4; end < start + 30; end += 2) {
                const bool expected = overlaps(intervals, start, end);
                EXPECT_EQ(indexed != nullptr && indexed->overlap(start, end), expected)
                    << "round " << round << ", span [" << start << ", " << end << ")";
            }
        }
    }
    CatalogIntervals nested;
    for (const Interval interval : {Interval{0, 1000}, Interval{10, 20}, Interval{30, 40}}) nested.add("c", interval);
    nested.sort();
    EXPECT_TRUE(nested.find("c")->overlap(500, 501));
    EXPECT_EQ(nested.find("C"), nullptr);
}

TEST(ReadBedIntervals, SkipsMalformedAndHeaderLinesAndSortsPerChromosome) {
    TempDir dir;
    const auto bed = dir.write("catalog.bed",
                               "track name=x\r\n"
                               "browser position chr1\n"
                               "#chrom\tstart\tend\n"
                               "\n"
                               "   \t \n"
                               "chr2\t500\t600\tID=B\n"
                               "chr1\t300\t400\n"
                               "chr1\t100\tabc\n"
                               "chr1\t100\t200\tID=X\r\n"
                               "chr1 150 250\n"
                               "chr1\t100\n"
                               "chr1\t99999999999999999999\t5\n"
                               "chr1\t100\t150\n"
                               "chrX\t 7 \t+9\n"
                               "chr1\t300\t400");
    const CatalogIntervals catalog = read_bed_intervals(bed);
    std::vector<std::string> names;
    for (const auto& [name, intervals] : catalog.chromosomes()) names.push_back(name);
    ASSERT_EQ(names, (std::vector<std::string>{"chr2", "chr1", "chrX"}));
    EXPECT_EQ(catalog.find("chr1")->intervals,
              (std::vector<Interval>{{100, 150}, {100, 200}, {300, 400}, {300, 400}}));
    EXPECT_EQ(catalog.find("chrX")->intervals, (std::vector<Interval>{{7, 9}}));
    EXPECT_EQ(catalog.find("CHR1"), nullptr);
}

TEST(ReadBedIntervals, CompressedOrUndecodableCatalogRaises) {
    TempDir dir;
    EXPECT_THROW(read_bed_intervals(dir.write("c.bed.gz", testing::gzip_bytes("chr1\t1\t2\n"))), UnicodeDecodeError);
    EXPECT_THROW(read_bed_intervals(dir.path("missing.bed")), OSError);
}

TEST(BundledCatalogPath, BesideTheModuleUnderData) {
    TempDir dir;
    EXPECT_EQ(bundled_catalog_path(dir.path("pkg/./repeats.so")),
              dir.path("pkg/data/STRchive-disease-loci.hg38.TRGT.bed"));
}

}  // namespace
}  // namespace merivane::repeats
