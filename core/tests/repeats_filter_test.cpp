#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/process.hpp"
#include "repeats/engines.hpp"
#include "repeats/repeat_filter.hpp"
#include "test_support.hpp"

namespace merivane::repeats {
namespace {

using testing::CapturedLog;
using testing::read_file;
using testing::TempDir;

const std::string kHeader =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";

const std::string kCatalog =
    "chr1\t100\t200\tID=A\n"
    "chr1\t150\t180\tID=B\n"
    "chr2\t1000\t1010\tID=C\n";

// A TRGT-like record: REF is the reference repeat, END its last base.
std::string record(const std::string& chromosome, int pos, int ref_length, const std::string& id) {
    return chromosome + "\t" + std::to_string(pos) + "\t" + id + "\t" + std::string(ref_length, 'A') +
           "\t<STR5>\t.\tPASS\tTRID=" + id + ";END=" + std::to_string(pos + ref_length - 1) +
           ";MOTIFS=A\tGT:AL\t0/1:10,12\n";
}

struct Inputs {
    std::string records;  // records only, in input order
    std::string kept;     // what the filter must keep
};

// Records touching, inside and across catalog intervals, one overlapping two
// intervals, and chromosomes the catalog lacks.
Inputs mixed_records() {
    Inputs in;
    auto add = [&](const std::string& line, bool keep) {
        in.records += line;
        if (keep) in.kept += line;
    };
    add(record("chr1", 91, 10, "touch_before"), false);  // [90, 100)
    add(record("chr1", 92, 10, "across_start"), true);   // [91, 101)
    add(record("chr1", 160, 5, "in_two"), true);         // inside both intervals
    add(record("chr1", 195, 20, "across_end"), true);    // [194, 214)
    add(record("chr1", 201, 3, "touch_after"), false);   // [200, 203)
    add(record("chr2", 1005, 2, "inside"), true);
    add(record("chr3", 150, 10, "no_catalog"), false);
    add(record("CHR1", 150, 10, "other_case"), false);
    return in;
}

std::string lines_kept(const std::string& vcf) {
    std::string kept;
    std::size_t pos = 0;
    while (pos < vcf.size()) {
        std::size_t end = vcf.find('\n', pos);
        end = end == std::string::npos ? vcf.size() : end + 1;
        if (vcf[pos] != '#') kept += vcf.substr(pos, end - pos);
        pos = end;
    }
    return kept;
}

// BGZF as bgzip writes it (tabix package); empty when bgzip is missing.
std::string bgzf_bytes(const std::string& text) {
    const auto bgzip = find_executable("bgzip");
    if (!bgzip) return {};
    TempDir dir;
    const auto plain = dir.write("in.txt", text);
    ChildOptions options;
    options.capture_stdout = true;
    return run_child({*bgzip, "-c", plain}, options).stdout_data;
}

struct CompressionCase {
    const char* name;
    std::string (*encode)(const std::string&);
};

class EnginesAgreeTest : public ::testing::TestWithParam<CompressionCase> {};

TEST_P(EnginesAgreeTest, BothEnginesKeepTheSameRecords) {
    if (!bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    TempDir dir;
    const Inputs in = mixed_records();
    const std::string encoded = GetParam().encode(kHeader + in.records);
    if (encoded.empty()) GTEST_SKIP() << "no encoder for " << GetParam().name;
    const auto vcf = dir.write("sample.vcf", encoded);
    const auto bed = dir.write("catalog.bed", kCatalog);

    intersect_builtin(vcf, bed, dir.path("builtin.vcf"));
    intersect_with_bedtools(vcf, bed, dir.path("bedtools.vcf"));

    EXPECT_EQ(read_file(dir.path("builtin.vcf")), kHeader + in.kept);
    EXPECT_EQ(lines_kept(read_file(dir.path("bedtools.vcf"))), in.kept);
    // A run's statistics take the counts from whichever engine ran.
    for (const bool with_bedtools : {false, true}) {
        const IntersectCounts counts = run_engine(with_bedtools, vcf, bed, dir.path("counted.vcf"), false);
        EXPECT_EQ(counts.kept, 4) << "bedtools: " << with_bedtools;
        EXPECT_EQ(counts.dropped, 4) << "bedtools: " << with_bedtools;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Compressions, EnginesAgreeTest,
    ::testing::Values(CompressionCase{"plain", [](const std::string& t) { return t; }},
                      CompressionCase{"gzip", [](const std::string& t) { return testing::gzip_bytes(t); }},
                      CompressionCase{"bgzf", bgzf_bytes},
                      // As spreadsheets save text: bedtools gets it without the mark.
                      CompressionCase{"plain_marked", [](const std::string& t) { return "\xEF\xBB\xBF" + t; }},
                      CompressionCase{"gzip_marked",
                                      [](const std::string& t) { return testing::gzip_bytes("\xEF\xBB\xBF" + t); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuiltinEngine, CopiesHeadersWhereTheyStandAndCountsEveryRecord) {
    TempDir dir;
    const auto bed = dir.write("catalog.bed", kCatalog);
    const std::string in_two = record("chr1", 160, 5, "in_two");
    const auto vcf = dir.write("sample.vcf",
                               kHeader + record("chr3", 5, 2, "elsewhere") + "##INFO=<ID=LATE>\r\n" + "\n" + "  \t\n" +
                                   "chr1\t160\t.\tA\t.\t.\tPASS\n" + "chr1\tx\t.\tA\t.\t.\tPASS\t.\n" + in_two +
                                   in_two.substr(0, in_two.size() - 1));
    CapturedLog log;
    const IntersectCounts counts = intersect_builtin(vcf, bed, dir.path("out.vcf"));
    EXPECT_EQ(read_file(dir.path("out.vcf")), kHeader + "##INFO=<ID=LATE>\n" + in_two + in_two.substr(0, in_two.size() - 1));
    EXPECT_EQ(counts.kept, 2);
    EXPECT_EQ(counts.dropped, 3);
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].level, LogLevel::Info);
    EXPECT_EQ(log.events()[0].format, "Repeat records kept: %d, outside the catalog: %d");
    EXPECT_EQ(log.events()[0].args, (std::vector<LogArg>{std::int64_t{2}, std::int64_t{3}}));
}

TEST(BuiltinEngine, CorruptInputRaisesAndLeavesAnEarlierOutputAlone) {
    TempDir dir;
    const auto bed = dir.write("catalog.bed", kCatalog);
    std::string many;
    for (int i = 0; i < 20000; ++i) {
        // (Appended, not "r" + ...: GCC 12 warns falsely about that form.)
        std::string id = "r";
        id += std::to_string(i);
        many += record("chr1", 160, 5, id);
    }
    const std::string packed = testing::gzip_bytes(kHeader + many);
    const auto truncated = dir.write("cut.vcf.gz", packed.substr(0, packed.size() - 40));
    dir.write("out.vcf", "earlier\n");
    CapturedLog log;
    try {
        intersect_builtin(truncated, bed, dir.path("out.vcf"));
        FAIL() << "a truncated input must not give a shorter output silently";
    } catch (const CorruptInputError& error) {
        EXPECT_TRUE(error.truncated());
        ASSERT_FALSE(error.notes().empty());
        EXPECT_NE(error.notes()[0].find(truncated), std::string::npos);
    }
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(read_file(dir.path("out.vcf")), "earlier\n");

    const auto bad_text = dir.write("bad.vcf", kHeader + "chr1\t160\t\xff\tA\t.\t.\t.\t.\n");
    EXPECT_THROW(intersect_builtin(bad_text, bed, dir.path("out2.vcf")), UnicodeDecodeError);
    EXPECT_FALSE(path_exists(dir.path("out2.vcf")));
    EXPECT_EQ(testing::entries(dir.path("")),
              (std::vector<std::string>{"bad.vcf", "catalog.bed", "cut.vcf.gz", "out.vcf"}))
        << "no partial file left";
}

TEST(BuiltinEngine, MissingCatalogRaisesBeforeTheOutputIsCreated) {
    TempDir dir;
    const auto vcf = dir.write("sample.vcf", kHeader);
    EXPECT_THROW(intersect_builtin(vcf, dir.path("missing.bed"), dir.path("out.vcf")), OSError);
    EXPECT_FALSE(path_exists(dir.path("out.vcf")));
}

TEST(BedtoolsEngine, FailureCarriesTheCommandAndLeavesAnEarlierOutputAlone) {
    if (!bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    TempDir dir;
    const auto vcf = dir.write("my sample.vcf", kHeader + record("chr1", 160, 5, "x"));
    dir.write("out.vcf", "earlier\n");
    try {
        intersect_with_bedtools(vcf, dir.path("missing.bed"), dir.path("out.vcf"));
        FAIL() << "bedtools failed; the failure must be raised";
    } catch (const CalledProcessError& error) {
        EXPECT_NE(error.returncode(), 0);
        EXPECT_EQ(error.cmd(), (std::vector<std::string>{"bedtools", "intersect", "-u", "-a", vcf, "-b",
                                                         dir.path("missing.bed"), "-header"}));
        EXPECT_EQ(error.cmd()[2], "-u");
    }
    EXPECT_EQ(read_file(dir.path("out.vcf")), "earlier\n");
}

struct PathCase {
    const char* input;
    const char* expected;
};

class FilteredRepeatPathTest : public ::testing::TestWithParam<PathCase> {};

std::string path_case_name(const ::testing::TestParamInfo<PathCase>& info) { return "Case" + std::to_string(info.index); }

TEST_P(FilteredRepeatPathTest, StripsBackToVcfAndAlwaysEnds) {
    EXPECT_EQ(filtered_repeat_path(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FilteredRepeatPathTest,
    ::testing::Values(PathCase{"sample.trgt.sorted.vcf.gz", "sample.trgt.sorted_filtered.vcf"},
                      PathCase{"a.vcf.b.vcf.gz", "a.vcf.b_filtered.vcf"},
                      PathCase{"sample.txt", "sample_filtered.vcf"}, PathCase{"sample", "sample_filtered.vcf"},
                      PathCase{"sample.VCF", "sample_filtered.vcf"}, PathCase{"sample.tar.gz", "sample_filtered.vcf"},
                      PathCase{".vcf", ".vcf_filtered.vcf"}, PathCase{"..vcf", "..vcf_filtered.vcf"}),
    path_case_name);

// The directory is split off and joined again by the system's own rules.
#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(
    WindowsDirectories, FilteredRepeatPathTest,
    ::testing::Values(PathCase{"C:\\data\\run.1\\sample", "C:\\data\\run.1\\sample_filtered.vcf"},
                      PathCase{"run\\sample.vcf.gz", "run\\sample_filtered.vcf"},
                      PathCase{"run/sample.vcf", "run\\sample_filtered.vcf"},
                      PathCase{"C:sample.vcf", "C:sample_filtered.vcf"},
                      PathCase{"D:\\sample.vcf", "D:\\sample_filtered.vcf"},
                      PathCase{"\\\\host\\share\\run.d\\sample", "\\\\host\\share\\run.d\\sample_filtered.vcf"},
                      PathCase{"run\\\\sample.vcf", "run\\sample_filtered.vcf"}),
    path_case_name);
#else
INSTANTIATE_TEST_SUITE_P(
    PosixDirectories, FilteredRepeatPathTest,
    ::testing::Values(PathCase{"run/sample.vcf", "run/sample_filtered.vcf"},
                      PathCase{"/data/run.1/sample.vcf", "/data/run.1/sample_filtered.vcf"},
                      PathCase{"run.d/sample", "run.d/sample_filtered.vcf"},
                      PathCase{"/sample.vcf", "/sample_filtered.vcf"},
                      PathCase{"run//sample.vcf", "run/sample_filtered.vcf"},
                      PathCase{"run\\x.vcf", "run\\x_filtered.vcf"}),
    path_case_name);
#endif

// Filter steps that record what ran instead of running it.
struct Recorder {
    bool available = true;
    int availability_asked = 0;
    std::vector<std::string> ran;

    FilterOverrides operations() {
        FilterOverrides ops;
        ops.bedtools_available = [this] {
            ++availability_asked;
            return available;
        };
        ops.intersect_with_bedtools = [this](const std::string&, const std::string&, const std::string& out) {
            ran.push_back("bedtools>" + out);
        };
        ops.intersect_builtin = [this](const std::string&, const std::string&, const std::string& out) {
            ran.push_back("builtin>" + out);
        };
        return ops;
    }
};

struct MissingCase {
    const char* name;
    bool vcf_given;
    bool vcf_exists;
    bool bed_given;
    bool bed_exists;
    const char* format;
    const char* argument;  // the file name logged, or nullptr for None
};

class MissingInputTest : public ::testing::TestWithParam<MissingCase> {};

TEST_P(MissingInputTest, WarnsOnceAndWritesNothing) {
    const MissingCase& c = GetParam();
    TempDir dir;
    const std::string vcf = c.vcf_exists ? dir.write("in.vcf", kHeader) : dir.path("in.vcf");
    const std::string bed = c.bed_exists ? dir.write("c.bed", kCatalog) : dir.path("c.bed");
    Recorder recorder;
    CapturedLog log;
    const auto result = filter_repeats_vcf(c.vcf_given ? std::optional(vcf) : std::nullopt,
                                           c.bed_given ? std::optional(bed) : std::nullopt, std::nullopt,
                                           dir.path("out.vcf"), recorder.operations());
    EXPECT_FALSE(result);
    EXPECT_TRUE(recorder.ran.empty());
    EXPECT_FALSE(path_exists(dir.path("out.vcf")));
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].level, LogLevel::Warning);
    EXPECT_EQ(log.events()[0].format, c.format);
    const LogArg expected = c.argument ? LogArg(dir.path(c.argument)) : LogArg(NoneValue{});
    EXPECT_EQ(log.events()[0].args, std::vector<LogArg>{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MissingInputTest,
    ::testing::Values(
        MissingCase{"nothing", false, false, false, false, "Can't filter repeats file \"%s\". The file does not exist",
                    nullptr},
        MissingCase{"no_catalog", true, true, false, false,
                    "Can't filter repeats file with \"%s\". The bed file does not exist", nullptr},
        MissingCase{"vcf_absent", true, false, true, true, "%s file doesn't exist", "in.vcf"},
        MissingCase{"catalog_absent", true, true, true, false, "%s doesn't exist", "c.bed"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EngineCase {
    const char* name;
    std::optional<std::string> engine;
    bool available;
    const char* runs;
    const char* logged;
    int availability_asked;
};

class EngineChoiceTest : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineChoiceTest, RunsTheChosenEngineAndNamesIt) {
    const EngineCase& c = GetParam();
    TempDir dir;
    const auto vcf = dir.write("in.vcf.gz", kHeader);
    const auto bed = dir.write("c.bed", kCatalog);
    Recorder recorder;
    recorder.available = c.available;
    CapturedLog log;
    const auto result = filter_repeats_vcf(vcf, bed, c.engine, std::string(), recorder.operations());
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, dir.path("in_filtered.vcf"));
    EXPECT_EQ(recorder.ran, std::vector<std::string>{std::string(c.runs) + ">" + *result});
    EXPECT_EQ(recorder.availability_asked, c.availability_asked);
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].format, "Filtering %s against %s with the %s engine");
    EXPECT_EQ(log.events()[0].args, (std::vector<LogArg>{vcf, bed, std::string(c.logged)}));
}

INSTANTIATE_TEST_SUITE_P(
    Engines, EngineChoiceTest,
    ::testing::Values(EngineCase{"default_installed", std::nullopt, true, "bedtools", "bedtools", 2},
                      EngineCase{"default_missing", std::nullopt, false, "builtin", "builtin", 1},
                      EngineCase{"builtin_forced", "builtin", true, "builtin", "builtin", 0},
                      EngineCase{"upper_case_is_not_bedtools", "BEDTOOLS", true, "builtin", "BEDTOOLS", 0},
                      EngineCase{"unknown_name", "fast", false, "builtin", "fast", 0},
                      EngineCase{"bedtools_forced", "bedtools", true, "bedtools", "bedtools", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RepeatFilter, ForcedBedtoolsWithoutItRaisesBeforeAnyFile) {
    TempDir dir;
    const auto vcf = dir.write("in.vcf", kHeader);
    const auto bed = dir.write("c.bed", kCatalog);
    Recorder recorder;
    recorder.available = false;
    try {
        filter_repeats_vcf(vcf, bed, std::string(kBedtools), std::nullopt, recorder.operations());
        FAIL();
    } catch (const RuntimeError& error) {
        EXPECT_STREQ(error.what(), "bedtools was requested to filter the repeats VCF but is not on PATH");
    }
    EXPECT_TRUE(recorder.ran.empty());
    EXPECT_FALSE(path_exists(dir.path("in_filtered.vcf")));
}

TEST(RepeatFilter, RefusesAnOutputThatIsAnInput) {
    TempDir dir;
    const auto vcf = dir.write("in.vcf", kHeader + record("chr1", 160, 5, "x"));
    const auto bed = dir.write("c.bed", kCatalog);
    if (!testing::make_symlink(vcf, dir.path("link.vcf"))) GTEST_SKIP() << "the system refuses to make symbolic links";
    // The same entry under another spelling, the catalog by a path through a
    // directory that does not exist, and a link to the VCF.
    for (const std::string& output : {dir.path("./in.vcf"), dir.path("sub/../c.bed"), dir.path("link.vcf")}) {
        Recorder recorder;
        EXPECT_THROW(filter_repeats_vcf(vcf, bed, std::nullopt, output, recorder.operations()), ValueError) << output;
        EXPECT_TRUE(recorder.ran.empty()) << output;
    }
    EXPECT_EQ(read_file(vcf), kHeader + record("chr1", 160, 5, "x"));
    EXPECT_EQ(read_file(bed), kCatalog);
}

TEST(RepeatFilter, WorksWithoutBedtoolsOnPath) {
    TempDir dir;
    const Inputs in = mixed_records();
    const auto vcf = dir.write("sample.vcf.gz", testing::gzip_bytes(kHeader + in.records));
    const auto bed = dir.write("c.bed", kCatalog);
    std::filesystem::create_directories(dir.path("empty_bin"));
    testing::ScopedEnv path("PATH", dir.path("empty_bin"));

    EXPECT_FALSE(bedtools_available());
    EXPECT_THROW(filter_repeats_vcf(vcf, bed, std::string(kBedtools), std::nullopt), RuntimeError);
    EXPECT_THROW(intersect_with_bedtools(vcf, bed, dir.path("direct.vcf")), OSError);
    const auto result = filter_repeats_vcf(vcf, bed, std::nullopt, std::nullopt);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, dir.path("sample_filtered.vcf"));
    EXPECT_EQ(read_file(*result), kHeader + in.kept);
}

}  // namespace
}  // namespace merivane::repeats
