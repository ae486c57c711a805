#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "repeats/engines.hpp"
#include "test_support.hpp"

namespace merivane::repeats {
namespace {

namespace fs = std::filesystem;
using testing::entries;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_script;

const std::string kHeader =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
const std::string kRecord = "chr1\t150\tr1\tA\t<STR>\t.\tPASS\tEND=160\n";

struct FakeBedtools {
    const char* name;
    const char* body;  // $4 is the repeat VCF, as bedtools_command passes it
    bool passes;
};

class BedtoolsOutputCheck : public ::testing::TestWithParam<FakeBedtools> {};

TEST_P(BedtoolsOutputCheck, OutputMustBeginWithTheHeader) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    fs::create_directory(dir.path("bin"));
    write_script(dir, "bin/bedtools", GetParam().body);
    const char* system_path = std::getenv("PATH");
    const ScopedEnv path("PATH", dir.path("bin") + ":" + (system_path ? system_path : "/usr/bin:/bin"));
    const std::string vcf = dir.write("rep.vcf", kHeader + kRecord);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    const std::string out = dir.write("out.vcf", "earlier\n");
    if (GetParam().passes) {
        intersect_with_bedtools(vcf, bed, out);
        EXPECT_NE(read_file(out), "earlier\n");
    } else {
        try {
            intersect_with_bedtools(vcf, bed, out);
            FAIL() << "output without the header must not pass";
        } catch (const RuntimeError& error) {
            EXPECT_NE(std::string(error.what()).find("does not begin with the 2 header lines"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(read_file(out), "earlier\n");
    }
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"bin", "c.bed", "out.vcf", "rep.vcf"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fakes, BedtoolsOutputCheck,
    ::testing::Values(FakeBedtools{"Faithful", "cat \"$4\"", true},
                      FakeBedtools{"CrLfHeader", "sed 's/$/\\r/' \"$4\"", true},
                      FakeBedtools{"PrintsNothing", "exit 0", false},
                      FakeBedtools{"TruncatedHeader", "head -c 30 \"$4\"", false},
                      FakeBedtools{"RecordsOnly", "grep -v '^#' \"$4\"", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IntersectEngines, RefuseAnOutputNamingAnInput) {
    TempDir dir;
    const std::string vcf = dir.write("rep.vcf", kHeader + kRecord);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    std::vector<std::string> outputs{vcf, bed, dir.path("./rep.vcf")};
    // (Windows lets only some users make links.)
    if (testing::make_symlink(vcf, dir.path("link.vcf"))) outputs.push_back(dir.path("link.vcf"));
    for (const std::string& out : outputs) {
        EXPECT_THROW(intersect_builtin(vcf, bed, out), ValueError) << out;
        EXPECT_THROW(intersect_with_bedtools(vcf, bed, out), ValueError) << out;
    }
    EXPECT_EQ(read_file(vcf), kHeader + kRecord);
    EXPECT_EQ(read_file(bed), "chr1\t100\t200\n");
}

TEST(BedtoolsEngine, FailureOnADecompressedCopyNamesTheCommandThatRan) {
    if (!bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    TempDir dir;
    // Two ordinary gzip members: handed to bedtools decompressed.
    const std::string vcf = dir.write("rep.vcf.gz", testing::gzip_bytes(kHeader) + testing::gzip_bytes(kRecord));
    try {
        intersect_with_bedtools(vcf, dir.path("missing.bed"), dir.path("out.vcf"));
        FAIL() << "bedtools must fail on a missing catalog";
    } catch (const CalledProcessError& error) {
        ASSERT_EQ(error.cmd().size(), 8u);
        EXPECT_NE(error.cmd()[4], vcf);
        EXPECT_TRUE(error.cmd()[4].ends_with(".vcf")) << error.cmd()[4];
        EXPECT_FALSE(fs::exists(error.cmd()[4])) << "the copy is gone";
    }
    EXPECT_FALSE(fs::exists(dir.path("out.vcf")));
}

}  // namespace
}  // namespace merivane::repeats
