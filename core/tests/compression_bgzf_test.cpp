#include <gtest/gtest.h>
#include <pthread.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "compression/bgzf.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/interrupt.hpp"
#include "test_support.hpp"

namespace merivane::compression {
namespace {

unsigned le(const std::string& s, std::size_t at, int bytes) {
    unsigned value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(s[at + i]);
    return value;
}

// The input bytes of each block of a BGZF file, checking every block's fixed
// header, its BSIZE, CRC32 and ISIZE, and the end-of-file marker.
std::vector<std::string> block_contents(const std::string& file) {
    std::vector<std::string> contents;
    std::size_t at = 0;
    while (at < file.size()) {
        EXPECT_EQ(file.substr(at, 16), std::string(kBgzfEof.substr(0, 16)));
        const std::size_t size = le(file, at + 16, 2) + 1;
        EXPECT_LE(size, kMaxBlockSize);
        EXPECT_LE(at + size, file.size());
        std::string data(kUncompressedBlockSize, '\0');
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + at + 18));
        z.avail_in = static_cast<uInt>(size - 26);
        z.next_out = reinterpret_cast<Bytef*>(data.data());
        z.avail_out = static_cast<uInt>(data.size());
        EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
        data.resize(z.total_out);
        inflateEnd(&z);
        EXPECT_EQ(le(file, at + size - 8, 4), crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
        EXPECT_EQ(le(file, at + size - 4, 4), data.size());
        contents.push_back(data);
        at += size;
    }
    EXPECT_EQ(file.substr(file.size() - std::min<std::size_t>(file.size(), 28)), std::string(kBgzfEof));
    return contents;
}

std::string random_bytes(std::size_t n) {
    std::mt19937 random(11);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

class WriteBgzf : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WriteBgzf, CutsFixedChunksAndEndsWithTheMarker) {
    testing::TempDir dir;
    const std::string source = random_bytes(GetParam());
    const std::string destination = dir.path("out.gz");
    EXPECT_EQ(write_bgzf(dir.write("in", source), destination), destination);
    const auto blocks = block_contents(testing::read_file(destination));
    const std::size_t full = GetParam() / kUncompressedBlockSize, rest = GetParam() % kUncompressedBlockSize;
    ASSERT_EQ(blocks.size(), full + (rest ? 1 : 0) + 1);
    std::string joined;
    for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].size(), i < full ? kUncompressedBlockSize : rest);
        joined += blocks[i];
    }
    EXPECT_EQ(joined, source);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteBgzf, ::testing::Values(0, 1, 65280, 65281, 3 * 65280 + 17));

TEST(BgzfBlock, OversizedBlockIsRefusedWithItsSize) {
    EXPECT_EQ(bgzf_block(""), std::string(kBgzfEof));
    try {
        bgzf_block(random_bytes(70000));
        FAIL() << "expected ValueError";
    } catch (const ValueError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("BGZF block would be 700", 0), 0u) << message;
        EXPECT_NE(message.find(" bytes, over the 65536 limit"), std::string::npos);
    }
}

TEST(WriteBgzf, RefusesToTouchTheDestinationWhenItCannotSucceed) {
    testing::TempDir dir;
    const std::string source = dir.write("in.vcf", "chr1\t1\n");
    EXPECT_THROW(write_bgzf(dir.path("missing"), dir.path("never.gz")), OSError);
    EXPECT_FALSE(path_exists(dir.path("never.gz")));
    std::filesystem::create_hard_link(source, dir.path("alias"));
    for (const std::string& same : {source, dir.path("./in.vcf"), dir.path("alias")}) {
        EXPECT_THROW(write_bgzf(source, same), ValueError) << same;
    }
    EXPECT_EQ(testing::read_file(source), "chr1\t1\n");
}


// Text that compresses like a VCF: repeated structure, varying numbers.
std::string vcf_like(std::size_t n) {
    std::mt19937 random(5);
    std::string out;
    while (out.size() < n) {
        out += "chr" + std::to_string(random() % 22 + 1) + "\t" + std::to_string(random() % 248956422) +
               "\tsv_" + std::to_string(random()) + "\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END=" +
               std::to_string(random() % 100000) + "\tGT\t0/1\n";
    }
    out.resize(n);
    return out;
}

std::string compress_all(const std::string& data, const CompressionSettings& settings, std::size_t piece,
                         std::vector<std::uint64_t>* offsets = nullptr) {
    std::string out;
    BgzfWriter writer([&out](std::string_view block) { out.append(block); }, settings);
    for (std::size_t at = 0; at < data.size(); at += piece) writer.write(std::string_view(data).substr(at, piece));
    writer.finish();
    EXPECT_EQ(writer.compressed_size(), out.size());
    if (offsets) *offsets = writer.block_offsets();
    return out;
}

// Every level through every thread count and write size gives one byte
// string, which holds the input in 65280-byte blocks.
class WriterLevels : public ::testing::TestWithParam<int> {};

TEST_P(WriterLevels, SameBytesForEveryThreadCountAndWriteSize) {
    const int level = GetParam();
    const std::string data = vcf_like(9 * kUncompressedBlockSize + 1234);
    const std::string reference = compress_all(data, {1, level, {}}, data.size());
    std::string joined;
    for (const std::string& block : block_contents(reference)) joined += block;
    EXPECT_EQ(joined, data);
    for (const int threads : {1, 2, 3, 8}) {
        for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{65280}, std::size_t{4099}}) {
            EXPECT_EQ(compress_all(data, {threads, level, {}}, piece), reference)
                << "threads " << threads << ", pieces of " << piece;
        }
    }
    if (level == 0) {
        EXPECT_GT(reference.size(), data.size());
    } else {
        EXPECT_LT(reference.size(), data.size() / 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, WriterLevels, ::testing::Values(0, 1, 6, 9));

TEST(BgzfWriter, LevelNineIsPlainZlibDeflate) {
    const std::string data = vcf_like(kUncompressedBlockSize);
    std::string deflated(compressBound(static_cast<uLong>(data.size())), '\0');
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(deflated.data());
    z.avail_out = static_cast<uInt>(deflated.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    deflated.resize(z.total_out);
    deflateEnd(&z);
    const std::string block = bgzf_block(data);
    EXPECT_EQ(block.substr(18, block.size() - 26), deflated);
    EXPECT_EQ(compress_all(data, {4, 9, {}}, 1000).substr(0, block.size()), block);
}

TEST(BgzfWriter, ReportsWhereEveryBlockStarts) {
    const std::string data = vcf_like(3 * kUncompressedBlockSize + 10);
    for (const int threads : {1, 2}) {
        std::string file;
        BgzfWriter writer([&file](std::string_view block) { file.append(block); }, {threads, 6, {}});
        writer.write(data);
        writer.finish();
        const auto& offsets = writer.block_offsets();
        ASSERT_EQ(offsets.size(), 4u);
        std::uint64_t at = 0;
        for (const std::uint64_t offset : offsets) {
            EXPECT_EQ(offset, at);
            at += le(file, static_cast<std::size_t>(at) + 16, 2) + 1;
        }
        EXPECT_EQ(file.substr(static_cast<std::size_t>(at)), std::string(kBgzfEof));
        const std::uint64_t size = data.size();
        EXPECT_EQ(virtual_offset(offsets, size, at, 0), 0u);
        EXPECT_EQ(virtual_offset(offsets, size, at, kUncompressedBlockSize + 7), offsets[1] << 16 | 7);
        // A block boundary points at the next block; the end at the marker.
        EXPECT_EQ(virtual_offset(offsets, size, at, 2 * kUncompressedBlockSize), offsets[2] << 16);
        EXPECT_EQ(virtual_offset(offsets, size, at, size - 1), offsets[3] << 16 | 9);
        EXPECT_EQ(virtual_offset(offsets, size, at, size), at << 16);
    }
    std::string exact;
    BgzfWriter writer([&exact](std::string_view block) { exact.append(block); });
    writer.write(std::string(kUncompressedBlockSize, 'a'));
    writer.finish();
    EXPECT_EQ(virtual_offset(writer.block_offsets(), kUncompressedBlockSize, exact.size() - kBgzfEof.size(),
                             kUncompressedBlockSize),
              (exact.size() - kBgzfEof.size()) << 16);
}

TEST(BgzfWriter, RefusesSettingsOutOfRange) {
    for (const CompressionSettings bad : {CompressionSettings{0, 9, {}}, CompressionSettings{-1, 9, {}},
                                          CompressionSettings{1, -1, {}}, CompressionSettings{1, 10, {}}}) {
        EXPECT_THROW(BgzfWriter([](std::string_view) {}, bad), ValueError);
    }
}

#ifdef __linux__
int thread_count() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") {
            int n = 0;
            status >> n;
            return n;
        }
    }
    return -1;
}

TEST(BgzfWriter, StartsNoThreadForOneAndAtMostTheCountOtherwise) {
    const std::string data = vcf_like(20 * kUncompressedBlockSize);
    const int before = thread_count();
    for (const int threads : {1, 3}) {
        int most = before;
        BgzfWriter writer([&](std::string_view) { most = std::max(most, thread_count()); }, {threads, 1, {}});
        writer.write(data);
        writer.finish();
        if (threads == 1) {
            EXPECT_EQ(most, before);
        } else {
            EXPECT_LE(most, before + threads);
        }
        EXPECT_EQ(thread_count(), before) << "workers outlive finish()";
    }
}

// Threads the system refuses to start (a limit on processes) leave the
// writing to fewer workers, or to the calling thread: the same bytes, and a
// warning rather than an error.
TEST(BgzfWriter, ThreadsTheSystemRefusesGiveTheSameBytes) {
    const std::string data = vcf_like(6 * kUncompressedBlockSize);
    const std::string reference = compress_all(data, {1, 6, {}}, data.size());
    // Every new thread asks for a stack no address space can hold.
    pthread_attr_t previous, huge;
    ASSERT_EQ(pthread_getattr_default_np(&previous), 0);
    ASSERT_EQ(pthread_attr_init(&huge), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, std::size_t{1} << 60), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    std::string out;
    testing::CapturedLog log;
    try {
        out = compress_all(data, {4, 6, {}}, kUncompressedBlockSize);
    } catch (...) {
        pthread_setattr_default_np(&previous);
        throw;
    }
    pthread_setattr_default_np(&previous);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&previous);
    EXPECT_EQ(out, reference);
    ASSERT_EQ(log.events().size(), 1u);
    EXPECT_EQ(log.events()[0].level, LogLevel::Warning);
}
#endif

struct Stop {
    int at;
};

// A failure on the calling thread (the sink, the interrupt check) leaves the
// writer unchanged and with every worker joined.
class WriterFailures : public ::testing::TestWithParam<int> {};

TEST_P(WriterFailures, SinkAndInterruptErrorsTravelUnchanged) {
    const std::string data = vcf_like(40 * kUncompressedBlockSize);
    const CompressionSettings settings{GetParam(), 1, {}};
    int blocks = 0;
    try {
        BgzfWriter writer([&](std::string_view) {
            if (++blocks == 3) throw Stop{blocks};
        }, settings);
        writer.write(data);
        writer.finish();
        FAIL() << "the sink's error was lost";
    } catch (const Stop& stop) {
        EXPECT_EQ(stop.at, 3);
    }

    static int polls;
    polls = 0;
    const InterruptCheck previous = set_interrupt_check([] {
        if (++polls == 2) throw Stop{-1};
    });
    try {
        BgzfWriter writer([](std::string_view) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); },
                          settings);
        writer.write(data);
        writer.finish();
        ADD_FAILURE() << "the interrupt was not noticed";
    } catch (const Stop& stop) {
        EXPECT_EQ(stop.at, -1);
    }
    set_interrupt_check(previous);
}

INSTANTIATE_TEST_SUITE_P(Threads, WriterFailures, ::testing::Values(1, 2, 4));

}  // namespace
}  // namespace merivane::compression
