// BGZF on arbitrary bytes: every block within 65536 bytes with its layout,
// size, CRC-32 and length fields right; whole files cut into 65280-byte
// blocks and ended by the end-of-file marker; and zlib gives back exactly
// the bytes that went in.
//
// Input: one control byte, then the data. Control bits 0-1 grow the data to
// about one block or more (bit 2: with bytes that do not compress), so that
// block boundaries and the size limit are reached. The whole file is
// written at a level and thread count also taken from the control byte.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compression/bgzf.hpp"
#include "fuzz_support.hpp"
#include "platform/error.hpp"

using namespace merivane;
using namespace merivane::fuzz;
using namespace merivane::compression;

namespace {

std::uint32_t le(std::string_view bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Checks one block at the front of `file`, holding at most `capacity` bytes
// of data; returns its size and its data.
std::size_t check_block(std::string_view file, std::string& data, std::size_t capacity = kUncompressedBlockSize) {
    check(file.size() >= 28, "block shorter than header and trailer");
    static constexpr std::string_view header{"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00", 16};
    check(file.substr(0, 16) == header, "block header fields");
    const std::size_t size = le(file, 16, 2) + 1;
    check(size <= kMaxBlockSize && size >= 28 && size <= file.size(), "BSIZE out of range");
    const std::string_view block = file.substr(0, size);

    z_stream z{};
    check(inflateInit2(&z, -15) == Z_OK, "inflateInit2");
    data.assign(capacity + 1, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data() + 18));
    z.avail_in = static_cast<uInt>(size - 26);
    z.next_out = reinterpret_cast<Bytef*>(data.data());
    z.avail_out = static_cast<uInt>(data.size());
    const int rc = inflate(&z, Z_FINISH);
    const bool whole = z.avail_in == 0;
    data.resize(z.total_out);
    inflateEnd(&z);
    check(rc == Z_STREAM_END && whole, "CDATA is not exactly one complete raw deflate stream");
    check(le(block, size - 8, 4) == crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()), "CRC32");
    check(le(block, size - 4, 4) == data.size(), "ISIZE");
    return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = bytes[0];
    std::string data(reinterpret_cast<const char*>(bytes + 1), size - 1);
    if (const int grow = control & 0x03) {
        const std::size_t target = kUncompressedBlockSize * grow - 64 + (control >> 3);
        if (control & 0x04) {
            std::uint32_t state = 2166136261u;
            for (const unsigned char c : data) state = (state ^ c) * 16777619u;
            while (data.size() < target) {
                state ^= state << 13, state ^= state >> 17, state ^= state << 5;
                data.push_back(static_cast<char>(state));
            }
        } else if (!data.empty()) {
            while (data.size() < target) data.append(data, 0, std::min(data.size(), target - data.size()));
        }
    }

    // One block straight from the block builder, when the data fits one.
    if (data.size() <= kUncompressedBlockSize) {
        const std::string block = bgzf_block(data);
        std::string inflated;
        check(check_block(block, inflated) == block.size(), "block longer than its BSIZE");
        check(inflated == data, "block does not inflate to its data");
        if (data.empty()) check(block == kBgzfEof, "empty block is not the end-of-file marker");
    } else {
        // Over the block size: a block or the size error, never a block
        // over the limit.
        try {
            const std::string block = bgzf_block(data);
            std::string inflated;
            check(check_block(block, inflated, data.size()) == block.size() && inflated == data, "oversized input block");
        } catch (const ValueError& error) {
            check(std::string_view(error.what()).starts_with("BGZF block would be "), "size error message");
        }
    }

    // A whole file through the writer.
    const std::string source = scratch_file("a", data);
    const std::string destination = scratch_file("b", "stale contents to be truncated");
    const CompressionSettings settings{1 + (control >> 6), (control >> 3) * 3 % 10, {}};
    check(write_bgzf(source, destination, settings) == destination, "write_bgzf returns its destination");
    const std::string file = read_whole(destination);
    check(file.size() >= kBgzfEof.size() && file.substr(file.size() - kBgzfEof.size()) == kBgzfEof,
          "file does not end with the end-of-file marker");
    std::string joined, block_data;
    std::size_t pos = 0;
    const std::size_t end = file.size() - kBgzfEof.size();
    while (pos < end) {
        pos += check_block(std::string_view(file).substr(pos, end - pos), block_data);
        check(!block_data.empty(), "empty data block before the end");
        check(block_data.size() == kUncompressedBlockSize || pos == end, "short block before the last");
        joined += block_data;
    }
    check(pos == end, "blocks overrun the end-of-file marker");
    check(joined == data, "blocks do not add up to the source");
    std::string unpacked;
    check(gunzip_all(file, unpacked) && unpacked == data, "gzip reading differs from the source");
    return 0;
}
