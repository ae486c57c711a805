// Faults found by the reliability checks in the repeat filter, kept as tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/error.hpp"
#include "repeats/engines.hpp"
#include "test_support.hpp"

namespace merivane::repeats {
namespace {

using testing::read_file;
using testing::TempDir;

struct FullDeviceCase {
    const char* name;
    bool bedtools;
};

void PrintTo(const FullDeviceCase& c, std::ostream* out) { *out << c.name; }

class RepeatOutputOnFullDevice : public ::testing::TestWithParam<FullDeviceCase> {};

// An output that cannot be written is an error from either engine. bedtools
// itself exits 0 when its writes fail, so its engine must see them.
TEST_P(RepeatOutputOnFullDevice, RaisesNoSpaceAndLeavesTheInputs) {
    const FullDeviceCase& c = GetParam();
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    if (c.bedtools && !bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    TempDir dir;
    std::string vcf = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    for (int i = 0; i < 200; ++i) {
        vcf += "chr1\t" + std::to_string(100 + i) + "\t.\tA\t<STR>\t.\tPASS\tEND=" + std::to_string(110 + i) + "\n";
    }
    const auto vcf_path = dir.write("in.vcf", vcf);
    const auto bed_path = dir.write("loci.bed", "chr1\t90\t400\n");
    // Through a link, so that nothing can ever remove the device itself.
    const auto output = dir.path("out.vcf");
    std::filesystem::create_symlink("/dev/full", output);
    try {
        c.bedtools ? intersect_with_bedtools(vcf_path, bed_path, output)
                   : intersect_builtin(vcf_path, bed_path, output);
        FAIL() << "a write to a full device reported success";
    } catch (const OSError& error) {
        EXPECT_EQ(error.errnum(), ENOSPC);
        EXPECT_EQ(error.filename(), output);
    }
    EXPECT_EQ(read_file(vcf_path), vcf);
    EXPECT_EQ(read_file(bed_path), "chr1\t90\t400\n");
}

INSTANTIATE_TEST_SUITE_P(Regression, RepeatOutputOnFullDevice,
                         ::testing::Values(FullDeviceCase{"bedtools", true}, FullDeviceCase{"builtin", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace merivane::repeats
