// Path splitting and command-line quoting by Windows rules run on every
// system, so a Linux build checks them too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/paths.hpp"
#include "platform/process.hpp"

namespace merivane {
namespace {

struct SplitCase {
    PathRules rules;
    const char* path;
    const char* directory;
    const char* name;
};

class SplitPathTest : public ::testing::TestWithParam<SplitCase> {};

std::string rules_name(PathRules rules) { return rules == PathRules::Windows ? "Windows" : "Posix"; }

TEST_P(SplitPathTest, SplitsAsTheHostDoes) {
    const SplitPath parts = split_path(GetParam().path, GetParam().rules);
    EXPECT_EQ(parts.directory, GetParam().directory);
    EXPECT_EQ(parts.name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitPathTest,
    ::testing::Values(SplitCase{PathRules::Windows, "C:\\data\\run.1\\sample", "C:\\data\\run.1", "sample"},
                      SplitCase{PathRules::Windows, "C:/data/x.vcf", "C:/data", "x.vcf"},
                      SplitCase{PathRules::Windows, "run\\/\\x.vcf", "run", "x.vcf"},
                      SplitCase{PathRules::Windows, "C:x.vcf", "C:", "x.vcf"},
                      SplitCase{PathRules::Windows, "C:\\x.vcf", "C:\\", "x.vcf"},
                      SplitCase{PathRules::Windows, "\\\\host\\share\\x.vcf", "\\\\host\\share\\", "x.vcf"},
                      SplitCase{PathRules::Windows, "\\\\host\\share\\d\\x", "\\\\host\\share\\d", "x"},
                      SplitCase{PathRules::Windows, "x.vcf", "", "x.vcf"},
                      SplitCase{PathRules::Posix, "a\\b.vcf", "", "a\\b.vcf"},
                      SplitCase{PathRules::Posix, "C:x.vcf", "", "C:x.vcf"},
                      SplitCase{PathRules::Posix, "run//x", "run", "x"},
                      SplitCase{PathRules::Posix, "//x", "//", "x"},
                      SplitCase{PathRules::Posix, "/x", "/", "x"}),
    [](const auto& info) { return rules_name(info.param.rules) + std::to_string(info.index); });

struct JoinCase {
    PathRules rules;
    const char* directory;
    const char* expected;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, JoinsAsTheHostDoes) {
    EXPECT_EQ(join_path(GetParam().directory, "n", GetParam().rules), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, JoinPathTest,
                         ::testing::Values(JoinCase{PathRules::Windows, "C:", "C:n"},
                                           JoinCase{PathRules::Windows, "C:\\", "C:\\n"},
                                           JoinCase{PathRules::Windows, "C:/d", "C:/d\\n"},
                                           JoinCase{PathRules::Windows, "\\\\host\\share", "\\\\host\\share\\n"},
                                           JoinCase{PathRules::Windows, "", "n"},
                                           JoinCase{PathRules::Posix, "/", "/n"},
                                           JoinCase{PathRules::Posix, "run", "run/n"},
                                           JoinCase{PathRules::Posix, "C:", "C:/n"}),
                         [](const auto& info) { return rules_name(info.param.rules) + std::to_string(info.index); });

struct QuoteCase {
    std::vector<std::string> argv;
    std::string expected;
};

class QuoteCommandLineTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteCommandLineTest, QuotesForCommandLineToArgvW) {
    EXPECT_EQ(quote_command_line(GetParam().argv), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteCommandLineTest,
    ::testing::Values(QuoteCase{{"sort", "-k1,1"}, "sort -k1,1"},
                      QuoteCase{{"C:\\Program Files\\x.exe", "a b"}, "\"C:\\Program Files\\x.exe\" \"a b\""},
                      QuoteCase{{"", "x"}, "\"\" x"}, QuoteCase{{"tab\there"}, "\"tab\there\""},
                      QuoteCase{{"say \"hi\""}, "\"say \\\"hi\\\"\""}, QuoteCase{{"a\"b"}, "a\\\"b"},
                      // Backslashes double only before a quote, or before the
                      // closing quote when the argument is quoted.
                      QuoteCase{{"a\\\\b"}, "a\\\\b"}, QuoteCase{{"a\\\"b"}, "a\\\\\\\"b"},
                      QuoteCase{{"C:\\dir\\"}, "C:\\dir\\"}, QuoteCase{{"C:\\my dir\\"}, "\"C:\\my dir\\\\\""}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace merivane
