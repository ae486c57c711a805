#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/vcf_fields.hpp"
#include "test_support.hpp"
#include "unifier/writer.hpp"

namespace merivane::unifier {
namespace {

using testing::CapturedLog;
using testing::TempDir;
using Texts = std::vector<std::string>;

const std::string kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";

Texts sv_input() { return {"##source=sv\n", kColumns, "chr1\t10\tsv1\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n"}; }
Texts cnv_input() {
    return {"##source=cnv\n", kColumns, "chr2\t10\tc1\tN\t.\t.\tPASS\tEND=20\tGT:CN\t./.:2\n",
            "chr2\t30\tc2\tN\t<DUP>\t.\tPASS\tSVTYPE=CNV;END=40\tGT:CN\t0/1:3\n"};
}
Texts repeat_input() {
    return {"##source=rep\n", kColumns, "chr3\t10\t.\tCA\t<STR3>\t.\tPASS\tTRID=a;END=14\tGT\t0/1\n",
            "chr3\t20\t.\tCA\t<STR3>\t.\tPASS\tSVTYPE=STR;END=24\tGT\t0/1\n"};
}
Texts roh_bed() { return {"# comment\n", "chr4\t99\t500\t7.5\t3\n", "   \n", "chr4\t900\t800\t1\n"}; }

const std::string kCnvRecords = cnv_input()[2] + cnv_input()[3];
const std::string kRepeatRecords =
    "chr3\t10\t.\tCA\t<STR3>\t.\tPASS\tTRID=a;END=14;SVTYPE=REP\tGT\t0/1\n" + repeat_input()[3];
const std::string kRohRecords =
    "chr4\t100\t.\tN\t<ROH>\t.\tPASS\tEND=500;SVTYPE=ROH;ROH_SCORE=7.5\tGT\t1/1\n"
    "chr4\t801\t.\tN\t<ROH>\t.\tPASS\tEND=900;SVTYPE=ROH;ROH_SCORE=1\tGT\t1/1\n";

std::string joined(const Texts& lines) {
    std::string out;
    for (const auto& line : lines) out += line;
    return out;
}

// Inputs by kind; views into them live as long as the fixture.
struct Inputs {
    KindTable<std::optional<Texts>> texts;
    KindTable<std::vector<std::string_view>> views;

    LinesTable table() {
        LinesTable table;
        for (std::size_t i = 0; i < 4; ++i) {
            if (!texts[i]) continue;
            views[i].assign(texts[i]->begin(), texts[i]->end());
            table[i] = LineSpan(views[i]);
        }
        return table;
    }
    Inputs& with(InputKind kind, Texts lines) {
        texts[kind_index(kind)] = std::move(lines);
        return *this;
    }
};

struct LayoutCase {
    const char* name;
    Inputs inputs;
    std::string expected;
};

class UnifiedLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(UnifiedLayout, HeaderDonorThenRecordsInKindOrder) {
    TempDir dir;
    auto param = GetParam();
    const auto path = dir.path("out.vcf");
    CapturedLog log;
    EXPECT_EQ(unify_lines(param.inputs.table(), path, UnifyOptions{}), path);
    EXPECT_EQ(testing::read_file(path), param.expected);
    ASSERT_FALSE(log.events().empty());
    EXPECT_EQ(log.events().back().format, kUnifiedCreated);
    EXPECT_EQ(log.events().back().args, std::vector<LogArg>{path});
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

TEST_P(UnifiedLayout, MergedHeaderOnlyAddsMetaInformationLines) {
    TempDir dir;
    auto param = GetParam();
    const auto plain = dir.path("plain.vcf");
    const auto merged = dir.path("merged.vcf");
    const LinesTable table = param.inputs.table();
    ASSERT_TRUE(unify_lines(table, plain, UnifyOptions{}));
    ASSERT_TRUE(unify_lines(table, merged, UnifyOptions{}, {}, true));
    // Every line of the default output, in its order, with "##" lines between.
    const auto expected = split_lines(testing::read_file(plain));
    std::size_t matched = 0;
    for (const std::string& line : split_lines(testing::read_file(merged))) {
        if (matched < expected.size() && line == expected[matched]) {
            ++matched;
        } else {
            EXPECT_TRUE(line.starts_with("##")) << line;
        }
    }
    EXPECT_EQ(matched, expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Donors, UnifiedLayout,
    ::testing::Values(
        LayoutCase{"AllFour",
                   Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Cnv, cnv_input())
                       .with(InputKind::Repeats, repeat_input()).with(InputKind::Roh, roh_bed()),
                   joined(sv_input()) + kCnvRecords + kRepeatRecords + kRohRecords},
        LayoutCase{"CnvDonorKeepsOnlyValidLinesOnce",
                   Inputs{}.with(InputKind::Cnv, cnv_input()).with(InputKind::Repeats, repeat_input()),
                   cnv_input()[0] + kColumns + cnv_input()[3] + kRepeatRecords},
        LayoutCase{"RepeatsDonorWrittenOnce", Inputs{}.with(InputKind::Repeats, repeat_input()),
                   "##source=rep\n" + kColumns + kRepeatRecords},
        LayoutCase{"EmptySvDonor",
                   Inputs{}.with(InputKind::Sv, {}).with(InputKind::Cnv, cnv_input()), kCnvRecords},
        LayoutCase{"RohVcfCopied",
                   Inputs{}.with(InputKind::Sv, sv_input())
                       .with(InputKind::Roh, {"##roh\n", kColumns, "chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"}),
                   joined(sv_input()) + "chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"},
        // An input whose last line lacks its terminator is terminated before
        // the next input's first record.
        LayoutCase{"UnterminatedLastLines",
                   Inputs{}.with(InputKind::Sv, {"##s\n", kColumns, "sv-rec"})
                       .with(InputKind::Cnv, {kColumns, "cnv-rec"})
                       .with(InputKind::Repeats, {kColumns, "rep-rec"}),
                   "##s\n" + kColumns + "sv-rec\ncnv-rec\nrep-rec"}),
    [](const auto& info) { return std::string(info.param.name); });

// The edited header is the default one with the lines added before the
// first line that is no "##" line, and the #CHROM line's sample renamed;
// the records are untouched, with merged headers or without.
TEST_P(UnifiedLayout, HeaderEditAddsLinesBeforeTheColumnsAndRenamesTheSample) {
    TempDir dir;
    auto param = GetParam();
    const LinesTable table = param.inputs.table();
    const bool has_sample = std::string_view(GetParam().name) != "EmptySvDonor";
    for (const bool merge : {false, true}) {
        const auto plain = dir.path("plain.vcf");
        const auto edited = dir.path("edited.vcf");
        ASSERT_TRUE(unify_lines(table, plain, UnifyOptions{}, {}, merge));
        HeaderEdit edit{std::nullopt, {"##merivaneVersion=1", "##x=<ID=y>"}};
        if (has_sample) edit.sample = "NA 1";
        ASSERT_TRUE(unify_lines(table, edited, UnifyOptions{}, {}, merge, edit));
        std::string expected;
        bool added = false;
        for (std::string line : split_lines(testing::read_file(plain))) {
            if (!added && !line.starts_with("##")) {
                expected += "##merivaneVersion=1\n##x=<ID=y>\n";
                added = true;
                if (line == kColumns) line = kColumns.substr(0, kColumns.size() - 3) + "NA 1\n";
            }
            expected += line;
        }
        EXPECT_EQ(testing::read_file(edited), expected) << "merge " << merge;
    }
}

TEST_P(UnifiedLayout, TallyCountsEveryRecordWrittenOnce) {
    TempDir dir;
    const auto path = dir.path("out.vcf");
    RecordTally tally;
    auto param = GetParam();
    ASSERT_TRUE(unify_lines(param.inputs.table(), path, UnifyOptions{}, {}, false, {}, &tally));
    std::uint64_t records = 0;
    for (const std::string& line : split_lines(testing::read_file(path))) records += is_record_line(line) ? 1 : 0;
    EXPECT_EQ(tally.records, records);
    EXPECT_EQ(tally.kept[0] + tally.kept[1] + tally.kept[2] + tally.kept[3], records);
}

TEST(UnifiedFile, NothingToDonateLeavesAnEmptyFile) {
    TempDir dir;
    const auto path = dir.write("out.vcf", "old content\n");
    Inputs inputs;
    inputs.with(InputKind::Roh, roh_bed());
    CapturedLog log;
    EXPECT_EQ(unify_lines(inputs.table(), path, UnifyOptions{}), std::nullopt);
    EXPECT_EQ(testing::read_file(path), "");
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].format, kNothingToUnify);
    EXPECT_EQ(log.events()[0].level, LogLevel::Warning);
}

TEST(UnifiedFile, InputsWithoutColumnHeaderAreWarnedAbout) {
    TempDir dir;
    const auto path = dir.path("out.vcf");
    const std::string sites_only = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    Inputs inputs;
    inputs.with(InputKind::Repeats, {"##r\n", sites_only, "rec\n"})
        .with(InputKind::Cnv, {"##c\n", sites_only})
        .with(InputKind::Sv, sv_input());
    CapturedLog log;
    ASSERT_TRUE(unify_lines(inputs.table(), path, UnifyOptions{}));
    EXPECT_EQ(testing::read_file(path), joined(sv_input()));
    std::vector<std::string> kinds;
    for (const auto& event : log.events()) {
        if (event.format == kNoColumnHeader) kinds.push_back(std::get<std::string>(event.args[0]));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"cnv", "repeats"}));
}

TEST(UnifiedFile, DeclaredRohShapeOverridesDetection) {
    TempDir dir;
    const auto path = dir.path("out.vcf");
    Inputs inputs;
    inputs.with(InputKind::Sv, sv_input()).with(InputKind::Roh, roh_bed());
    UnifyOptions as_vcf;
    as_vcf.roh_format = "vcf";
    CapturedLog log;
    ASSERT_TRUE(unify_lines(inputs.table(), path, as_vcf));
    EXPECT_EQ(testing::read_file(path), joined(sv_input()));
    EXPECT_EQ(log.events().front().args, std::vector<LogArg>{std::string("roh")});
}

TEST(UnifiedFile, RuleErrorsNameTheInputAndLineAndLeaveAnEarlierFileAlone) {
    TempDir dir;
    const auto path = dir.write("out.vcf", "earlier\n");
    Texts repeats = repeat_input();
    repeats.push_back("chr3\t30\t.\tCA\t<STR3>\t.\tPASS\tEND=34\tGT\t0/1\t1/1\n");
    Inputs inputs;
    inputs.with(InputKind::Sv, sv_input()).with(InputKind::Repeats, repeats);
    CapturedLog log;
    try {
        unify_lines(inputs.table(), path, UnifyOptions{});
        FAIL() << "expected a ValueError";
    } catch (const ValueError& error) {
        ASSERT_EQ(error.notes().size(), 1u);
        EXPECT_EQ(error.notes()[0], "in the repeats input, line 5");
    }
    EXPECT_EQ(testing::read_file(path), "earlier\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 1) << "no partial file left";
    for (const auto& event : log.events()) EXPECT_NE(event.format, kUnifiedCreated);
}

TEST(UnifiedFile, BadCnvDonorWritesNothingOfIt) {
    TempDir dir;
    const auto path = dir.path("out.vcf");
    Texts cnv = cnv_input();
    cnv.push_back("chr2\t50\tc3\tN\t.\t.\tPASS\tEND=60\tCN\t2\n");
    Inputs inputs;
    inputs.with(InputKind::Cnv, cnv);
    EXPECT_THROW(unify_lines(inputs.table(), path, UnifyOptions{}), ValueError);
    EXPECT_EQ(testing::read_file(path), "");
}

TEST(UnifiedFile, UnopenableOutputIsAnOSErrorAndLogsNothing) {
    Inputs inputs;
    inputs.with(InputKind::Sv, sv_input());
    CapturedLog log;
    EXPECT_THROW(unify_lines(inputs.table(), "/nonexistent/dir/out.vcf", UnifyOptions{}), OSError);
    EXPECT_TRUE(log.events().empty());
}

struct StringSink {
    void operator()(std::string_view text) { pieces.emplace_back(text); }
    std::vector<std::string> pieces;
};

TEST(WriteVcfContent, RohBedWithVcfShapeDeclaredTreatsHeadersAsComments) {
    StringSink sink;
    UnifyOptions as_bed;
    as_bed.roh_format = "bed";
    const std::vector<std::string_view> lines = {"##roh\n", kColumns, "chr5\t1\t9\t3\n"};
    write_vcf_content(InputKind::Roh, lines, std::ref(sink), as_bed);
    EXPECT_EQ(sink.pieces, Texts{"chr5\t2\t.\tN\t<ROH>\t.\tPASS\tEND=9;SVTYPE=ROH;ROH_SCORE=3\tGT\t1/1\n"});
}

TEST(WriteVcfContent, ReplacedRulesAreUsed) {
    StringSink sink;
    WriterOverrides overrides;
    overrides.marked_repeat_line = [](std::string_view line, std::optional<bool>,
                                      std::string& out) -> std::string_view { return out = "<" + std::string(line) + ">"; };
    const std::vector<std::string_view> lines = {kColumns, "a\n", "b\n"};
    write_vcf_content(InputKind::Repeats, lines, std::ref(sink), UnifyOptions{}, overrides);
    EXPECT_EQ(sink.pieces, (Texts{"<a\n>", "\n", "<b\n>"}));
}

}  // namespace
}  // namespace merivane::unifier

namespace merivane::unifier {
namespace {

TEST(RecordTally, CountsByInputSvtypeAndChromosome) {
    TempDir dir;
    Inputs inputs;
    inputs.with(InputKind::Sv, sv_input()).with(InputKind::Cnv, cnv_input()).with(InputKind::Repeats, repeat_input())
        .with(InputKind::Roh, roh_bed());
    RecordTally tally;
    ASSERT_TRUE(unify_lines(inputs.table(), dir.path("out.vcf"), UnifyOptions{}, {}, true, {}, &tally));
    EXPECT_EQ(tally.kept, (KindTable<std::uint64_t>{1, 2, 2, 2}));
    // The first CNV record has no SVTYPE; "SVTYPE=" must start an INFO entry.
    EXPECT_EQ(tally.without_svtype, 1u);
    EXPECT_EQ(tally.by_svtype, (RecordTally::Counts{{"CNV", 1}, {"DEL", 1}, {"REP", 1}, {"ROH", 2}, {"STR", 1}}));
    EXPECT_EQ(tally.by_chromosome, (RecordTally::Counts{{"chr1", 1}, {"chr2", 2}, {"chr3", 2}, {"chr4", 2}}));
    // A record's SVTYPE is the value of an INFO entry "SVTYPE=", never empty.
    RecordTally one;
    one.count(InputKind::Sv, "c\t1\t.\tN\t.\t.\tPASS\tXSVTYPE=DEL;SVTYPE=INV\n");
    one.count(InputKind::Sv, "c\t1\t.\tN\t.\t.\tPASS\tEND=3;SVTYPE=\n");
    one.count(InputKind::Sv, "c\t1\t.\tN\n");
    EXPECT_EQ(one.by_svtype, (RecordTally::Counts{{"INV", 1}}));
    EXPECT_EQ(one.without_svtype, 2u);
}

struct SampleCase {
    const char* name;
    Texts donor;
    std::size_t line;  // the line the error names
};

class SampleRename : public ::testing::TestWithParam<SampleCase> {};

// Renaming needs exactly one sample column; otherwise nothing is written.
TEST_P(SampleRename, IsRefusedWithoutExactlyOneSampleColumn) {
    TempDir dir;
    const auto path = dir.write("out.vcf", "old\n");
    Inputs inputs;
    inputs.with(InputKind::Sv, GetParam().donor);
    try {
        unify_lines(inputs.table(), path, UnifyOptions{}, {}, false, HeaderEdit{"NEW", {}});
        FAIL() << "no error";
    } catch (const ValueError& error) {
        EXPECT_EQ(error.notes(), Texts{"in the sv input, line " + std::to_string(GetParam().line)});
    }
    EXPECT_EQ(testing::read_file(path), "old\n");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, SampleRename,
    ::testing::Values(
        SampleCase{"TwoSamples", {"##a\n", kColumns.substr(0, kColumns.size() - 1) + "\tS2\n", "r\n"}, 2},
        SampleCase{"NoSample", {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\n"}, 1},
        SampleCase{"SitesOnly", {"##a\n", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n", "r\n"}, 2},
        SampleCase{"NoColumnHeader", {"##a\n", "##b\n"}, 3}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kSitesOnly = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
const std::string kTwoSamples = kColumns.substr(0, kColumns.size() - 1) + "\tS2\n";

struct ColumnsCase {
    const char* name;
    Inputs inputs;
    const char* refused;  // the input and line the error names; nullptr: unified
    const char* message_part = "";
    bool merged_header_refuses = true;  // else only a header edit does
};

// With a header the caller shapes, an input whose records would not fit
// it is refused before anything is written.
class ColumnsAgainstTheHeader : public ::testing::TestWithParam<ColumnsCase> {};

TEST_P(ColumnsAgainstTheHeader, RecordsThatWouldNotFitAreRefused) {
    TempDir dir;
    auto param = GetParam();
    for (const bool merge_headers : {true, false}) {
        const auto path = dir.write("out.vcf", "old\n");
        const HeaderEdit edit{std::nullopt, merge_headers ? Texts{} : Texts{"##by=test"}};
        if (param.refused == nullptr || (merge_headers && !param.merged_header_refuses)) {
            EXPECT_TRUE(unify_lines(param.inputs.table(), path, UnifyOptions{}, {}, merge_headers, edit));
            continue;
        }
        try {
            unify_lines(param.inputs.table(), path, UnifyOptions{}, {}, merge_headers, edit);
            FAIL() << "no error";
        } catch (const ValueError& error) {
            EXPECT_EQ(error.notes(), Texts{param.refused});
            EXPECT_NE(std::string(error.what()).find(param.message_part), std::string::npos) << error.what();
        }
        EXPECT_EQ(testing::read_file(path), "old\n");
    }
}

const Texts kSitesOnlySv = {kSitesOnly, "chr1\t10\tsv1\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\n"};

INSTANTIATE_TEST_SUITE_P(
    Inputs, ColumnsAgainstTheHeader,
    ::testing::Values(
        ColumnsCase{"SecondSample", Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Cnv,
                    {kTwoSamples, "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=CNV\tGT\t0/1\t0/0\n"}),
                    "in the cnv input, line 2", "sample columns ['S1', 'S2'] but the header, from the sv input, has ['S1']"},
        ColumnsCase{"SitesOnlyAppended", Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Repeats,
                    {kSitesOnly, "chr3\t1\t.\tN\t<STR>\t.\tPASS\tEND=5\n"}), "in the repeats input, line 2",
                    "sites-only", false},
        ColumnsCase{"SitesOnlyCnvDonor", Inputs{}.with(InputKind::Cnv, {"##a\n", kSitesOnly,
                    "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tEND=9\n"}), "in the cnv input, line 3", "sites-only"},
        ColumnsCase{"SitesOnlySvDonor", Inputs{}.with(InputKind::Sv, kSitesOnlySv).with(InputKind::Cnv, cnv_input()),
                    "in the cnv input, line 3", "but the header, from the sv input, has none (a sites-only VCF"},
        ColumnsCase{"RohUnderTwoSamples", Inputs{}.with(InputKind::Sv, {kTwoSamples}).with(InputKind::Roh, roh_bed()),
                    "in the roh input, line 2", "one sample column"},
        ColumnsCase{"RohVcfWithoutSample", Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Roh,
                    {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\n", "chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\n"}),
                    "in the roh input, line 2", "[]"},
        // An input without records has none that would not fit.
        ColumnsCase{"NoRecords", Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Cnv, {kTwoSamples}), nullptr},
        // Two callers often name one sample apart (pbsv's HG002, TRGT's
        // HG002_Revio): the count is what the records must fit.
        ColumnsCase{"SampleNamedApart", Inputs{}.with(InputKind::Sv, sv_input()).with(InputKind::Repeats,
                    {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tHG002_Revio\n"})
                    .with(InputKind::Roh, roh_bed()), nullptr},
        ColumnsCase{"SitesOnlySvAlone", Inputs{}.with(InputKind::Sv, kSitesOnlySv), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// The specified layout copies records as they are, fitting or not.
TEST(UnifiedFile, DonorHeaderAloneCopiesRecordsAsTheyAre) {
    TempDir dir;
    Inputs inputs;
    inputs.with(InputKind::Sv, sv_input()).with(InputKind::Cnv, {kTwoSamples, "chr2\t1\t.\tN\t.\t.\t.\t.\tGT\t0/1\t1/1\n"});
    ASSERT_TRUE(unify_lines(inputs.table(), dir.path("out.vcf"), UnifyOptions{}));
    EXPECT_EQ(testing::read_file(dir.path("out.vcf")), joined(sv_input()) + "chr2\t1\t.\tN\t.\t.\t.\t.\tGT\t0/1\t1/1\n");
}

TEST(HeaderEdit, RefusesTextsThatWouldBreakTheHeader) {
    for (const HeaderEdit& edit : {HeaderEdit{"", {}}, HeaderEdit{"a\tb", {}}, HeaderEdit{"a\nb", {}},
                                   HeaderEdit{" ", {}}, HeaderEdit{"\x0b\x0c", {}}, HeaderEdit{"a\x7f", {}},
                                   HeaderEdit{std::string("a\0b", 3), {}}, HeaderEdit{std::nullopt, {"#x"}},
                                   HeaderEdit{std::nullopt, {"##a\n##b"}}, HeaderEdit{std::nullopt, {"##a\n"}},
                                   HeaderEdit{std::nullopt, {std::string("##a\0b", 5)}}}) {
        EXPECT_THROW(check_header_edit(edit), ValueError);
    }
    EXPECT_NO_THROW(check_header_edit(HeaderEdit{"HG002 run 2 (née)", {"##a=1", "##cmd=a\tb"}}));
}

}  // namespace
}  // namespace merivane::unifier
