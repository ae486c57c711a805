#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/interrupt.hpp"
#include "test_support.hpp"

namespace merivane::compression {
namespace {

// A VCF of `records` shuffled records on chr1-chr24 after a short header
// whose contig lines name chr1-chr22 in numeric order; `sorted` gets the same
// file in sort order `order`.
std::string shuffled_vcf(int records, std::string* sorted = nullptr, SortOrder order = SortOrder::Text) {
    std::mt19937 random(3);
    std::vector<std::pair<std::pair<int, int>, std::string>> lines;
    for (int i = 0; i < records; ++i) {
        const int chromosome = static_cast<int>(random() % 24) + 1, position = static_cast<int>(random() % 100000);
        lines.push_back({{chromosome, position},
                         "chr" + std::to_string(chromosome) + "\t" + std::to_string(position) + "\tid" +
                             std::to_string(i) + "\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END=" +
                             std::to_string(position + 500) + "\tGT\t0/1\n"});
    }
    std::string header = "##fileformat=VCFv4.2\n";
    for (int c = 1; c <= 22; ++c) header += "##contig=<ID=chr" + std::to_string(c) + ",length=1000000>\n";
    header += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts\n";
    std::string text = header;
    for (const auto& line : lines) text += line.second;
    if (sorted) {
        std::vector<std::string> lines_in_order;
        for (const auto& line : lines) lines_in_order.push_back(line.second);
        // The chromosome names compare as bytes (in contig order: by number
        // up to chr22, the undeclared chr23 and chr24 after them as bytes),
        // then POS as a number, then the line.
        const auto place = [order](std::string_view chromosome) {
            const int number = std::stoi(std::string(chromosome.substr(3)));
            return order == SortOrder::Contig && number <= 22 ? number : 23;
        };
        std::sort(lines_in_order.begin(), lines_in_order.end(), [&](const std::string& a, const std::string& b) {
            const SortKey ka = read_sort_key(a), kb = read_sort_key(b);
            if (place(ka.chromosome) != place(kb.chromosome)) return place(ka.chromosome) < place(kb.chromosome);
            if (ka.chromosome != kb.chromosome) return ka.chromosome < kb.chromosome;
            if (ka.position.value != kb.position.value) return ka.position.value < kb.position.value;
            return a < b;
        });
        *sorted = header;
        for (const std::string& line : lines_in_order) *sorted += line;
    }
    return text;
}

struct StreamCase {
    const char* engine;
    int threads;
    int level;
    SortOrder order = SortOrder::Text;
};

class SortAndCompressSettings : public ::testing::TestWithParam<StreamCase> {};

// Every engine, thread count and level writes what write_bgzf writes for
// the sorted text with the same settings.
TEST_P(SortAndCompressSettings, WritesTheSortedTextAsWriteBgzfWould) {
    const StreamCase c = GetParam();
    if (std::string_view(c.engine) == kGnuSort && !gnu_sort_available()) GTEST_SKIP() << "no GNU sort installed";
    testing::TempDir dir;
    std::string sorted;
    const std::string input = dir.write("u.vcf", shuffled_vcf(30000, &sorted, c.order));
    // The index follows either order.
    const CompressionSettings settings{c.threads, c.level, IndexFormat::Tbi, c.order};
    const std::string reference = write_bgzf(dir.write("sorted.vcf", sorted), dir.path("reference.gz"), settings);
    EXPECT_EQ(sort_and_compress(input, std::nullopt, false, std::string(c.engine), settings), input + ".gz");
    EXPECT_EQ(testing::read_file(input + ".gz"), testing::read_file(reference));
    EXPECT_EQ(testing::read_file(input + ".gz.tbi"), testing::read_file(reference + ".tbi"));
    EXPECT_FALSE(path_exists(input));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "sorted.vcf" || name.starts_with("reference.gz") || name.starts_with("u.vcf.gz"))
            << name << " left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SortAndCompressSettings,
                         ::testing::Values(StreamCase{"python_sort", 1, 9}, StreamCase{"python_sort", 3, 9},
                                           StreamCase{"python_sort", 2, 6}, StreamCase{"gnu_sort", 1, 9},
                                           StreamCase{"gnu_sort", 2, 9}, StreamCase{"gnu_sort", 3, 1},
                                           StreamCase{"python_sort", 1, 9, SortOrder::Contig},
                                           StreamCase{"gnu_sort", 1, 9, SortOrder::Contig},
                                           StreamCase{"gnu_sort", 2, 6, SortOrder::Contig}));

#ifndef _WIN32
struct FakeSort {
    const char* name;
    const char* script;  // run under /bin/sh, given the real sort as $SORT
    bool exits_nonzero;
};

class BrokenGnuSort : public ::testing::TestWithParam<FakeSort> {};

// A sort whose output goes wrong part way, while earlier lines are already
// in the compressor (and, with threads, blocks in flight), leaves nothing
// behind and the destination and input as they were.
TEST_P(BrokenGnuSort, MidStreamLeavesEverythingAsItWas) {
    const std::optional<std::string> real = gnu_sort_path();
    if (!real) GTEST_SKIP() << "no GNU sort installed";
    testing::TempDir dir;
    const std::string fake = dir.write("sort", std::string("#!/bin/sh\nSORT=") + *real + "\n" + GetParam().script + "\n");
    ASSERT_EQ(::chmod(fake.c_str(), 0755), 0);
    const std::string text = shuffled_vcf(20000);
    const std::string input = dir.write("u.vcf", text);
    const std::string earlier = dir.write("u.vcf.gz", "an earlier, complete output");
    const SortOverrides overrides{[&fake] { return std::optional<std::string>(fake); }};
    for (const int threads : {1, 2}) {
        try {
            sort_and_compress(input, std::nullopt, false, std::string(kGnuSort), {threads, 9, {}}, overrides);
            ADD_FAILURE() << "a broken sort went unnoticed";
        } catch (const CalledProcessError&) {
            EXPECT_TRUE(GetParam().exits_nonzero);
        } catch (const RuntimeError& error) {
            EXPECT_FALSE(GetParam().exits_nonzero) << error.what();
            EXPECT_NE(std::string(error.what()).find("GNU sort (" + fake + ")"), std::string::npos) << error.what();
        }
        EXPECT_EQ(testing::read_file(earlier), "an earlier, complete output");
        EXPECT_EQ(testing::read_file(input), text);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 3) << "a temporary was left";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenGnuSort,
    ::testing::Values(FakeSort{"DropsALineNearTheEnd", "\"$SORT\" -k1,1 -k2,2n | sed 19990d", false},
                      FakeSort{"UnsortedPartWay", "\"$SORT\" -k1,1 -k2,2n | sed '15000{h;d};15001G'", false},
                      FakeSort{"CutsTheLastLineFeed", "\"$SORT\" -k1,1 -k2,2n | head -c -1", false},
                      FakeSort{"FailsAfterWriting", "\"$SORT\" -k1,1 -k2,2n; exit 3", true}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

struct Interrupted {};

TEST(InMemorySort, PollsForAnInterrupt) {
    std::string text = shuffled_vcf(5000);
    const std::vector<std::string_view> lines = split_lines(text);
    const LineSplit split = split_header(lines);
    const InterruptCheck previous = set_interrupt_check([] { throw Interrupted{}; });
    EXPECT_THROW(sort_in_memory(lines, split.records), Interrupted);
    set_interrupt_check(previous);
    EXPECT_EQ(sort_in_memory(lines, split.records).size(), 5000u);
}

}  // namespace
}  // namespace merivane::compression
