#include "compression/bgzf.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"

namespace merivane::compression {

namespace {

constexpr std::size_t kHeaderSize = 18;
constexpr std::size_t kTrailerSize = 8;
// zlib counts in unsigned int: larger inputs go in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 30;

void put_le16(char* out, std::uint32_t value) {
    out[0] = static_cast<char>(value & 0xff);
    out[1] = static_cast<char>((value >> 8) & 0xff);
}

void put_le32(char* out, std::uint32_t value) {
    put_le16(out, value & 0xffff);
    put_le16(out + 2, value >> 16);
}

}  // namespace

struct BlockCompressor::Stream {
    z_stream z{};
    Stream() {
        if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw RuntimeError("zlib could not be initialised");
        }
    }
    ~Stream() { deflateEnd(&z); }
};

BlockCompressor::BlockCompressor() : stream_(std::make_unique<Stream>()) {}
BlockCompressor::~BlockCompressor() = default;

std::string_view BlockCompressor::compress(std::string_view data) {
    z_stream& z = stream_->z;
    deflateReset(&z);
    block_.resize(kHeaderSize + deflateBound(&z, data.size()) + kTrailerSize);

    const auto* in = reinterpret_cast<const Bytef*>(data.data());
    std::size_t in_left = data.size();
    std::size_t used = kHeaderSize;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (z.avail_in == 0 && in_left > 0) {
            const auto piece = static_cast<uInt>(std::min(in_left, kPiece));
            z.next_in = const_cast<Bytef*>(in);
            z.avail_in = piece;
            in += piece;
            in_left -= piece;
        }
        if (block_.size() - kTrailerSize <= used) block_.resize(block_.size() + (std::size_t{1} << 16));
        const auto room = static_cast<uInt>(std::min(block_.size() - kTrailerSize - used, kPiece));
        z.next_out = reinterpret_cast<Bytef*>(block_.data() + used);
        z.avail_out = room;
        rc = deflate(&z, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw RuntimeError("zlib failed to compress");
        used += room - z.avail_out;
    }

    const std::size_t block_size = used + kTrailerSize;
    if (block_size > MAX_BLOCK_SIZE) {
        throw ValueError("BGZF block would be " + std::to_string(block_size) + " bytes, over the 65536 limit");
    }
    // ID1 ID2 CM FLG, MTIME 0, XFL 0, OS unknown, XLEN 6, then the "BC" subfield.
    static constexpr char header[kHeaderSize - 2] = {'\x1f', '\x8b', '\x08', '\x04', 0, 0, 0, 0,
                                                     0,      '\xff', 6,      0,      'B', 'C', 2, 0};
    std::copy(std::begin(header), std::end(header), block_.data());
    put_le16(block_.data() + kHeaderSize - 2, static_cast<std::uint32_t>(block_size - 1));
    const auto crc = crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size());
    put_le32(block_.data() + used, static_cast<std::uint32_t>(crc));
    put_le32(block_.data() + used + 4, static_cast<std::uint32_t>(data.size()));
    block_.resize(block_size);
    return block_;
}

std::string bgzf_block(std::string_view data) {
    BlockCompressor compressor;
    return std::string(compressor.compress(data));
}

std::string write_bgzf(const std::string& source_path, const std::string& destination_path,
                       const CompressionSettings& settings) {
    (void)settings;  // threads, level and index: not yet applied
    const UniqueFd source_fd(open_for_reading(source_path));
    const int source = source_fd.get();
    if (same_file(source_path, destination_path)) {
        throw ValueError("destination_path names the same file as source_path: '" + destination_path + "'");
    }

    BlockCompressor compressor;
    AtomicOutput destination(destination_path);
    std::string chunk(UNCOMPRESSED_BLOCK_SIZE, '\0');
    bool at_end = false;
    while (!at_end) {
        // Fill the chunk completely: blocks are cut at fixed input offsets.
        std::size_t filled = 0;
        while (filled < chunk.size()) {
            const std::size_t n = read_some(source, chunk.data() + filled, chunk.size() - filled, source_path);
            if (n == 0) {
                at_end = true;
                break;
            }
            filled += n;
        }
        if (filled > 0) destination.write(compressor.compress(std::string_view(chunk.data(), filled)));
    }
    destination.write(BGZF_EOF);
    destination.commit();
    return destination_path;
}

}  // namespace merivane::compression
