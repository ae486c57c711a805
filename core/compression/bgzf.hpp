// BGZF, the blocked gzip that tabix indexes: each block a complete gzip
// member of at most 64 KiB that records its own size in a "BC" extra field,
// ended by an empty block as end-of-file marker. Any gzip reader also reads
// the whole file as the input bytes.
#pragma once

#include <cstddef>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compression/settings.hpp"
#include "compression/tabix_index.hpp"
#include "platform/interrupt.hpp"

namespace merivane::compression {

// Input bytes per block: 65280 incompressible bytes still fit in 65536.
inline constexpr std::size_t kUncompressedBlockSize = 65280;
inline constexpr std::size_t kMaxBlockSize = 65536;

// The empty block that ends every BGZF file.
inline constexpr std::string_view kBgzfEof{
    "\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    28};

// Appends `value` to `out` as little-endian bytes, as BGZF and its indexes
// store integers.
template <std::unsigned_integral Unsigned>
void put_le(std::string& out, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Builds blocks one after another with one reusable deflate state: zlib
// at level 9 (the long-standing bytes), libdeflate at the other levels where
// the build has it (several times faster, and the blocks of htslib's bgzip at
// the same level), else zlib.
class BlockCompressor {
public:
    explicit BlockCompressor(int level = kDefaultLevel);
    ~BlockCompressor();
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    // The whole block holding `data`, valid until the next call. ValueError
    // when it would exceed kMaxBlockSize.
    std::string_view compress(std::string_view data);

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
    std::string block_;
};

std::string bgzf_block(std::string_view data, int level = kDefaultLevel);

// The BGZF virtual offset of uncompressed offset `u` of a text of
// `text_size` bytes whose data blocks start at `block_offsets` and whose
// end-of-file marker starts at `eof_offset`; as htslib, a block's end is
// the next block's start and the text's end the marker's.
std::uint64_t virtual_offset(const std::vector<std::uint64_t>& block_offsets, std::uint64_t text_size,
                             std::uint64_t eof_offset, std::uint64_t u) noexcept;

// Where compressed bytes go, in order (a file, a test's string).
using ByteSink = std::function<void(std::string_view)>;

// A streaming BGZF writer: bytes in, blocks of kUncompressedBlockSize input
// bytes out (the last may hold fewer), in order, then the end-of-file
// marker. With settings.threads > 1 that many workers compress the blocks
// and the calling thread hands them to the sink in order (the same bytes
// for every count) and alone polls check_interrupt(). Any exception stops
// and joins the workers before it leaves the writer, as the destructor does.
class BgzfWriter {
public:
    explicit BgzfWriter(ByteSink sink, const CompressionSettings& settings = {});
    ~BgzfWriter();
    BgzfWriter(const BgzfWriter&) = delete;
    BgzfWriter& operator=(const BgzfWriter&) = delete;

    void write(std::string_view data);
    // Compresses what is left, writes the end-of-file marker and waits for
    // every block to reach the sink.
    void finish();

    // After finish(): the compressed start offset of every data block, in
    // order (block i holds input bytes [i * 65280, (i + 1) * 65280)), and the
    // size of the whole file, the end-of-file marker included.
    const std::vector<std::uint64_t>& block_offsets() const noexcept { return block_offsets_; }
    std::uint64_t compressed_size() const noexcept { return written_; }

private:
    class Pool;

    void emit(std::string_view block);

    ByteSink sink_;
    std::unique_ptr<Pool> pool_;
    std::string pending_;
    std::uint64_t written_ = 0;
    std::vector<std::uint64_t> block_offsets_;
    bool finished_ = false;
    InterruptPoller poller_;
};

// Writes `destination` as BGZF from the bytes `produce` hands to `emit`, in
// pieces of any size, with the index settings.index asks for, whole or
// nothing: the index is built from the same bytes on the way; the new data
// and index replace the earlier ones only once both are complete, and no
// other index stays beside the destination, so none outlives the data it
// indexed. A text the index cannot hold (see TabixIndexBuilder) raises
// ValueError, naming the line with `namer`, and writes nothing.
void write_indexed_bgzf(const std::string& destination, const CompressionSettings& settings, const LineNamer& namer,
                        const std::function<void(const ByteSink& emit)>& produce);

// What writing `destination` replaces or removes: the file and the indexes
// that may lie beside it.
std::vector<std::string> written_beside(const std::string& destination);

// write_indexed_bgzf from the file `source_path`; returns `destination_path`.
// The source is opened first, so a missing source leaves the destination
// alone; a destination (or index beside it) naming the source is refused
// (ValueError).
std::string write_bgzf(const std::string& source_path, const std::string& destination_path,
                       const CompressionSettings& settings = {});

}  // namespace merivane::compression
