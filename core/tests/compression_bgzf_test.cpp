#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "compression/bgzf.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
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
        EXPECT_EQ(file.substr(at, 16), std::string(BGZF_EOF.substr(0, 16)));
        const std::size_t size = le(file, at + 16, 2) + 1;
        EXPECT_LE(size, MAX_BLOCK_SIZE);
        EXPECT_LE(at + size, file.size());
        std::string data(UNCOMPRESSED_BLOCK_SIZE, '\0');
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
    EXPECT_EQ(file.substr(file.size() - std::min<std::size_t>(file.size(), 28)), std::string(BGZF_EOF));
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
    const std::size_t full = GetParam() / UNCOMPRESSED_BLOCK_SIZE, rest = GetParam() % UNCOMPRESSED_BLOCK_SIZE;
    ASSERT_EQ(blocks.size(), full + (rest ? 1 : 0) + 1);
    std::string joined;
    for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].size(), i < full ? UNCOMPRESSED_BLOCK_SIZE : rest);
        joined += blocks[i];
    }
    EXPECT_EQ(joined, source);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteBgzf, ::testing::Values(0, 1, 65280, 65281, 3 * 65280 + 17));

TEST(BgzfBlock, OversizedBlockIsRefusedWithItsSize) {
    EXPECT_EQ(bgzf_block(""), std::string(BGZF_EOF));
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

}  // namespace
}  // namespace merivane::compression
