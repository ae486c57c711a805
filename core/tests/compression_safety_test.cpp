#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/system_files.hpp"
#include "platform/temp_file.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

namespace merivane::compression {
namespace {

namespace fs = std::filesystem;
using testing::entries;
using testing::read_file;
using testing::read_lines;
using testing::TempDir;
using testing::write_script;

const std::string kVcf = "##fileformat=VCFv4.2\n#CHROM\tPOS\n"
                         "chr2\t5\n"
                         "chr1\t30\n"
                         "chr1\t4\n";

// A `sort` that exits 0 whatever it printed.
struct FakeSort {
    const char* name;
    const char* body;
    const char* fault;  // what the error must say
};

class LyingSort : public ::testing::TestWithParam<FakeSort> {};

TEST_P(LyingSort, IsCaughtAndNothingIsWritten) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    if (!fs::exists("/usr/bin/sort")) GTEST_SKIP() << "the fakes wrap /usr/bin/sort";
    TempDir dir;
    const std::string sort = write_script(dir, "sort", GetParam().body);
    const std::string input = dir.write("u.vcf", kVcf);
    dir.write("u.vcf.gz", "earlier good output");
    try {
        sort_and_compress(input, std::nullopt, false, std::string(kGnuSort), {}, {[&] { return std::optional(sort); }});
        FAIL() << "a wrong sort result must not pass";
    } catch (const RuntimeError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("GNU sort (" + sort + ")"), std::string::npos) << message;
        EXPECT_NE(message.find(GetParam().fault), std::string::npos) << message;
    }
    EXPECT_EQ(read_file(input), kVcf);
    EXPECT_EQ(read_file(dir.path("u.vcf.gz")), "earlier good output");
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"sort", "u.vcf", "u.vcf.gz"}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LyingSort,
    ::testing::Values(FakeSort{"DropsALine", "/usr/bin/sort \"$@\" | head -n 2", "holds 2 lines"},
                      FakeSort{"PrintsNothing", "cat > /dev/null", "holds 0 lines"},
                      FakeSort{"Duplicates", "/usr/bin/sort \"$@\" | sed 1p", "holds 4 lines"},
                      FakeSort{"Unsorted", "cat", "not in sort order at line 2"},
                      FakeSort{"ReplacesALine", "/usr/bin/sort \"$@\" | sed 's/30/31/'", "other lines"},
                      FakeSort{"InvalidUtf8", "/usr/bin/sort \"$@\" | sed '2s/chr1/chr\\xff/'",
                               "not valid UTF-8 at line 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GnuSortCheck, AcceptsWhatGnuSortDoesWithOddPositions) {
    const auto sort = gnu_sort_path();
    if (!sort) GTEST_SKIP() << "no GNU sort installed";
    // Positions GNU reads further than an integer, and blanks inside field 1.
    const std::vector<std::string_view> records{"c\t12x\n", "c\t12.5\n", "c\t-3\n", "c\t007\n", "c 1\t2\n",
                                                "c\t\n", "c\t99999999999999999999\n", "c\t1e3\n"};
    const LineBuffer sorted = sort_records_with_gnu_sort(records);
    EXPECT_EQ(sorted.lines().size(), records.size());
}

// Sort counts lines, not the records it was handed: one holding a "\n" is
// two lines to it, and its output is right.
TEST(GnuSortCheck, CountsLinesAsSortDoes) {
    if (!gnu_sort_available()) GTEST_SKIP() << "no GNU sort installed";
    const LineBuffer sorted = sort_records_with_gnu_sort({"b\t0\na\t1\n", "c\t2\na\t0"});
    EXPECT_EQ(std::vector<std::string>(sorted.lines().begin(), sorted.lines().end()),
              (std::vector<std::string>{"a\t0\n", "a\t1\n", "b\t0\n", "c\t2\n"}));
}

class GnuSortTemporaries : public ::testing::TestWithParam<bool> {};

// Sort spills where the core's own temporaries go: a TMPDIR that is missing
// (or read-only) is replaced for sort too, which would fail only once it
// spilled.
TEST_P(GnuSortTemporaries, GoWhereTheCoreChose) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    if (!fs::exists("/usr/bin/sort")) GTEST_SKIP() << "the fake wraps /usr/bin/sort";
    TempDir dir;
    const bool usable = GetParam();
    const std::string tmpdir = dir.path(usable ? "tmp" : "missing");
    if (usable) fs::create_directory(tmpdir);
    const testing::ScopedEnv env("TMPDIR", tmpdir);
    const std::string seen = dir.path("seen");
    const std::string sort = write_script(dir, "sort", "echo \"$TMPDIR\" > '" + seen + "'; exec /usr/bin/sort \"$@\"");
    const std::string input = dir.write("u.vcf", kVcf);
    sort_and_compress(input, std::nullopt, true, std::string(kGnuSort), {}, {[&] { return std::optional(sort); }});
    EXPECT_EQ(read_file(seen), temp_directory() + "\n");
    EXPECT_EQ(temp_directory() == tmpdir, usable);
}

INSTANTIATE_TEST_SUITE_P(Tmpdir, GnuSortTemporaries, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Usable" : "Missing"; });

// A `sort` that hangs on --version costs an engine chosen by default a
// short time-out and a warning, then the in-memory engine sorts.
TEST(GnuSortChoice, HangingBannerFallsBackToTheInMemoryEngine) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    if (!fs::exists("/bin/sleep")) GTEST_SKIP() << "the fake sleeps with /bin/sleep";
    write_script(dir, "sort", "exec /bin/sleep 30");
    const testing::ScopedEnv path("PATH", dir.path(""));
    const std::string input = dir.write("u.vcf", kVcf);
    testing::CapturedLog log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sort_and_compress(input, std::nullopt, true, std::nullopt), input + ".gz");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(read_lines(input + ".gz", Compression::Gzip).text(), "##fileformat=VCFv4.2\n#CHROM\tPOS\nchr1\t4\nchr1\t30\nchr2\t5\n");
    ASSERT_FALSE(log.events().empty());
    EXPECT_EQ(log.events()[0].level, LogLevel::Warning);
    EXPECT_NE(log.events()[0].format.find("did not answer --version"), std::string::npos);
}

TEST(SortAndCompress, PrivateIntermediateAndPlantedLinksAreNotFollowed) {
    TempDir dir;
    const std::string input = dir.write("u.vcf", kVcf);
    const std::string victim = dir.write("victim", "not yours");
    const std::string other = dir.write("other", "nor this");
    if (!testing::make_symlink(victim, dir.path("u.vcf.sorted.tmp"))) {
        GTEST_SKIP() << "the system refuses to make symbolic links";
    }
    fs::create_symlink(other, dir.path("u.vcf.gz"));
    for (const std::string_view engine : {kPythonSort, kGnuSort}) {
        if (engine == kGnuSort && !gnu_sort_available()) continue;
        fs::copy_file(input, dir.path("again.vcf"), fs::copy_options::overwrite_existing);
        sort_and_compress(input, std::nullopt, true, std::string(engine));
        EXPECT_EQ(read_file(victim), "not yours") << engine;
        EXPECT_EQ(read_file(other), "nor this") << engine;
        EXPECT_FALSE(fs::is_symlink(dir.path("u.vcf.gz")));
        EXPECT_TRUE(fs::is_symlink(dir.path("u.vcf.sorted.tmp"))) << "left alone, not used";
    }
    EXPECT_EQ(entries(dir.path("")),
              (std::vector<std::string>{"again.vcf", "other", "u.vcf", "u.vcf.gz", "u.vcf.sorted.tmp", "victim"}));
}

TEST(SortAndCompress, InputReplacedMeanwhileIsNotRemoved) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    const std::string input = dir.write("u.vcf", kVcf);
    // A second run puts a new file at the input path while this one sorts.
    const std::string sort = write_script(
        dir, "sort", "/usr/bin/sort -k1,1 -k2,2n; echo new > '" + input + ".new'; mv '" + input + ".new' '" + input + "'");
    if (!fs::exists("/usr/bin/sort")) GTEST_SKIP() << "no /usr/bin/sort";
    sort_and_compress(input, std::nullopt, false, std::string(kGnuSort), {}, {[&] { return std::optional(sort); }});
    EXPECT_EQ(read_file(input), "new\n");
    EXPECT_TRUE(fs::exists(dir.path("u.vcf.gz")));
}

TEST(WriteBgzf, FailedWriteLeavesTheEarlierDestination) {
    TempDir dir;
    const std::string source = dir.write("in.txt", std::string(200000, 'x'));
    const std::string dest = dir.write("out.gz", "earlier");
    fs::create_directory(dir.path("in-dir"));
    // A source that fails on its first read, after the destination was opened.
    EXPECT_THROW(write_bgzf(dir.path("in-dir"), dest), OSError);
    EXPECT_EQ(read_file(dest), "earlier");
    EXPECT_EQ(write_bgzf(source, dest), dest);
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"in-dir", "in.txt", "out.gz"}));
}

// The commit of a BGZF file and its index.
std::string sorted_vcf(int records) {
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    for (int i = 1; i <= records; ++i) text += "chr1\t" + std::to_string(i * 100) + "\t.\tA\tT\t.\tPASS\t.\n";
    return text;
}

CompressionSettings with_tbi() {
    CompressionSettings settings;
    settings.index = IndexFormat::Tbi;
    return settings;
}

using Pair = std::pair<std::string, std::string>;  // data, index
Pair pair_at(const std::string& destination) {
    return {read_file(destination), read_file(index_path(destination, IndexFormat::Tbi))};
}

// A failure before anything is renamed (here either new file's fsync)
// leaves the earlier pair as it was, and nothing else.
TEST(IndexedCommit, FailedSyncOfEitherFileKeepsTheEarlierPair) {
    for (const char* failing : {"out.vcf.gz", "out.vcf.gz.tbi"}) {
        TempDir dir;
        const std::string dest = dir.path("out.vcf.gz");
        write_bgzf(dir.write("in.vcf", sorted_vcf(3)), dest, with_tbi());
        const Pair earlier = pair_at(dest);
        dir.write("in.vcf", sorted_vcf(5));
        static std::string target;
        target = dir.path(failing);
        os::injected_failure = [](const char* call, const std::string& path) {
            return std::string_view(call) == "fsync" && path == target ? EIO : 0;
        };
        EXPECT_THROW(write_bgzf(dir.path("in.vcf"), dest, with_tbi()), OSError) << failing;
        os::injected_failure = nullptr;
        EXPECT_EQ(pair_at(dest), earlier) << failing;
        EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"in.vcf", "out.vcf.gz", "out.vcf.gz.tbi"}));
    }
}

#ifndef _WIN32
// Two runs on one destination, the first held inside its commit (its data
// renamed, its index not yet) until the second is done or a second has
// passed: whichever finishes last, the index beside the data is its own.
TEST(IndexedCommit, ConcurrentWritersLeaveAMatchingPair) {
    TempDir dir;
    const std::string small = dir.write("small.vcf", sorted_vcf(10));
    const std::string large = dir.write("large.vcf", sorted_vcf(20000));
    std::vector<Pair> alone;
    for (const std::string& source : {small, large}) {
        write_bgzf(source, dir.path("alone.gz"), with_tbi());
        alone.push_back(pair_at(dir.path("alone.gz")));
    }
    const std::string dest = dir.path("out.vcf.gz");
    static std::atomic<bool> held{false}, second_done{false};
    static std::string index;
    index = index_path(dest, IndexFormat::Tbi);
    os::injected_failure = [](const char* call, const std::string& path) {
        if (std::string_view(call) != "rename" || path != index || held.exchange(true)) return 0;
        for (int i = 0; i < 100 && !second_done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    };
    std::thread first([&] { write_bgzf(small, dest, with_tbi()); });
    for (int i = 0; i < 1000 && !held; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    write_bgzf(large, dest, with_tbi());
    second_done = true;
    first.join();
    os::injected_failure = nullptr;
    const Pair now = pair_at(dest);
    EXPECT_TRUE(now == alone[0] || now == alone[1]);
}

// Data written in place (a FIFO here) has no index beside it, earlier or new.
TEST(IndexedCommit, DataWrittenInPlaceKeepsNoIndex) {
    TempDir dir;
    const std::string source = dir.write("in.vcf", sorted_vcf(3));
    const std::string fifo = dir.path("out.gz");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    dir.write("out.gz.tbi", "earlier");
    dir.write("out.gz.csi", "earlier");
    std::string received;
    std::thread reader([&] { received = read_file(fifo); });
    write_bgzf(source, fifo, with_tbi());
    reader.join();
    EXPECT_FALSE(received.empty());
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"in.vcf", "out.gz"}));
}
#endif

}  // namespace
}  // namespace merivane::compression
