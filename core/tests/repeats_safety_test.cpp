#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/error.hpp"
#include "platform/log.hpp"
#include "repeats/engines.hpp"
#include "repeats/repeat_filter.hpp"
#include "test_support.hpp"

namespace merivane::repeats {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
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

// bedtools writes what it likes; a record it did not take from the input, in
// the input's order and once, must not pass for a filtered repeat call.
const std::string kThreeRecords = "chr1\t150\tr1\tA\t<STR>\t.\tPASS\tEND=160\n"
                                  "chr1\t170\tr2\tA\t<STR>\t.\tPASS\tEND=175\n"
                                  "chr1\t180\tr3\tA\t<STR>\t.\tPASS\tEND=185\n";

class BedtoolsRecordCheck : public ::testing::TestWithParam<FakeBedtools> {};

TEST_P(BedtoolsRecordCheck, RecordsMustBeASubsequenceOfTheInput) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    fs::create_directory(dir.path("bin"));
    write_script(dir, "bin/bedtools", GetParam().body);
    const char* system_path = std::getenv("PATH");
    const ScopedEnv path("PATH", dir.path("bin") + ":" + (system_path ? system_path : "/usr/bin:/bin"));
    const std::string vcf = dir.write("rep.vcf", kHeader + kThreeRecords);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    const std::string out = dir.path("out.vcf");
    if (GetParam().passes) {
        intersect_with_bedtools(vcf, bed, out);
        EXPECT_TRUE(fs::exists(out));
        return;
    }
    try {
        intersect_with_bedtools(vcf, bed, out);
        FAIL() << "a record bedtools did not take from the input passed";
    } catch (const RuntimeError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("bedtools wrote a record that is not the next record of"))
            << error.what();
    }
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"bin", "c.bed", "rep.vcf"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fakes, BedtoolsRecordCheck,
    ::testing::Values(FakeBedtools{"Faithful", "cat \"$4\"", true},
                      FakeBedtools{"LeavesOneOut", "grep -v r2 \"$4\"", true},
                      FakeBedtools{"HeaderOnly", "grep '^#' \"$4\"", true},
                      FakeBedtools{"NoFinalLineBreak", "head -c -1 \"$4\"", true},
                      FakeBedtools{"Repeats", "cat \"$4\"; tail -n 1 \"$4\"", false},
                      FakeBedtools{"RepeatsTheFirst", "cat \"$4\" | sed '3p'", false},
                      FakeBedtools{"Reorders", "grep '^#' \"$4\"; grep -v '^#' \"$4\" | sort -r", false},
                      FakeBedtools{"Invents", "cat \"$4\"; printf 'chr1\\t999\\tx\\tA\\t.\\t.\\tPASS\\t.\\n'", false},
                      FakeBedtools{"ChangesARecord", "sed 's/r2/r9/' \"$4\"", false},
                      FakeBedtools{"CutsTheLastRecord", "head -c -5 \"$4\"", false}),
    [](const auto& info) { return std::string(info.param.name); });

// A bedtools that fails half-way is a failed command, whatever it wrote
// before: its exit status is looked at before its records are.
class BedtoolsFailure : public ::testing::TestWithParam<FakeBedtools> {};

TEST_P(BedtoolsFailure, IsTheFailedCommandEvenAfterPartialOutput) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    fs::create_directory(dir.path("bin"));
    write_script(dir, "bin/bedtools", GetParam().body);
    const char* system_path = std::getenv("PATH");
    const ScopedEnv path("PATH", dir.path("bin") + ":" + (system_path ? system_path : "/usr/bin:/bin"));
    const std::string vcf = dir.write("rep.vcf", kHeader + kThreeRecords);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    try {
        intersect_with_bedtools(vcf, bed, dir.path("out.vcf"));
        FAIL() << "a failed bedtools passed";
    } catch (const CalledProcessError& error) {
        EXPECT_EQ(error.returncode(), 3);
        EXPECT_EQ(error.cmd(),
                  (std::vector<std::string>{"bedtools", "intersect", "-u", "-a", vcf, "-b", bed, "-header"}));
    }
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"bin", "c.bed", "rep.vcf"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fakes, BedtoolsFailure,
    ::testing::Values(FakeBedtools{"StrayLine", "printf 'partial\\n'; exit 3", false},
                      FakeBedtools{"CutShort", "head -c 100 \"$4\"; exit 3", false},
                      FakeBedtools{"Nothing", "exit 3", false}),
    [](const auto& info) { return std::string(info.param.name); });

// bedtools quotes whole records in its warnings; they reach the log as one
// line without them, and its messages go with a failure.
TEST(BedtoolsEngine, ErrorStreamIsSummarised) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    fs::create_directory(dir.path("bin"));
    const std::string warn =
        "for i in 1 2; do printf '***** WARNING: File %s has inconsistent naming convention for record:\\n"
        "chr1\\t150\\tr1\\tA\\n\\n' \"$4\" >&2; done; ";
    write_script(dir, "bin/bedtools", warn + "cat \"$4\"");
    const char* system_path = std::getenv("PATH");
    const ScopedEnv path("PATH", dir.path("bin") + ":" + (system_path ? system_path : "/usr/bin:/bin"));
    const std::string vcf = dir.write("rep.vcf", kHeader + kRecord);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    {
        CapturedLog log;
        intersect_with_bedtools(vcf, bed, dir.path("out.vcf"));
        ASSERT_EQ(log.events().size(), 1u);
        EXPECT_EQ(log.events()[0].level, LogLevel::Warning);
        EXPECT_EQ(log.events()[0].args,
                  (std::vector<LogArg>{"***** WARNING: File " + vcf +
                                       " has inconsistent naming convention for record: (4 lines)"}));
    }
    write_script(dir, "bin/bedtools", warn + "exit 3");
    try {
        intersect_with_bedtools(vcf, bed, dir.path("out2.vcf"));
        FAIL() << "bedtools failed";
    } catch (const CalledProcessError& error) {
        ASSERT_EQ(error.notes().size(), 1u);
        EXPECT_TRUE(error.notes()[0].starts_with("bedtools: ***** WARNING")) << error.notes()[0];
    }
}

// The engines run the same way on every input; `bedtools` runs the real one.
struct EngineCase {
    const char* name;
    bool bedtools;
};

void PrintTo(const EngineCase& c, std::ostream* out) { *out << c.name; }

class EveryEngine : public ::testing::TestWithParam<EngineCase> {
protected:
    void SetUp() override {
        if (GetParam().bedtools && !bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    }
    void run(const std::string& vcf, const std::string& bed, const std::string& out, bool required = false) {
        if (GetParam().bedtools) {
            intersect_with_bedtools(vcf, bed, out, required);
        } else {
            intersect_builtin(vcf, bed, out, required);
        }
    }
    static std::vector<LogEvent> warnings(const CapturedLog& log) {
        std::vector<LogEvent> out;
        for (const LogEvent& event : log.events()) {
            if (event.level == LogLevel::Warning) out.push_back(event);
        }
        return out;
    }
};

INSTANTIATE_TEST_SUITE_P(Engines, EveryEngine,
                         ::testing::Values(EngineCase{"bedtools", true}, EngineCase{"builtin", false}),
                         [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
// A FIFO gives its bytes once: bedtools gets a private copy.
TEST_P(EveryEngine, AFifoIsReadOnce) {
    TempDir dir;
    const std::string fifo = dir.path("rep.vcf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string bed = dir.write("c.bed", "chr1\t155\t172\n");
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << testing::gzip_bytes(kHeader + kThreeRecords); });
    run(fifo, bed, dir.path("out.vcf"));
    writer.join();
    EXPECT_EQ(read_file(dir.path("out.vcf")),
              kHeader + "chr1\t150\tr1\tA\t<STR>\t.\tPASS\tEND=160\nchr1\t170\tr2\tA\t<STR>\t.\tPASS\tEND=175\n");
}
#endif

// A damaged compressed input is the input's fault in every engine.
TEST_P(EveryEngine, DamagedGzipNamesTheInput) {
    TempDir dir;
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "chr1\t" + std::to_string(150 + i) + "\tr\tA\t<STR>\t.\tPASS\tEND=160\n";
    const std::string packed = testing::gzip_bytes(kHeader + many);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    // Cut among the records, and inside the header.
    for (const std::size_t kept : {packed.size() / 2, std::size_t{30}}) {
        const std::string vcf = dir.write("cut.vcf.gz", packed.substr(0, kept));
        try {
            run(vcf, bed, dir.path("out.vcf"));
            FAIL() << "a cut input passed";
        } catch (const CorruptInputError& error) {
            EXPECT_TRUE(error.truncated());
            ASSERT_FALSE(error.notes().empty());
            EXPECT_NE(error.notes().back().find(vcf), std::string::npos) << error.notes().back();
        }
        EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"c.bed", "cut.vcf.gz"}));
    }
}

// BGZF cut at a block boundary is valid gzip: read, with a warning.
TEST_P(EveryEngine, BgzfWithoutItsEndOfFileBlockWarns) {
    TempDir dir;
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    // One BGZF block holding the whole text, without the empty block after it.
    const std::string text = kHeader + kRecord;
    std::string block = testing::gzip_bytes(text);
    const std::string body = block.substr(10, block.size() - 18);
    const std::uint16_t size = static_cast<std::uint16_t>(18 + body.size() + 8 - 1);
    std::string bgzf("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00", 16);
    bgzf += static_cast<char>(size & 0xff);
    bgzf += static_cast<char>(size >> 8);
    bgzf += body + block.substr(block.size() - 8);
    const std::string eof("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00\x03\x00\x00\x00"
                          "\x00\x00\x00\x00\x00\x00",
                          28);
    for (const bool with_eof : {true, false}) {
        const std::string vcf = dir.write(with_eof ? "whole.vcf.gz" : "cut.vcf.gz", bgzf + (with_eof ? eof : ""));
        CapturedLog log;
        run(vcf, bed, dir.path("out.vcf"));
        EXPECT_EQ(read_file(dir.path("out.vcf")), text);
        const auto warned = warnings(log);
        if (with_eof) {
            EXPECT_TRUE(warned.empty());
        } else {
            ASSERT_EQ(warned.size(), 1u);
            EXPECT_EQ(warned[0].format, "%s has no BGZF end-of-file block: the file may be truncated");
            EXPECT_EQ(warned[0].args, (std::vector<LogArg>{vcf}));
        }
    }
}

struct NamingCase {
    const char* name;
    const char* vcf_chromosome;
    const char* catalog;
    const char* warning_part;  // nullptr: no warning
};

// A VCF and catalog that share no chromosome name keep nothing: loud, and
// refused when required, with nothing written.
class CatalogNaming : public ::testing::TestWithParam<std::tuple<EngineCase, NamingCase>> {};

TEST_P(CatalogNaming, NoSharedChromosomeIsLoud) {
    const auto& [engine, c] = GetParam();
    if (engine.bedtools && !bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    const auto run = [&](const std::string& vcf, const std::string& bed, const std::string& out, bool required) {
        engine.bedtools ? intersect_with_bedtools(vcf, bed, out, required)
                        : intersect_builtin(vcf, bed, out, required);
    };
    TempDir dir;
    std::string records;
    for (const int pos : {150, 5000}) {
        records += std::string(c.vcf_chromosome) + "\t" + std::to_string(pos) + "\t.\tA\t<STR>\t.\tPASS\tEND=" +
                   std::to_string(pos + 5) + "\n";
    }
    const std::string vcf = dir.write("rep.vcf", kHeader + records);
    const std::string bed = dir.write("c.bed", c.catalog);
    {
        CapturedLog log;
        run(vcf, bed, dir.path("out.vcf"), false);
        std::vector<std::string> warned;
        for (const LogEvent& event : log.events()) {
            if (event.level == LogLevel::Warning && event.format.starts_with("No repeat call")) {
                warned.push_back(std::get<std::string>(event.args[2]) + " / " +
                                 std::get<std::string>(event.args[3]) + std::get<std::string>(event.args[4]));
            }
        }
        if (c.warning_part == nullptr) {
            EXPECT_TRUE(warned.empty());
        } else {
            ASSERT_EQ(warned.size(), 1u);
            EXPECT_EQ(warned[0], c.warning_part);
        }
    }
    if (c.warning_part == nullptr) {
        run(vcf, bed, dir.path("required.vcf"), true);
        EXPECT_TRUE(fs::exists(dir.path("required.vcf")));
        return;
    }
    try {
        run(vcf, bed, dir.path("required.vcf"), true);
        FAIL() << "no shared chromosome passed when required";
    } catch (const ValueError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("No repeat call lies on the catalog's chromosomes: " + vcf))
            << error.what();
    }
    EXPECT_FALSE(fs::exists(dir.path("required.vcf")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatalogNaming,
    ::testing::Combine(::testing::Values(EngineCase{"bedtools", true}, EngineCase{"builtin", false}),
                       ::testing::Values(
                           NamingCase{"Grch37AgainstHg38", "1", "chr1\t100\t200\nchr2\t1\t5\n",
                                      "'1' / 'chr1', 'chr2'; the names differ only by a \"chr\" prefix: GRCh37 "
                                      "against hg38 naming?"},
                           NamingCase{"Hg38AgainstGrch37", "chr2", "1\t100\t200\n2\t1\t5\n",
                                      "'chr2' / '1', '2'; the names differ only by a \"chr\" prefix: GRCh37 "
                                      "against hg38 naming?"},
                           NamingCase{"NothingShared", "chrUn_x", "chr1\t100\t200\n", "'chrUn_x' / 'chr1'"},
                           NamingCase{"EmptyChromosome", "", "chr1\t100\t200\n", "'' / 'chr1'"},
                           NamingCase{"CatalogWithoutIntervals", "chr1", "# no locus\n", "'chr1' / none"},
                           // On the catalog's chromosome, though outside its loci: quiet.
                           NamingCase{"SharedButOutside", "chr1", "chr1\t10\t20\n", nullptr})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// A caller that requires the catalog to apply gets an error, naming the
// file and line, for a catalog line that is no interval, where the filter
// otherwise skips it; so do both engines.
class StrictCatalog : public ::testing::TestWithParam<std::tuple<EngineCase, const char*>> {};

TEST_P(StrictCatalog, ALineThatIsNoIntervalIsRefusedWhenRequired) {
    const auto& [engine, line] = GetParam();
    if (engine.bedtools && !bedtools_available()) GTEST_SKIP() << "bedtools is not installed";
    TempDir dir;
    const std::string vcf = dir.write("rep.vcf", kHeader + kRecord);
    const std::string bed = dir.write("c.bed", std::string("# loci\nchr1\t100\t200\n") + line);
    const std::string out = dir.path("out.vcf");
    try {
        engine.bedtools ? intersect_with_bedtools(vcf, bed, out, true)
                        : intersect_builtin(vcf, bed, out, true);
        FAIL() << "a bad catalog line passed";
    } catch (const ValueError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with(bed + ", line 3: ")) << error.what();
    }
    EXPECT_FALSE(fs::exists(out));
    if (!engine.bedtools) {
        intersect_builtin(vcf, bed, out, false);
        EXPECT_EQ(read_file(out), kHeader + kRecord);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StrictCatalog,
    ::testing::Combine(::testing::Values(EngineCase{"bedtools", true}, EngineCase{"builtin", false}),
                       ::testing::Values("chr1\tabc\n", "chr1\t300\t250\n", "chr1 300 400\n", "chr1\t-5\t9\n")),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::to_string(info.index);
    });

TEST(RepeatFilter, APathThatNamesNoFileIsAnErrorWhenTheCatalogIsRequired) {
    TempDir dir;
    const std::string vcf = dir.write("rep.vcf", kHeader + kRecord);
    const std::string bed = dir.write("c.bed", "chr1\t100\t200\n");
    for (const auto& [repeats, catalog] : {std::pair{dir.path("nope.vcf"), bed}, std::pair{vcf, dir.path("nope.bed")}}) {
        EXPECT_EQ(filter_repeats_vcf(repeats, catalog, std::nullopt, std::nullopt, {}, false), std::nullopt);
        try {
            filter_repeats_vcf(repeats, catalog, std::nullopt, std::nullopt, {}, true);
            FAIL() << "a missing file passed";
        } catch (const OSError& error) {
            EXPECT_EQ(error.errnum(), ENOENT);
            EXPECT_TRUE(error.filename().ends_with("nope.vcf") || error.filename().ends_with("nope.bed"));
        }
    }
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"c.bed", "rep.vcf"}));
}

}  // namespace
}  // namespace merivane::repeats
