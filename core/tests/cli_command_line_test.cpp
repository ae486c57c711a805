#include <gtest/gtest.h>

#include <string>

#include "cli/command_line.hpp"

namespace merivane::cli {
namespace {

struct BesideOutputCase {
    const char* output_path;
    const char* full_repeat_path;
    const char* expected;
};

class FilteredRepeatsBesideOutput : public ::testing::TestWithParam<BesideOutputCase> {};

TEST_P(FilteredRepeatsBesideOutput, TakesTheFiltersNameIntoTheOutputsDirectory) {
    const auto& c = GetParam();
    std::string expected = c.expected;
#ifdef _WIN32
    // The output's directory is joined to the name with the system's separator.
    if (const auto last = expected.find_last_of('/'); last != std::string::npos && last > 0) expected[last] = '\\';
#endif
    EXPECT_EQ(filtered_repeats_beside_output(c.output_path, c.full_repeat_path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FilteredRepeatsBesideOutput,
    ::testing::Values(
        // The input's folder never appears: it may be read-only.
        BesideOutputCase{"out/sample.vcf", "/runs/ro/HG003.trgt.vcf.gz", "out/HG003.trgt_filtered.vcf"},
        BesideOutputCase{"/abs/out/s.vcf", "in/x.vcf", "/abs/out/x_filtered.vcf"},
        // A bare output name keeps the filtered file in the working directory.
        BesideOutputCase{"s.vcf", "/in/calls.vcf", "calls_filtered.vcf"},
        BesideOutputCase{"/s.vcf", "calls.txt.gz", "/calls_filtered.vcf"},
        // Dots in folder names are not extensions.
        BesideOutputCase{"run.1/s.vcf", "data.v2/sample", "run.1/sample_filtered.vcf"}));

}  // namespace
}  // namespace merivane::cli
