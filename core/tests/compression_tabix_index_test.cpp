#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/sorting.hpp"
#include "compression/tabix_index.hpp"
#include "platform/error.hpp"
#include "platform/process.hpp"
#include "test_support.hpp"

namespace merivane::compression {
namespace {

using testing::TempDir;

struct Compressed {
    std::string bytes;
    std::vector<std::uint64_t> block_offsets;
};

Compressed compress(const std::string& text) {
    Compressed out;
    BlockCompressor compressor;
    for (std::size_t at = 0; at < text.size(); at += kUncompressedBlockSize) {
        out.block_offsets.push_back(out.bytes.size());
        out.bytes.append(compressor.compress(std::string_view(text).substr(at, kUncompressedBlockSize)));
    }
    out.bytes.append(kBgzfEof);
    return out;
}

std::string gunzip(const std::string& data) {
    std::string out;
    std::size_t at = 0;
    while (at < data.size()) {
        z_stream z{};
        inflateInit2(&z, 15 + 16);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(data.size() - at);
        char buffer[1 << 16];
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) throw std::runtime_error("bad gzip member");
            out.append(buffer, sizeof buffer - z.avail_out);
        }
        at += z.total_in;
        inflateEnd(&z);
    }
    return out;
}

// Our index of `text`, fed to the builder in pieces of `piece` bytes.
std::string our_index(const std::string& text, IndexFormat format, std::size_t piece = 0) {
    const Compressed compressed = compress(text);
    TabixIndexBuilder builder(format, name_lines_of("t.vcf"));
    if (piece == 0) piece = text.size() + 1;
    for (std::size_t at = 0; at < text.size(); at += piece) builder.feed(std::string_view(text).substr(at, piece));
    return builder.finish(compressed.block_offsets, compressed.bytes.size());
}

struct Tabix {
    int exit_status;
    std::string index;  // decompressed
};

// What `tabix -p vcf` (or with --csi) makes of `text`; nullopt without tabix.
std::optional<Tabix> tabix_index(const std::string& text, IndexFormat format) {
    const auto tabix = find_executable("tabix");
    if (!tabix) return std::nullopt;
    TempDir dir;
    const std::string path = dir.write("t.vcf.gz", compress(text).bytes);
    std::vector<std::string> argv{*tabix, "-f", "-p", "vcf"};
    if (format == IndexFormat::Csi) argv.push_back("--csi");
    argv.push_back(path);
    ChildOptions options;
    options.capture_stderr = true;
    const ChildResult result = run_child(argv, options);
    Tabix out{result.exit_status, {}};
    if (result.exit_status == 0) out.index = gunzip(testing::read_file(index_path(path, format)));
    return out;
}

const std::string kHeader =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";

std::string record(const std::string& chrom, long long pos, const std::string& info = "SVTYPE=DEL",
                   const std::string& ref = "N") {
    return chrom + "\t" + std::to_string(pos) + "\t.\t" + ref + "\t<DEL>\t.\tPASS\t" + info + "\n";
}

std::string padding(std::size_t n) { return std::string(n, 'A'); }

struct Case {
    const char* name;
    std::function<std::string()> text;
    bool tbi = true;  // csi always
};

// Records over several blocks on two chromosomes, some straddling a block end.
std::string across_blocks() {
    std::string text = kHeader;
    for (int i = 0; i < 3000; ++i) text += record(i < 1800 ? "chr1" : "chr2", 1000 + 40 * i, "SVTYPE=DEL;X=" + padding(i % 150));
    return text;
}

// A header ending exactly at the first block end, a record ending exactly at
// the second, and one whose "\n" alone opens the third.
std::string at_block_boundaries() {
    const std::string head = "##fileformat=VCFv4.2\n";
    const std::string column = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    std::string text = head + "##x=" + padding(kUncompressedBlockSize - head.size() - column.size() - 5) + "\n" + column;
    EXPECT_EQ(text.size(), kUncompressedBlockSize);
    long long pos = 100;
    const auto fill_to = [&](std::size_t target) {
        while (text.size() + 400 < target) text += record("chr1", pos += 10, "P=" + padding(200));
        const std::string bare = record("chr1", pos += 10, "P=");
        text += record("chr1", pos, "P=" + padding(target - text.size() - bare.size()));
        EXPECT_EQ(text.size(), target);
    };
    fill_to(2 * kUncompressedBlockSize);
    fill_to(3 * kUncompressedBlockSize + 1);
    for (int i = 0; i < 5; ++i) text += record("chr1", pos += 10);
    return text;
}

std::string many_contigs() {
    std::string text = kHeader;
    // Not in name order: tabix takes any order in which each contig is whole.
    for (int c = 400; c > 0; --c) {
        for (int i = 0; i < 3; ++i) text += record("chrUn_" + std::to_string(c), 500 + 1000 * i, "F=" + padding(120));
    }
    return text;
}

// Short records between long ones that reach far: chunks in bins of every
// level, and in bin 0.
std::string long_svs() {
    std::string text = kHeader;
    std::mt19937 random(5);
    long long pos = 1;
    for (int i = 0; i < 6000; ++i) {
        pos += random() % 20000;
        const long long length = i % 7 == 0 ? (1LL << (random() % 28)) : static_cast<long long>(random() % 300);
        text += record("chr1", pos, "SVTYPE=DEL;END=" + std::to_string(pos + length) + ";SVLEN=-" + std::to_string(length));
    }
    return text;
}

// Dense records: thousands of bins (the bin table grows many times) and
// bins small enough to fold into their parents.
std::string dense() {
    std::string text = kHeader;
    std::mt19937 random(9);
    for (const char* chrom : {"chr1", "chr2", "chr3"}) {
        long long pos = 1;
        for (int i = 0; i < 20000; ++i) {
            pos += random() % 400;
            const long long length = random() % 50 == 0 ? random() % 3000000 : random() % 900;
            text += record(chrom, pos, "END=" + std::to_string(pos + length));
        }
    }
    return text;
}

// What tabix reads or skips on the way: END where it stands in INFO, END
// ignored when not beyond POS, REF length, numbers in C notation, lines it
// cannot parse, header lines among records, CRLF, no final newline.
std::string field_forms() {
    return kHeader + record("chr1", 0, "SVTYPE=INS") + record("chr1", 5, "END=90000") +
           record("chr1", 6, "CIEND=-5,5;SVTYPE=DEL;END=70000") + record("chr1", 7, "CIEND=-5,5") +
           record("chr1", 7, "X=1;END=.") + record("chr1", 7, "END=3") + "chr1\t010\t.\tNNNNNNNNNNNNNNNNNNNN\t<DEL>\n" +
           record("chr1", 9, "END=0x20000") + "chr1\t9\t.\t\t<INS>\t.\tPASS\tSVTYPE=INS\n" + "chr1\tabc\t.\tN\t.\n" +
           "\n" + "#a header line among records\n" + "lonefield\n" + "chr1\t20\t.\tN\t<DEL>\t.\tPASS\tEND=4000\r\n" +
           record("chr1", 30, "SVEND=99;END=65") + record("chr2", 1, "SVTYPE=DEL;END=2000000") +
           "chr2\t 40\t.\tNNN\t.\t.\t.\tEND=+50" + "\n" + "chr2\t50\t.\tN\t.\t.\t.\tEND=100000";
}

std::string csi_wide() {
    return "##fileformat=VCFv4.2\n##contig=<ID=big,length=10000000000>\n" + kHeader.substr(21) +
           record("big", 5000000000LL, "END=9000000000") + record("big", 9999999000LL);
}

std::string tbi_limit() { return kHeader + record("chr1", 1LL << 29) + record("chr2", 100, "END=536870912"); }

const Case kCases[] = {
    {"Empty", [] { return std::string(); }},
    {"HeaderOnly", [] { return kHeader; }},
    {"OneRecord", [] { return kHeader + record("chr1", 100, "SVTYPE=DEL;END=500"); }},
    {"AcrossBlocks", across_blocks},
    {"AtBlockBoundaries", at_block_boundaries},
    {"ManyContigs", many_contigs},
    {"LongSvs", long_svs},
    {"Dense", dense},
    {"FieldForms", field_forms},
    {"TbiLimit", tbi_limit},
    {"CsiWidened", csi_wide, false},
};

class IndexLikeTabix : public ::testing::TestWithParam<std::tuple<Case, IndexFormat>> {};

TEST_P(IndexLikeTabix, SameBytes) {
    const auto& [c, format] = GetParam();
    const std::string text = c.text();
    const std::string ours = our_index(text, format);
    // How the text arrives does not matter.
    EXPECT_EQ(our_index(text, format, 7), ours);
    const auto tabix = tabix_index(text, format);
    if (!tabix) GTEST_SKIP() << "tabix is not installed";
    ASSERT_EQ(tabix->exit_status, 0);
    EXPECT_EQ(ours.size(), tabix->index.size());
    EXPECT_TRUE(ours == tabix->index);
}

std::vector<std::tuple<Case, IndexFormat>> case_formats() {
    std::vector<std::tuple<Case, IndexFormat>> out;
    for (const Case& c : kCases) {
        if (c.tbi) out.emplace_back(c, IndexFormat::Tbi);
        out.emplace_back(c, IndexFormat::Csi);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, IndexLikeTabix, ::testing::ValuesIn(case_formats()), [](const auto& test) {
    return std::string(std::get<0>(test.param).name) + (std::get<1>(test.param) == IndexFormat::Tbi ? "Tbi" : "Csi");
});

// The real callers' files, sorted as the pipeline sorts them.
TEST(IndexLikeTabix, RealCallerOutputs) {
    const std::filesystem::path real = std::filesystem::path(MERIVANE_SOURCE_DIR) / ".." / "shared" / "data" / "real";
    if (!std::filesystem::exists(real)) GTEST_SKIP() << "no real caller outputs beside the repository";
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(real)) {
        if (entry.path().extension() != ".vcf") continue;
        const std::string text = testing::read_file(entry.path().string());
        std::vector<std::string_view> lines;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find('\n', at);
            lines.push_back(std::string_view(text).substr(at, end - at + 1));
            at = end + 1;
        }
        std::string sorted;
        const SortPlan plan = plan_sort(lines, std::string(kPythonSort));
        for (const std::size_t i : plan.split.header) sorted += lines[i];
        for (const std::size_t i : plan.split.records) sorted += lines[i];
        for (const IndexFormat format : {IndexFormat::Tbi, IndexFormat::Csi}) {
            const auto tabix = tabix_index(sorted, format);
            if (!tabix) GTEST_SKIP() << "tabix is not installed";
            ASSERT_EQ(tabix->exit_status, 0) << entry.path();
            EXPECT_TRUE(our_index(sorted, format) == tabix->index) << entry.path();
        }
        ++files;
    }
    EXPECT_EQ(files, 3);
}

// write_bgzf builds the index from the bytes it compresses, whatever the
// number of workers or the level: the offsets are those of the blocks written.
class WriteBgzfIndex : public ::testing::TestWithParam<std::tuple<int, int, IndexFormat>> {};

TEST_P(WriteBgzfIndex, LikeTabixOnTheFileWritten) {
    const auto [threads, level, format] = GetParam();
    TempDir dir;
    const std::string source = dir.write("in.vcf", dense());
    const std::string out = dir.path("out.vcf.gz");
    write_bgzf(source, out, CompressionSettings{threads, level, format});
    const std::string ours = gunzip(testing::read_file(index_path(out, format)));
    const auto tabix = find_executable("tabix");
    if (!tabix) GTEST_SKIP() << "tabix is not installed";
    const std::string copy = dir.path("copy.vcf.gz");
    std::filesystem::copy_file(out, copy);
    std::vector<std::string> argv{*tabix, "-p", "vcf", copy};
    if (format == IndexFormat::Csi) argv.insert(argv.begin() + 1, "--csi");
    ASSERT_EQ(run_child(argv, {}).exit_status, 0);
    EXPECT_TRUE(ours == gunzip(testing::read_file(index_path(copy, format))));
}

INSTANTIATE_TEST_SUITE_P(Settings, WriteBgzfIndex,
                         ::testing::Combine(::testing::Values(1, 3), ::testing::Values(9, 1),
                                            ::testing::Values(IndexFormat::Tbi, IndexFormat::Csi)));

struct Refusal {
    const char* name;
    std::string text;
    IndexFormat format;
    const char* line;     // as the message names it
    const char* problem;  // a part of the message
};

const Refusal kRefusals[] = {
    {"ChromosomeResumes", kHeader + record("chr1", 100) + record("chr2", 50) + record("chr1", 200), IndexFormat::Tbi,
     "line 5", "chr1 are not together"},
    {"ChromosomeResumesAfterSkippedLines",
     kHeader + record("chr1", 100) + record("chr2", 50) + "chr1\tx\n" + record("chr1", 200), IndexFormat::Csi,
     "line 6", "chr1 are not together"},
    {"PositionDecreases", kHeader + record("chr1", 100) + record("chr1", 200) + record("chr1", 150), IndexFormat::Csi,
     "line 5", "position 150 on chr1 follows position 200"},
    {"OctalPositionDecreases", kHeader + record("chr1", 9) + "chr1\t010\t.\tN\t.\n", IndexFormat::Tbi, "line 4",
     "position 8 on chr1 follows position 9"},
    {"BeyondTbi", kHeader + record("chr1", 100) + record("chr1", 1LL << 29, "SVTYPE=DEL", "NN"), IndexFormat::Tbi,
     "line 4", "write a csi index instead"},
    {"EndBeyondTbi", kHeader + record("chr1", 100, "END=536870913"), IndexFormat::Tbi, "line 3",
     "write a csi index instead"},
    {"BeyondCsiWithoutContigLength", kHeader + record("chr1", 5000000000LL), IndexFormat::Csi, "line 3",
     "beyond 4294967296"},
};

class IndexRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(IndexRefuses, AtTheFirstSuchLine) {
    const Refusal& r = GetParam();
    try {
        our_index(r.text, r.format);
        FAIL() << "no error";
    } catch (const ValueError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("'t.vcf', " + std::string(r.line) + ":"), std::string::npos) << message;
        EXPECT_NE(message.find(r.problem), std::string::npos) << message;
    }
    // So does tabix: what it refuses we refuse, no more.
    if (const auto tabix = tabix_index(r.text, r.format)) {
        EXPECT_NE(tabix->exit_status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, IndexRefuses, ::testing::ValuesIn(kRefusals),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace merivane::compression
