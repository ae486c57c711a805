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

// BGZF and its indexes store integers little-endian.
template <std::unsigned_integral Unsigned>
void put_le(std::string& out, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// One reusable deflate state: zlib at level 9 (the long-standing bytes),
// libdeflate elsewhere when built in (faster, and bgzip's bytes), else zlib.
class BlockCompressor {
public:
    explicit BlockCompressor(int level = kDefaultLevel);
    ~BlockCompressor();

    // The whole block holding `data`, valid until the next call. ValueError
    // when it would exceed kMaxBlockSize.
    std::string_view compress(std::string_view data);

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
    std::string block_;
};

std::string bgzf_block(std::string_view data, int level = kDefaultLevel);

// The virtual offset of uncompressed offset `u`; as in htslib, a block's end
// is the next block's start, and the text's end the end-of-file marker's.
std::uint64_t virtual_offset(const std::vector<std::uint64_t>& block_offsets, std::uint64_t text_size,
                             std::uint64_t eof_offset, std::uint64_t u) noexcept;

// Where compressed bytes go, in order (a file, a test's string).
using ByteSink = std::function<void(std::string_view)>;

// Blocks of kUncompressedBlockSize input bytes, then the end-of-file marker.
// With threads > 1 workers compress and the calling thread alone emits (in
// order, the same bytes for every count) and polls for an interrupt. Any
// exception stops and joins the workers before it leaves the writer.
class BgzfWriter {
public:
    explicit BgzfWriter(ByteSink sink, const CompressionSettings& settings = {});
    ~BgzfWriter();

    void write(std::string_view data);
    // Writes what is left and the end-of-file marker to the sink.
    void finish();

    // After finish(): where each data block starts (block i holds input bytes
    // from i * 65280), and the file's size with its end-of-file marker.
    const std::vector<std::uint64_t>& block_offsets() const noexcept { return block_offsets_; }
    std::uint64_t compressed_size() const noexcept { return written_; }

private:
    class Pool;

    ByteSink sink_;
    std::unique_ptr<Pool> pool_;
    std::string pending_;
    std::uint64_t written_ = 0;
    std::vector<std::uint64_t> block_offsets_;
    bool finished_ = false;
    InterruptPoller poller_;
};

// Writes `destination` as BGZF from what `produce` hands to `emit`, with the
// index settings.index asks for, built on the way. Whole or nothing: data and
// index replace the earlier ones only once both are complete, and no other
// index stays beside them, so none outlives its data. A text the index cannot
// hold raises ValueError, naming the line with `namer`, and writes nothing.
void write_indexed_bgzf(const std::string& destination, const CompressionSettings& settings, const LineNamer& namer,
                        const std::function<void(const ByteSink& emit)>& produce);

// What writing `destination` replaces or removes: it and its indexes.
std::vector<std::string> written_beside(const std::string& destination);

// write_indexed_bgzf from the file `source_path`; returns `destination_path`.
// The source is opened first, so a missing one leaves the destination alone;
// a destination (or index beside it) naming the source is a ValueError.
std::string write_bgzf(const std::string& source_path, const std::string& destination_path,
                       const CompressionSettings& settings = {});

}  // namespace merivane::compression
