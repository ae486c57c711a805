// The .tbi or .csi index of a BGZF-compressed VCF, built from the text on its
// way into the compressor, so the compressed file is never read back. The
// index holds exactly what `tabix -p vcf` (or `tabix --csi -p vcf`) would
// write for the same file: the same record intervals (POS, REF length, INFO
// END), the same bins, chunks, linear index and pseudo-bins, the same bin
// order, and the same lines skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compression/settings.hpp"

namespace merivane::compression {

// Names a line of the text in an error message ("'u.vcf', line 12"); given
// the 1-based number of the line among the bytes fed.
using LineNamer = std::function<std::string(std::uint64_t line_number)>;

// "'<path>', line <n>".
LineNamer name_lines_of(std::string path);

class TabixIndexBuilder {
public:
    TabixIndexBuilder(IndexFormat format, LineNamer namer);
    ~TabixIndexBuilder();
    TabixIndexBuilder(const TabixIndexBuilder&) = delete;
    TabixIndexBuilder& operator=(const TabixIndexBuilder&) = delete;

    // The next bytes of the uncompressed file, exactly as they go to the
    // BGZF writer, in pieces of any size. ValueError, naming the line, at
    // the first record the index cannot hold: a chromosome whose records
    // are not together, a position lower than the one before it on the same
    // chromosome, or a record reaching beyond what the format addresses.
    void feed(std::string_view data);

    // The index file's bytes (before its own BGZF compression), given the
    // compressed start offset of every data block of the file (block i holds
    // input bytes [i * 65280, (i + 1) * 65280)) and the file's total size,
    // its end-of-file marker included. Call once, after the last feed().
    std::string finish(const std::vector<std::uint64_t>& block_offsets, std::uint64_t compressed_size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// "<destination>.tbi" or "<destination>.csi".
std::string index_path(const std::string& destination, IndexFormat format);

}  // namespace merivane::compression
