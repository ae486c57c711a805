// BGZF, the blocked gzip that tabix indexes: each block a complete gzip
// member of at most 64 KiB that records its own size in a "BC" extra field,
// ended by an empty block as end-of-file marker. Any gzip reader also reads
// the whole file as the input bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "compression/settings.hpp"

namespace merivane::compression {

// Input bytes per block: 65280 incompressible bytes still fit in 65536.
inline constexpr std::size_t UNCOMPRESSED_BLOCK_SIZE = 65280;
inline constexpr std::size_t MAX_BLOCK_SIZE = 65536;

// The empty block that ends every BGZF file.
inline constexpr std::string_view BGZF_EOF{
    "\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    28};

// Builds blocks one after another on one deflate stream (raw deflate, level
// 9, 32 KiB window), reset between blocks rather than set up anew.
class BlockCompressor {
public:
    BlockCompressor();
    ~BlockCompressor();
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    // The whole block holding `data`, valid until the next call. ValueError
    // when it would exceed MAX_BLOCK_SIZE.
    std::string_view compress(std::string_view data);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::string block_;
};

std::string bgzf_block(std::string_view data);

// Compresses `source_path` into `destination_path`, streaming one chunk at a
// time, and returns `destination_path`. The source is opened before the
// destination is created, so a missing source leaves the destination alone;
// a destination naming the source itself is refused (ValueError) for the
// same reason. The destination appears whole or not at all (AtomicOutput):
// after a failure an earlier file there is left as it was.
std::string write_bgzf(const std::string& source_path, const std::string& destination_path,
                       const CompressionSettings& settings = {});

}  // namespace merivane::compression
