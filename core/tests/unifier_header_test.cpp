#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.hpp"
#include "test_support.hpp"
#include "unifier/header.hpp"
#include "unifier/writer.hpp"

namespace merivane::unifier {
namespace {

using testing::CapturedLog;
using testing::TempDir;
using Texts = std::vector<std::string>;

const std::string kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";

const std::string kOwnInfo =
    "##INFO=<ID=SVTYPE,Number=1,Type=String,Description=\"Type of structural variant\">\n"
    "##INFO=<ID=END,Number=1,Type=Integer,Description=\"End position of the variant described in this record\">\n";
const std::string kOwnRest =
    "##INFO=<ID=ROH_SCORE,Number=1,Type=Float,Description=\"Score of the run of homozygosity\">\n"
    "##ALT=<ID=ROH,Description=\"Run of homozygosity\">\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n";

struct Inputs {
    KindTable<std::optional<Texts>> texts;
    KindTable<std::vector<std::string_view>> views;

    Inputs& with(InputKind kind, Texts lines) {
        texts[kind_index(kind)] = std::move(lines);
        return *this;
    }
    LinesTable table() {
        LinesTable table;
        for (std::size_t i = 0; i < 4; ++i) {
            if (!texts[i]) continue;
            views[i].assign(texts[i]->begin(), texts[i]->end());
            table[i] = LineSpan(views[i]);
        }
        return table;
    }
};

std::string merged(Inputs& inputs, const WriterOverrides& overrides = {}) {
    TempDir dir;
    const auto path = dir.path("out.vcf");
    EXPECT_EQ(unify_lines(inputs.table(), path, UnifyOptions{}, overrides, true), path);
    return testing::read_file(path);
}

std::vector<std::vector<LogArg>> conflicts(const CapturedLog& log) {
    std::vector<std::vector<LogArg>> found;
    for (const auto& event : log.events()) {
        if (event.format == kConflictingDeclaration) {
            EXPECT_EQ(event.level, LogLevel::Warning);
            found.push_back(event.args);
        }
    }
    return found;
}

TEST(MergedHeader, FirstDeclarationWinsAndEveryUsedTagIsDeclared) {
    const std::string sv_rec = "chr1\t10\tsv1\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END=20\tGT\t0/1\n";
    const std::string cnv_rec = "chr2\t30\tc1\tN\t<DUP>\t.\tPASS\tSVTYPE=CNV;REFLEN=9\tGT:CN\t0/1:3\n";
    const std::string rep_rec = "chr3\t10\t.\tCA\t<STR3>\t.\tLowQ\tRU=CA\tGT\t0/1\n";
    Inputs inputs;
    inputs.with(InputKind::Sv, {"##fileformat=VCFv4.2\n", "##INFO=<ID=SVTYPE,Number=1,Type=String,Description=\"t\">\n",
                                "##INFO=<ID=END,Number=1,Type=Integer,Description=\"e\">\n",
                                "##contig=<ID=chr1,length=9>\n", "##source=sv\n", kColumns, sv_rec})
        .with(InputKind::Cnv, {"##fileformat=VCFv4.2\n",
                               "##INFO=<ID=END,Number=1,Type=String,Description=\"differs from the SV input's\">\n",
                               "##INFO=<ID=REFLEN,Number=1,Type=Integer,Description=\"r\">\n",
                               "##FORMAT=<ID=CN,Number=1,Type=Integer,Description=\"c\">\n", "##contig=<ID=chr2>\n",
                               kColumns, cnv_rec})
        .with(InputKind::Repeats, {"##INFO=<ID=REFLEN,Number=.,Type=Integer,Description=\"differs\">\n",
                                   "##INFO=<ID=REFLEN,Number=A,Type=Integer,Description=\"differs again\">\n",
                                   "##INFO=<ID=RU,Number=1,Type=String,Description=\"a, \\\"quoted\\\" unit\">\n",
                                   "##FILTER=<ID=LowQ,Description=\"l\">\n", "##contig=<ID=chr2,length=5>\n",
                                   kColumns, rep_rec})
        .with(InputKind::Roh, {"chr4\t99\t500\t7.5\n", "chr10\t1\t9\t2\n"});
    CapturedLog log;
    const std::string expected =
        "##fileformat=VCFv4.2\n##INFO=<ID=SVTYPE,Number=1,Type=String,Description=\"t\">\n"
        "##INFO=<ID=END,Number=1,Type=Integer,Description=\"e\">\n##contig=<ID=chr1,length=9>\n"
        // Contigs join the donor's: the inputs' first, then the undeclared
        // ones in the order of the sorted file (chr10 before chr3).
        "##contig=<ID=chr2>\n##contig=<ID=chr10>\n##contig=<ID=chr3>\n##contig=<ID=chr4>\n"
        "##source=sv\n"
        "##INFO=<ID=REFLEN,Number=1,Type=Integer,Description=\"r\">\n"
        "##FORMAT=<ID=CN,Number=1,Type=Integer,Description=\"c\">\n"
        "##INFO=<ID=RU,Number=1,Type=String,Description=\"a, \\\"quoted\\\" unit\">\n"
        "##FILTER=<ID=LowQ,Description=\"l\">\n" +
        kOwnRest + kColumns + sv_rec + cnv_rec + "chr3\t10\t.\tCA\t<STR3>\t.\tLowQ\tRU=CA;SVTYPE=REP\tGT\t0/1\n" +
        "chr4\t100\t.\tN\t<ROH>\t.\tPASS\tEND=500;SVTYPE=ROH;ROH_SCORE=7.5\tGT\t1/1\n"
        "chr10\t2\t.\tN\t<ROH>\t.\tPASS\tEND=9;SVTYPE=ROH;ROH_SCORE=2\tGT\t1/1\n";
    EXPECT_EQ(merged(inputs), expected);
    // One warning per tag and later input, naming both inputs.
    using Args = std::vector<LogArg>;
    EXPECT_EQ(conflicts(log),
              (std::vector<Args>{Args{std::string("INFO"), std::string("END"), std::string("Number=1,Type=Integer"),
                                      std::string("sv"), std::string("Number=1,Type=String"), std::string("cnv")},
                                 Args{std::string("INFO"), std::string("REFLEN"), std::string("Number=1,Type=Integer"),
                                      std::string("cnv"), std::string("Number=.,Type=Integer"),
                                      std::string("repeats")}}));
}

struct PlacementCase {
    const char* name;
    Inputs inputs;
    std::string expected;
};

class MergedHeaderPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(MergedHeaderPlacement, AddedLinesGoBeforeTheColumnHeader) {
    auto param = GetParam();
    EXPECT_EQ(merged(param.inputs), param.expected);
}

const std::string kRec1 = "chr1\t5\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n";
const std::string kCnvNoCall = "chr1\t6\t.\tN\t.\t.\tPASS\tEND=9\tGT\t./.\n";

INSTANTIATE_TEST_SUITE_P(
    Donors, MergedHeaderPlacement,
    ::testing::Values(
        // Without contig lines in the donor, the contigs end the added lines.
        PlacementCase{"DonorWithoutContigs", Inputs{}.with(InputKind::Sv, {"##fileformat=VCFv4.2\n", kColumns, kRec1}),
                      "##fileformat=VCFv4.2\n" + kOwnInfo + kOwnRest + "##contig=<ID=chr1>\n" + kColumns + kRec1},
        // The CNV donor's no-call is not written, so its chromosome needs no line.
        PlacementCase{"CnvDonorDeclaresOnlyWrittenRecords",
                      Inputs{}.with(InputKind::Cnv, {"##c\n", kColumns, kCnvNoCall,
                                                     "chr2\t6\t.\tN\t.\t.\tPASS\tEND=9\tGT\t0/1\n"}),
                      "##c\n" + kOwnInfo + kOwnRest + "##contig=<ID=chr2>\n" + kColumns +
                          "chr2\t6\t.\tN\t.\t.\tPASS\tEND=9\tGT\t0/1\n"},
        PlacementCase{"RepeatsDonor", Inputs{}.with(InputKind::Repeats, {"##r\n", kColumns, "chr7\t1\tx\n"}),
                      "##r\n" + kOwnInfo + kOwnRest + "##contig=<ID=chr7>\n" + kColumns + "chr7\t1\tx\n"},
        // A donor without a column-header line gets the lines before its first record.
        PlacementCase{"DonorWithoutColumnHeader", Inputs{}.with(InputKind::Sv, {"##s\n", kRec1}),
                      "##s\n" + kOwnInfo + kOwnRest + "##contig=<ID=chr1>\n" + kRec1},
        // An input without one writes no records, so it declares nothing;
        // comment and blank lines among records use no chromosome.
        PlacementCase{"InputWithoutColumnHeaderAddsNothing",
                      Inputs{}.with(InputKind::Sv, {"##s\n", "##contig=<ID=chr1>\n", kColumns, kRec1, "#note\n", "\n"})
                          .with(InputKind::Cnv, {"##INFO=<ID=CN,Number=1,Type=Integer,Description=\"c\">\n",
                                                 "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n",
                                                 "chr9\t1\t.\tN\t.\t.\tPASS\t.\n"}),
                      "##s\n##contig=<ID=chr1>\n" + kOwnInfo + kOwnRest + kColumns + kRec1 + "#note\n\n"},
        // Chromosome names that would break a contig line are left to htslib.
        PlacementCase{"UnsafeChromosomeNames",
                      Inputs{}.with(InputKind::Sv,
                                    {"##s\n", kColumns, "a,b\t1\n", "c>d\t1\n", "\t1\n", " \t \n", "chrM\t1\n"}),
                      "##s\n" + kOwnInfo + kOwnRest + "##contig=<ID=chrM>\n" + kColumns +
                          "a,b\t1\nc>d\t1\n\t1\n \t \nchrM\t1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MergedHeader, RecordsRewrittenByAReplacedRuleAreDeclaredAndRewrittenOnce) {
    // Either rule that marks a repeat record may be replaced.
    for (const bool whole_marking : {true, false}) {
        int calls = 0;
        const auto rewrite = [&](std::string_view line, std::string& out) {
            ++calls;
            out = "chrZ" + std::string(line.substr(line.find('\t')));
        };
        WriterOverrides overrides;
        ASSERT_TRUE(marks_repeats_as_core(overrides));
        if (whole_marking) {
            overrides.marked_repeat_line = [&](std::string_view line, std::optional<bool>,
                                               std::string& out) -> std::string_view {
                rewrite(line, out);
                return out;
            };
        } else {
            overrides.modify_repeat_line = rewrite;
        }
        Inputs inputs;
        inputs.with(InputKind::Sv, {"##s\n", kColumns, kRec1})
            .with(InputKind::Repeats, {kColumns, "chr3\t1\tr\t.\t.\t.\t.\t.\t.\t.\n"});
        EXPECT_EQ(merged(inputs, overrides), "##s\n" + kOwnInfo + kOwnRest + "##contig=<ID=chr1>\n##contig=<ID=chrZ>\n" +
                                             kColumns + kRec1 + "chrZ\t1\tr\t.\t.\t.\t.\t.\t.\t.\n")
            << whole_marking;
        EXPECT_EQ(calls, 1) << whole_marking;
    }
}

TEST(MergedHeader, ErrorsNameTheInputAndLine) {
    TempDir dir;
    Inputs inputs;
    inputs.with(InputKind::Sv, {"##s\n", kColumns, kRec1}).with(InputKind::Roh, {"chr1\t1\n"});
    try {
        unify_lines(inputs.table(), dir.path("out.vcf"), UnifyOptions{}, {}, true);
        FAIL() << "expected an IndexError";
    } catch (const Error& error) {
        ASSERT_EQ(error.notes().size(), 1u);
        EXPECT_EQ(error.notes()[0], "in the roh input, line 1");
    }
}

TEST(MergedHeader, NothingToDonate) {
    TempDir dir;
    const auto path = dir.write("out.vcf", "old\n");
    Inputs inputs;
    inputs.with(InputKind::Roh, {"chr1\t1\t5\t3\n"});
    CapturedLog log;
    EXPECT_EQ(unify_lines(inputs.table(), path, UnifyOptions{}, {}, true), std::nullopt);
    EXPECT_EQ(testing::read_file(path), "");
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].format, kNothingToUnify);
}

std::vector<std::vector<LogArg>> warnings_of(const CapturedLog& log, const char* format) {
    std::vector<std::vector<LogArg>> found;
    for (const auto& event : log.events()) {
        if (event.format == format) found.push_back(event.args);
    }
    return found;
}

TEST(MergedHeader, ContigLengthsThatDisagreeAreWarnedAbout) {
    Inputs inputs;
    inputs.with(InputKind::Sv, {"##contig=<ID=chr1,length=9>\n", kColumns, kRec1})
        .with(InputKind::Cnv, {"##contig=<ID=chr1,length=10>\n", kColumns})
        .with(InputKind::Repeats, {"##contig=<ID=chr1>\n", "##contig=<ID=chr1,length=9>\n", kColumns});
    CapturedLog log;
    EXPECT_EQ(merged(inputs).find("length=10"), std::string::npos);
    EXPECT_EQ(conflicts(log), (std::vector<std::vector<LogArg>>{{std::string("contig"), std::string("chr1"),
                                                                 std::string("length=9"), std::string("sv"),
                                                                 std::string("length=10"), std::string("cnv")}}));
}

// htslib stops at a meta-information line among the records: the merged
// header takes it in, where the donor's header alone keeps the lines as
// they are.
TEST(MergedHeader, MetaLinesAmongTheRecordsJoinTheHeader) {
    const std::string chr_m = "chrM\t5\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n";
    const std::string cnv = "chr2\t5\t.\tN\t<DUP>\t.\tPASS\tSVTYPE=CNV;CN=3\tGT\t0/1\n";
    const Texts sv = {"##fileformat=VCFv4.2\n", "##contig=<ID=chr1>\n", kColumns, kRec1, "##contig=<ID=chrM>\n",
                      "##source=late\n", chr_m};
    const Texts cnv_lines = {kColumns, cnv, "##INFO=<ID=CN,Number=1,Type=Integer,Description=\"c\">\n"};
    Inputs inputs;
    inputs.with(InputKind::Sv, sv).with(InputKind::Cnv, cnv_lines);
    CapturedLog log;
    const std::string text = merged(inputs);
    const std::size_t columns = text.find(kColumns);
    ASSERT_NE(columns, std::string::npos);
    EXPECT_EQ(text.substr(columns), kColumns + kRec1 + chr_m + cnv);
    // The chromosome ranks where its contig line now stands: after the
    // donor's, before those the header adds.
    const std::size_t chr1 = text.find("##contig=<ID=chr1>\n"), chr_m_line = text.find("##contig=<ID=chrM>\n");
    EXPECT_LT(chr1, chr_m_line);
    EXPECT_LT(chr_m_line, text.find("##contig=<ID=chr2>\n"));
    EXPECT_LT(text.find("##source=late\n"), columns);
    EXPECT_LT(text.find("##INFO=<ID=CN,Number=1,Type=Integer"), columns);
    EXPECT_EQ(text.find("Not declared by the input"), std::string::npos);
    using Args = std::vector<LogArg>;
    EXPECT_EQ(warnings_of(log, kMetaLineAmongRecords),
              (std::vector<Args>{Args{std::string("sv"), std::int64_t{5}}, Args{std::string("sv"), std::int64_t{6}},
                                 Args{std::string("cnv"), std::int64_t{3}}}));

    TempDir dir;
    ASSERT_TRUE(unify_lines(inputs.table(), dir.path("donor.vcf"), UnifyOptions{}));
    EXPECT_EQ(testing::read_file(dir.path("donor.vcf")),
              sv[0] + sv[1] + sv[2] + sv[3] + sv[4] + sv[5] + sv[6] + cnv + cnv_lines[2]);
}

TEST(MergedHeader, TagsTheRecordsUseUndeclaredAreDeclared) {
    Inputs inputs;
    // SVLEN has a value in one record only: it is no flag. FILTER values
    // combine; PASS and "." need no line, nor do declared or own tags.
    inputs
        .with(InputKind::Cnv, {"##fileformat=VCFv4.2\n", "##FILTER=<ID=q10,Description=\"q\">\n", kColumns,
                               "chr1\t5\t.\tN\t<DEL>\t.\tq10;cnvLength\tSVTYPE=CNV;SVLEN\tGT:SM\t0/1:1\n",
                               "chr1\t9\t.\tN\t<DEL>\t.\tPASS\tSVLEN=-4;IMPRECISE;a,b=1\tGT:SM\t0/1:1\n"})
        .with(InputKind::Repeats, {kColumns, "chr2\t1\t.\tA\t.\t.\t.\tIMPRECISE;TRID=x\tGT:SM:AL\t0/1:1:3\n"});
    CapturedLog log;
    const std::string out = merged(inputs);
    const std::string expected_added =
        "##FILTER=<ID=cnvLength,Description=\"Not declared by the input\">\n"
        "##INFO=<ID=SVLEN,Number=.,Type=String,Description=\"Not declared by the input\">\n"
        "##FORMAT=<ID=SM,Number=.,Type=String,Description=\"Not declared by the input\">\n"
        "##INFO=<ID=IMPRECISE,Number=0,Type=Flag,Description=\"Not declared by the input\">\n"
        "##INFO=<ID=TRID,Number=.,Type=String,Description=\"Not declared by the input\">\n"
        "##FORMAT=<ID=AL,Number=.,Type=String,Description=\"Not declared by the input\">\n";
    EXPECT_NE(out.find(kOwnRest + expected_added + "##contig="), std::string::npos) << out;
    using Args = std::vector<LogArg>;
    const auto args = [](const char* key, const char* id, const char* kind) {
        return Args{std::string(key), std::string(id), std::string(kind)};
    };
    // One warning per tag, naming the first input that uses it.
    EXPECT_EQ(warnings_of(log, kUndeclaredTag),
              (std::vector<Args>{args("FILTER", "cnvLength", "cnv"), args("INFO", "SVLEN", "cnv"),
                                 args("FORMAT", "SM", "cnv"), args("INFO", "IMPRECISE", "cnv"),
                                 args("INFO", "TRID", "repeats"), args("FORMAT", "AL", "repeats")}));
}

struct NamingCase {
    const char* name;
    Texts sv;
    Texts cnv;
    Texts roh;
    std::vector<std::vector<LogArg>> warnings;
};

class ChromosomeNaming : public ::testing::TestWithParam<NamingCase> {};

// With either header.
TEST_P(ChromosomeNaming, TwoStylesAmongTheInputsAreWarnedAbout) {
    const auto& param = GetParam();
    const auto records = [](const Texts& chromosomes) {
        Texts lines{kColumns};
        for (const auto& c : chromosomes) lines.push_back(c + "\t5\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
        return lines;
    };
    Inputs inputs;
    inputs.with(InputKind::Sv, records(param.sv)).with(InputKind::Cnv, records(param.cnv));
    if (!param.roh.empty()) {
        Texts bed;
        for (const auto& c : param.roh) bed.push_back(c + "\t1\t9\t2\n");
        inputs.with(InputKind::Roh, bed);
    }
    for (const bool merge : {true, false}) {
        TempDir dir;
        CapturedLog log;
        unify_lines(inputs.table(), dir.path("out.vcf"), UnifyOptions{}, {}, merge);
        EXPECT_EQ(warnings_of(log, kChromosomeNaming), param.warnings) << merge;
    }
}

using NamingArgs = std::vector<std::vector<LogArg>>;
NamingArgs naming(const char* a, const char* a_name, const char* b, const char* b_name) {
    return {{std::string(a), std::string(a_name), std::string(b), std::string(b_name)}};
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ChromosomeNaming,
    ::testing::Values(NamingCase{"SameStyle", {"chr1", "chrX"}, {"chr2"}, {"chr3"}, {}},
                      NamingCase{"BareAfterPrefixed", {"chr1", "chrUn_x"}, {"HLA-A", "2", "X"}, {}, naming("sv", "chr1", "cnv", "2")},
                      NamingCase{"PrefixedAfterBare", {"1"}, {"chr7"}, {"chrM"}, naming("sv", "1", "cnv", "chr7")},
                      // An input that mixes both styles, or names neither, proves nothing.
                      NamingCase{"MixedInput", {"chr1", "1"}, {"2"}, {}, {}},
                      NamingCase{"NoPrimaryNames", {"GL000192.1", "chr23", "23"}, {"chr1"}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeclarationCase {
    const char* line;
    std::optional<std::array<const char*, 4>> parsed;  // key, ID, Number, Type
};

class DeclarationParsing : public ::testing::TestWithParam<DeclarationCase> {};

TEST_P(DeclarationParsing, ReadsKeyIdNumberAndType) {
    const auto param = GetParam();
    const auto declaration = parse_declaration(param.line);
    ASSERT_EQ(declaration.has_value(), param.parsed.has_value());
    if (!declaration) return;
    EXPECT_EQ(declaration->key, (*param.parsed)[0]);
    EXPECT_EQ(declaration->id, (*param.parsed)[1]);
    EXPECT_EQ(declaration->number, (*param.parsed)[2]);
    EXPECT_EQ(declaration->type, (*param.parsed)[3]);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DeclarationParsing,
    ::testing::Values(
        DeclarationCase{"##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">\n",
                        std::array{"INFO", "DP", "1", "Integer"}},
        // Commas and escaped quotes inside a quoted value do not end it.
        DeclarationCase{"##FORMAT=<Description=\"a, \\\"b\\\", Type=X\",Type=Float,ID=AF,Number=A>\r\n",
                        std::array{"FORMAT", "AF", "A", "Float"}},
        DeclarationCase{"##contig=<ID=chrUn_KI270742v1,length=186739>", std::array{"contig", "chrUn_KI270742v1", "", ""}},
        DeclarationCase{"##ALT=<ID=DEL:ME,Description=\"x\">\n", std::array{"ALT", "DEL:ME", "", ""}},
        DeclarationCase{"##FILTER=<ID=PASS,Description=\"All filters passed\">\n", std::array{"FILTER", "PASS", "", ""}},
        DeclarationCase{"##INFO=<ID=DP,Number=1\n", std::nullopt},  // unclosed
        DeclarationCase{"##INFO=<Number=1,Type=Flag>\n", std::nullopt},
        DeclarationCase{"##META=<ID=Assay,Type=String>\n", std::nullopt},
        DeclarationCase{"##source=<ID=x>\n", std::nullopt},
        DeclarationCase{"#INFO=<ID=DP>\n", std::nullopt}));

}  // namespace
}  // namespace merivane::unifier
