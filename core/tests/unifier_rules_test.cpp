#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/strings.hpp"
#include "test_support.hpp"
#include "unifier/rules.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::unifier {
namespace {

using testing::CapturedLog;

std::string record(const std::string& info, const std::string& format, const std::string& sample,
                   const std::string& tail = "\n") {
    return "chr1\t100\tid\tN\t<DEL>\t.\tPASS\t" + info + "\t" + format + "\t" + sample + tail;
}

// --- CNV screening ---------------------------------------------------------

struct ValidityCase {
    const char* name;
    std::string line;
    bool valid;
};

class CnvValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(CnvValidity, DecidesFromSvtypeAndFirstGenotype) { EXPECT_EQ(is_valid_line(GetParam().line), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Lines, CnvValidity,
    ::testing::Values(
        ValidityCase{"Header", "##fileformat=VCFv4.2\n", true}, ValidityCase{"EmptyText", "", true},
        ValidityCase{"SvtypeOverridesNoCall", record("SVTYPE=CNV;END=5", "GT:CN", "./.:2"), true},
        ValidityCase{"NoCallFirst", record("END=5", "GT:CN", "./.:2"), false},
        ValidityCase{"Called", record("END=5", "GT:CN", "0/1:2"), true},
        ValidityCase{"GtSecondWithMoreSamples", record("END=5", "CN:GT", "2:./.", "\t0/1:3\n"), false},
        ValidityCase{"OnlySecondSampleNoCall", record("END=5", "GT", "0/1", "\t./.\n"), true},
        // The genotype ending the line is compared without its terminator.
        ValidityCase{"NoCallLastCellTerminated", record("END=5", "GT", "./."), false},
        ValidityCase{"NoCallLastCellCrlf", record("END=5", "GT", "./.", "\r\n"), false},
        ValidityCase{"NoCallLastCellUnterminated", record("END=5", "GT", "./.", ""), false},
        ValidityCase{"HaploidNoCallIsNotTheNoCall", record("END=5", "GT", "."), true},
        ValidityCase{"PhasedNoCallIsNotTheNoCall", record("END=5", "GT", ".|."), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CnvValidity, MalformedRecordsRaiseTheirKinds) {
    EXPECT_THROW(is_valid_line("\n"), IndexError);
    EXPECT_THROW(is_valid_line("chr1\t1\t.\tN\t.\t.\tPASS\tEND=5\tGT\n"), IndexError);
    EXPECT_THROW(is_valid_line(record("END=5", "CN", "2")), ValueError);
    EXPECT_THROW(is_valid_line(record("END=5", "CN:GT", "2")), IndexError);
    try {
        is_valid_line(record("END=5", "CN", "2"));
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "'GT' is not in list");
    }
}

// --- Repeat marking --------------------------------------------------------

const std::string kTrgt = record("TRID=x;END=130", "GT:AL", "0/1:20,30");
const std::string kOnt = record("SVTYPE=STR;END=130", "GT", "0/1");
const std::string kNineCells = "chr1\t100\t.\tN\t<STR>\t.\tPASS\tEND=130\tGT\n";
const std::string kElevenCells = record("END=130", "GT", "0/1", "\t1/1\n");

std::string marked(const std::string& line, std::optional<bool> add) {
    std::string scratch;
    return std::string(marked_repeat_line(line, add, scratch));
}

std::string with_mark(const std::string& line) {
    const std::size_t info_end = end_of_cell(line, vcf::kInfo);
    return line.substr(0, info_end) + ";SVTYPE=REP" + line.substr(info_end);
}

struct MarkCase {
    const char* name;
    std::string line;
    std::optional<bool> add;
    bool marks;
};

class RepeatMarking : public ::testing::TestWithParam<MarkCase> {};

TEST_P(RepeatMarking, MarksOnlyWhereTheOptionSays) {
    const auto& c = GetParam();
    EXPECT_EQ(marked(c.line, c.add), c.marks ? with_mark(c.line) : c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RepeatMarking,
    ::testing::Values(MarkCase{"UnsetTrgt", kTrgt, std::nullopt, true},
                      MarkCase{"UnsetOnt", kOnt, std::nullopt, false},
                      MarkCase{"TrueOnt", kOnt, true, true}, MarkCase{"TrueTrgt", kTrgt, true, true},
                      MarkCase{"FalseTrgt", kTrgt, false, false},
                      MarkCase{"FalseElevenCells", kElevenCells, false, false},
                      MarkCase{"UnsetBlank", "\n", std::nullopt, false},
                      MarkCase{"TrueBlank", "\n", true, false},
                      MarkCase{"TrueNineCells", kNineCells, true, false},
                      MarkCase{"UnsetElevenCellsWithSvtype", record("SVTYPE=STR", "GT", "0/1", "\t1/1\n"),
                               std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RepeatMarking, KeepsTheDotAndTheTerminator) {
    EXPECT_EQ(modify_repeat_line(record(".", "GT", "0/1")),
              "chr1\t100\tid\tN\t<DEL>\t.\tPASS\t.;SVTYPE=REP\tGT\t0/1\n");
    EXPECT_EQ(modify_repeat_line(record(".", "GT", "0/1", "")), "chr1\t100\tid\tN\t<DEL>\t.\tPASS\t.;SVTYPE=REP\tGT\t0/1");
}

TEST(RepeatMarking, WrongCellCountsAreValueErrors) {
    EXPECT_THROW(modify_repeat_line(kNineCells), ValueError);
    EXPECT_THROW(modify_repeat_line(kElevenCells), ValueError);
    EXPECT_THROW(marked(kElevenCells, std::nullopt), ValueError);
    EXPECT_THROW(marked(kElevenCells, true), ValueError);
    try {
        modify_repeat_line(kNineCells);
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "not enough values to unpack (expected 10, got 9)");
    }
}

TEST(RepeatMarking, ReplacedStepsAreConsulted) {
    std::vector<std::string> asked;
    RepeatOverrides overrides;
    overrides.needs_svtype = [&](std::string_view line) {
        asked.emplace_back(line);
        return true;
    };
    overrides.modify = [](std::string_view, std::string& out) { out = "replaced\n"; };
    std::string scratch;
    EXPECT_EQ(marked_repeat_line(kOnt, std::nullopt, scratch, overrides), "replaced\n");
    EXPECT_EQ(asked, std::vector<std::string>{kOnt});
    // Forced marking does not ask; short lines never reach either step.
    EXPECT_EQ(marked_repeat_line(kOnt, true, scratch, overrides), "replaced\n");
    EXPECT_EQ(marked_repeat_line(kNineCells, true, scratch, overrides), kNineCells);
    EXPECT_EQ(asked.size(), 1u);
}

// --- SV FILTER dropping ----------------------------------------------------

std::string sv(const std::string& filter) { return "chr1\t5\tsv\tN\t<INV>\t9\t" + filter + "\tSVTYPE=INV\tGT\t0/1\n"; }

TEST(SvFilter, DropsRecordsCarryingATokenAndReportsThem) {
    const std::vector<std::string> lines = {"##h\n",
                                            "#CHROM\tPOS\n",
                                            sv("InvBreakpoint"),
                                            sv("PASS"),
                                            sv("MinQUAL;InvBreakpoint"),
                                            sv("invbreakpoint"),
                                            "chr1\t5\t.\tN\t.\t9\n",
                                            "chr1\t5\t.\tN\t.\t9\tInvBreakpoint\n\n"};
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    CapturedLog log;
    const auto kept = drop_sv_records_by_filter(views, {"InvBreakpoint", "InvBreakpoint"});
    EXPECT_EQ(std::vector<std::string>(kept.begin(), kept.end()),
              (std::vector<std::string>{lines[0], lines[1], lines[3], lines[5], lines[6]}));
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].level, LogLevel::Info);
    EXPECT_EQ(log.events()[0].format, "Filtered %d SV records with FILTER in %s from the unified VCF");
    EXPECT_EQ(log.events()[0].args,
              (std::vector<LogArg>{std::int64_t{3}, std::vector<std::string>{"InvBreakpoint"}}));
}

TEST(SvFilter, TokensAreReportedSortedAndNothingIsLoggedWithoutRemovals) {
    const std::vector<std::string> lines = {sv("b"), sv("PASS")};
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    CapturedLog log;
    EXPECT_EQ(drop_sv_records_by_filter(views, {}).size(), 2u);
    EXPECT_EQ(drop_sv_records_by_filter(views, {"zz"}).size(), 2u);
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(drop_sv_records_by_filter(views, {"c", "b", "a"}).size(), 1u);
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].args[1], LogArg(std::vector<std::string>{"a", "b", "c"}));
}

// --- ROH ------------------------------------------------------------------

TEST(RohShape, DeclaredShapeWinsElseTheColumnHeaderDecides) {
    const std::string header = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    const std::string sites_only = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    const std::vector<std::string_view> vcf = {"##x\n", header};
    const std::vector<std::string_view> bed = {"chr1\t1\t5\t2\n"};
    const std::vector<std::string_view> sites = {sites_only};
    EXPECT_TRUE(roh_lines_are_bed(vcf, "bed"));
    EXPECT_FALSE(roh_lines_are_bed(bed, "vcf"));
    EXPECT_FALSE(roh_lines_are_bed(vcf, "auto"));
    EXPECT_TRUE(roh_lines_are_bed(bed, "auto"));
    EXPECT_FALSE(roh_lines_are_bed(vcf, "BED"));
    EXPECT_FALSE(roh_lines_are_bed(vcf, ""));
    EXPECT_TRUE(roh_lines_are_bed(sites, "auto"));
}

struct BedCase {
    const char* name;
    std::string line;
    std::string expected;
};

class RohConversion : public ::testing::TestWithParam<BedCase> {};

TEST_P(RohConversion, BecomesOneRohRecord) { EXPECT_EQ(roh_bed_line_to_vcf(GetParam().line), GetParam().expected); }

const std::string kRoh1000 = "chr1\t1000\t.\tN\t<ROH>\t.\tPASS\tEND=5000;SVTYPE=ROH;ROH_SCORE=12.5\tGT\t1/1\n";

INSTANTIATE_TEST_SUITE_P(Lines, RohConversion,
                         ::testing::Values(BedCase{"Ordered", "chr1\t999\t5000\t12.5\n", kRoh1000},
                                           BedCase{"Swapped", "chr1\t5000\t999\t12.5\n", kRoh1000},
                                           BedCase{"ExtraCellsIgnored", "chr1\t999\t5000\t12.5\t40\t3\n", kRoh1000},
                                           BedCase{"SurroundingSpaceAndSign", "  chr1\t +999 \t5_000\t12.5\r\n",
                                                   kRoh1000},
                                           BedCase{"Unterminated", "chr1\t999\t5000\t12.5", kRoh1000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RohConversion, MalformedLinesRaiseTheirKinds) {
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t999\t5000\n"), IndexError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t999\n"), IndexError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\tstart\t5000\t1\n"), ValueError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t1_\t5000\t1\n"), ValueError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t99999999999999999999\t5000\t1\n"), ValueError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t-5\t5000\t1\n"), ValueError);
    EXPECT_THROW(roh_bed_line_to_vcf("chr1\t5000\t-1\t1\n"), ValueError);
    try {
        roh_bed_line_to_vcf("chr1\t9.5\t5000\t1\n");
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "invalid literal for int() with base 10: '9.5'");
    }
}

// --- Integers as the host's int() reads them --------------------------------

struct IntCase {
    const char* text;
    std::int64_t value;    // when `message` is empty
    const char* message;   // the ValueError's text otherwise
};

class ParseInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseInt, ReadsOrNamesTheFault) {
    const IntCase& c = GetParam();
    if (*c.message == '\0') {
        EXPECT_EQ(parse_int(c.text), c.value);
        return;
    }
    try {
        parse_int(c.text);
        ADD_FAILURE() << "no error for " << c.text;
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseInt,
    ::testing::Values(IntCase{" -1_000_000\n", -1000000, ""}, IntCase{"+0", 0, ""},
                      IntCase{"-9223372036854775808", INT64_MIN, ""}, IntCase{"9_223_372_036_854_775_807", INT64_MAX, ""},
                      IntCase{"9223372036854775808", 0, "integer out of range: '9223372036854775808'"},
                      IntCase{"-9_223_372_036_854_775_809", 0, "integer out of range: '-9_223_372_036_854_775_809'"},
                      // A text that is no integer at all says so, however long its digits run.
                      IntCase{"99999999999999999999x", 0, "invalid literal for int() with base 10: '99999999999999999999x'"},
                      IntCase{"1__0", 0, "invalid literal for int() with base 10: '1__0'"},
                      IntCase{"_1", 0, "invalid literal for int() with base 10: '_1'"},
                      IntCase{"-", 0, "invalid literal for int() with base 10: '-'"},
                      IntCase{" ", 0, "invalid literal for int() with base 10: ' '"}));

}  // namespace
}  // namespace merivane::unifier
