// The tabix index builder on arbitrary text: no fault of memory or
// arithmetic; the same index, or the same refusal, however the text is cut
// into pieces; and an index whose layout reads back (magic, sequence names,
// bins and chunks, linear index, the closing count) to its last byte.
//
// Input: one control byte, then the text. Control bit 0 chooses csi; the
// other bits (plus one) give the size of the pieces fed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/tabix_index.hpp"
#include "fuzz_support.hpp"
#include "platform/error.hpp"

using namespace merivane;
using namespace merivane::fuzz;
using namespace merivane::compression;

namespace {

struct Built {
    std::string index;
    std::string refusal;
};

Built build(std::string_view text, IndexFormat format, std::size_t piece) {
    Built out;
    TabixIndexBuilder builder(format, name_lines_of("fuzz.vcf"));
    std::vector<std::uint64_t> blocks;
    for (std::uint64_t at = 0; at < text.size(); at += kUncompressedBlockSize) blocks.push_back(blocks.size() * 30000);
    try {
        for (std::size_t at = 0; at < text.size(); at += piece) builder.feed(text.substr(at, piece));
        out.index = builder.finish(blocks, blocks.size() * 30000 + kBgzfEof.size());
    } catch (const ValueError& error) {
        out.refusal = error.what();
        check(out.refusal.starts_with("cannot index 'fuzz.vcf', line "), "refusal names the line");
    }
    return out;
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t take(int width) {
        check(at_ + static_cast<std::size_t>(width) <= bytes_.size(), "index ends early");
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes_[at_ + i]);
        at_ += static_cast<std::size_t>(width);
        return value;
    }
    std::string_view skip(std::size_t n) {
        check(at_ + n <= bytes_.size(), "index ends early");
        at_ += n;
        return bytes_.substr(at_ - n, n);
    }
    bool done() const { return at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

void check_layout(std::string_view index, IndexFormat format) {
    Reader in(index);
    const bool csi = format == IndexFormat::Csi;
    check(in.skip(4) == (csi ? std::string_view("CSI\1", 4) : std::string_view("TBI\1", 4)), "magic");
    std::uint64_t refs = 0;
    if (csi) {
        check(in.take(4) == 14, "min_shift");
        const std::uint64_t levels = in.take(4);
        check(levels >= 6 && levels <= 9, "depth");
        const std::uint64_t meta = in.take(4);
        check(meta >= 28, "aux size");
        in.skip(meta);
        refs = in.take(4);
    } else {
        refs = in.take(4);
        check(in.take(4) == 2, "VCF preset");
        in.skip(20);
        in.skip(in.take(4));
    }
    for (std::uint64_t r = 0; r < refs; ++r) {
        const std::uint64_t bins = in.take(4);
        check(bins >= 2, "a sequence has a bin and its pseudo-bin");
        for (std::uint64_t b = 0; b < bins; ++b) {
            in.take(4);
            if (csi) in.take(8);
            const std::uint64_t chunks = in.take(4);
            check(chunks >= 1, "a bin has a chunk");
            for (std::uint64_t c = 0; c < chunks; ++c) in.skip(16);
        }
        if (!csi) in.skip(8 * in.take(4));
    }
    check(in.take(8) == 0, "no unplaced records");
    check(in.done(), "bytes after the index");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    silence_logs();
    const IndexFormat format = bytes[0] & 1 ? IndexFormat::Csi : IndexFormat::Tbi;
    const std::size_t piece = (bytes[0] >> 1) + 1u;
    const std::string_view text(reinterpret_cast<const char*>(bytes + 1), size - 1);
    const Built whole = build(text, format, text.size() + 1);
    const Built cut = build(text, format, piece);
    check(whole.index == cut.index && whole.refusal == cut.refusal, "pieces change the result");
    if (whole.refusal.empty()) check_layout(whole.index, format);
    return 0;
}
