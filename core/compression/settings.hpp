// How a BGZF file is written. The defaults give the long-standing bytes:
// zlib at level 9, one thread, no index beside the file.
#pragma once

#include <cstdint>

#include <optional>

namespace merivane::compression {

// The index beside a BGZF file, `<file>.tbi` or `<file>.csi`, as tabix writes it.
enum class IndexFormat { Tbi, Csi };

// By chromosome name as text (the long-standing order, which tabix takes), or
// by the header's ##contig lines, as bcftools sort, Picard and GATK order them;
// chromosomes without a contig line then follow in text order.
enum class SortOrder { Text, Contig };

// The deflate levels, as the host's gzip module names them: 0 stores, 9
// (zlib's, the default when none is given) is the smallest.
inline constexpr int kMinLevel = 0;
inline constexpr int kMaxLevel = 9;
inline constexpr int kDefaultLevel = 9;

// Seconds spent writing a compressed file, by step; the records stream through
// all of them, so each step counts the time spent in its own work.
struct StageSeconds {
    double sort = 0;
    double compress = 0;
    double index = 0;
    std::uint64_t bytes = 0;  // and the compressed bytes written
};

struct CompressionSettings {
    // Compressing workers; the bytes are the same for every count. 1 starts no thread.
    int threads = 1;
    int level = kDefaultLevel;
    std::optional<IndexFormat> index;
    SortOrder order = SortOrder::Text;
    // Filled in when given.
    StageSeconds* seconds = nullptr;
};

}  // namespace merivane::compression
