// The .tbi or .csi index of a BGZF-compressed VCF, built from the text on its
// way into the compressor, so the compressed file is never read back. Its
// bytes are those `tabix [--csi] -p vcf` writes: the same intervals (POS, REF
// length, INFO END), bins, bin order and lines skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compression/settings.hpp"

namespace merivane::compression {

// Names a line, by its 1-based number, in an error message ("'u.vcf', line 12").
using LineNamer = std::function<std::string(std::uint64_t line_number)>;

LineNamer name_lines_of(std::string path);

class TabixIndexBuilder {
public:
    TabixIndexBuilder(IndexFormat format, LineNamer namer);
    ~TabixIndexBuilder();

    // The next bytes as they go to the BGZF writer, in pieces of any size.
    // ValueError, naming the line, at the first record the index cannot hold:
    // a chromosome's records not together, a position lower than the one
    // before it, or a record beyond what the format addresses.
    void feed(std::string_view data);

    // The index's bytes before its own compression, given BgzfWriter's
    // block_offsets() and compressed_size(). Once, after the last feed().
    std::string finish(const std::vector<std::uint64_t>& block_offsets, std::uint64_t compressed_size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

inline std::string index_path(const std::string& destination, IndexFormat format) {
    return destination + (format == IndexFormat::Tbi ? ".tbi" : ".csi");
}

}  // namespace merivane::compression
