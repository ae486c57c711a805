#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "test_support.hpp"
#include "cli/front_doors.hpp"

namespace merivane::cli {
namespace {

using unifier::InputKind;
using unifier::kind_index;
using unifier::StructFiles;
using unifier::UnifyOptions;

using testing::CapturedLog;
using testing::TempDir;

const std::string kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";

std::string gunzip(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    std::string out;
    char buffer[4096];
    int n;
    while ((n = gzread(file, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    gzclose(file);
    return out;
}

TEST(Unify, WritesSortedBgzfAndRemovesThePlainFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t5\t.\tN\t<DEL>\t.\tInvBreakpoint\tSVTYPE=DEL\tGT\t0/1\n" +
                                "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr1\t9\t20\t3\n");
    UnifyOptions options;
    options.drop_sv_filters = {"InvBreakpoint"};
    const std::string output = dir.path("u.vcf");
    CapturedLog log;
    EXPECT_EQ(unify(files, output, options), output + ".gz");
    EXPECT_FALSE(path_exists(output));
    EXPECT_EQ(gunzip(output + ".gz"), "##s\n" + kColumns +
                                          "chr1\t10\t.\tN\t<ROH>\t.\tPASS\tEND=20;SVTYPE=ROH;ROH_SCORE=3\tGT\t1/1\n"
                                          "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
}

TEST(Unify, NothingToUnifyLeavesTheEmptyPlainFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr1\t9\t20\t3\n");
    const std::string output = dir.path("u.vcf");
    CapturedLog log;
    EXPECT_EQ(unify(files, output, UnifyOptions{}), std::nullopt);
    EXPECT_TRUE(path_exists(output));
    EXPECT_FALSE(path_exists(output + ".gz"));
}

TEST(Unify, AMalformedLineNamesItsFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
    const std::string roh = dir.write("roh.bed", "chr1\t9\t20\t3\nchr1\tstart\t30\t1\n");
    files[kind_index(InputKind::Roh)] = roh;
    CapturedLog log;
    try {
        unify(files, dir.path("u.vcf"), UnifyOptions{});
        FAIL() << "a BED line without a start position was accepted";
    } catch (const ValueError& error) {
        EXPECT_EQ(error.notes(), (std::vector<std::string>{"in the roh input, line 2", "the roh input is " + roh}));
    }
}

struct OverlapCase {
    const char* name;
    std::string output;  // relative to the directory, "" for the input itself
    std::string input;
    bool refused;
};

class OutputsNamingInputs : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(OutputsNamingInputs, AreRefused) {
    TempDir dir;
    const auto& c = GetParam();
    const std::string input = dir.write(c.input, "##x\n");
    const std::string other = dir.write("other.vcf", "##y\n");
    const std::string output = dir.path(c.output);
    if (c.refused) {
        EXPECT_THROW(reject_outputs_naming_inputs(output, {other, input}), ValueError);
    } else {
        EXPECT_NO_THROW(reject_outputs_naming_inputs(output, {other, input}));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, OutputsNamingInputs,
                         ::testing::Values(OverlapCase{"Same", "in.vcf", "in.vcf", true},
                                           OverlapCase{"CompressedOutput", "in.vcf", "in.vcf.gz", true},
                                           OverlapCase{"TemporaryFile", "in.vcf", "in.vcf.sorted.tmp", true},
                                           OverlapCase{"IndexOfCompressedOutput", "in.vcf", "in.vcf.gz.csi", true},
                                           OverlapCase{"OtherSpelling", "sub/../in.vcf", "in.vcf", true},
                                           OverlapCase{"Distinct", "out.vcf", "in.vcf", false},
                                           OverlapCase{"InputIsPlainOfOutput", "in.vcf.gz", "in.vcf", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OutputsNamingInputs, ALinkToAnInputIsTheInput) {
    TempDir dir;
    const std::string input = dir.write("in.vcf", "##x\n");
    const std::string link = dir.path("link.vcf");
    if (!testing::make_symlink(input, link)) GTEST_SKIP() << "the system refuses to make symbolic links";
    EXPECT_THROW(reject_outputs_naming_inputs(link, {input}), ValueError);
}

}  // namespace
}  // namespace merivane::cli
