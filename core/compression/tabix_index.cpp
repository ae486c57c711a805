#include "compression/tabix_index.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <unordered_map>
#include <utility>

#include "compression/bgzf.hpp"
#include "platform/error.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::compression {

namespace {

// What tabix -p vcf records in the index: preset VCF, sequence column 1,
// begin column 2, no end column, meta character '#', no skipped lines.
constexpr std::int32_t kPresetVcf = 2;
constexpr std::int32_t kMetaChar = '#';
constexpr int kMinShift = 14;
constexpr int kTbiLevels = 5;
constexpr int kCsiLevels = 6;  // (31 - 14 + 2) / 3: tabix --csi before widening
// Deeper than this and bin numbers no longer fit an int.
constexpr int kMostLevels = 9;
// A bin whose chunks span less than one compressed block's worth goes into
// its parent.
constexpr std::uint64_t kMinMarkerDistance = 0x10000;
constexpr std::uint64_t kUnset = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kNone = 0xffffffffu;  // no bin, or no chromosome, yet

struct Chunk {
    std::uint64_t u;
    std::uint64_t v;
};

struct Bin {
    std::vector<Chunk> chunks;
    std::uint64_t loff = 0;
};

// Bin numbers -> bins, laid out as htslib's khash lays out an integer map
// (identity hash, quadratic probing, power-of-two sizes, 0.77 load, in-place
// rehash): index files list bins in bucket order, so the layout is in the bytes.
class BinTable {
public:
    std::uint32_t buckets() const noexcept { return n_buckets_; }
    std::uint32_t size() const noexcept { return size_; }
    bool live(std::uint32_t b) const noexcept { return (flags_[b] & kEither) == 0; }
    std::uint32_t key(std::uint32_t b) const noexcept { return keys_[b]; }
    Bin& bin(std::uint32_t b) noexcept { return vals_[b]; }
    const Bin& bin(std::uint32_t b) const noexcept { return vals_[b]; }

    // The bin of `key`, or nullptr; the table holds a bin already.
    Bin* find(std::uint32_t key) noexcept {
        const std::uint32_t i = probe(key);
        return (flags_[i] & kEither) ? nullptr : &vals_[i];
    }

    // The bucket holding `key`, a new empty bin there if it was absent. No
    // insertion follows an erase, so a free bucket is always an empty one.
    std::uint32_t put(std::uint32_t key) {
        if (size_ >= upper_bound_) grow();
        const std::uint32_t i = probe(key);
        if (flags_[i] & kEmpty) {
            keys_[i] = key;
            vals_[i] = Bin{};
            flags_[i] = 0;
            ++size_;
        }
        return i;
    }

    // `b` holds a bin.
    void erase(std::uint32_t b) noexcept {
        flags_[b] |= kDeleted;
        vals_[b] = Bin{};
        --size_;
    }

private:
    static constexpr std::uint8_t kDeleted = 1;
    static constexpr std::uint8_t kEmpty = 2;
    static constexpr std::uint8_t kEither = 3;

    // The bucket holding `key`, or the empty one where the probe ends.
    std::uint32_t probe(std::uint32_t key) const noexcept {
        const std::uint32_t mask = n_buckets_ - 1;
        std::uint32_t i = key & mask;
        for (std::uint32_t step = 0; !(flags_[i] & kEmpty) && ((flags_[i] & kDeleted) || keys_[i] != key);) {
            i = (i + ++step) & mask;
        }
        return i;
    }

    // Twice the buckets (four at first), rehashed in place.
    void grow() {
        const std::uint32_t n = n_buckets_ == 0 ? 4 : 2 * n_buckets_;
        std::vector<std::uint8_t> fresh(n, kEmpty);
        const std::uint32_t old = n_buckets_;
        keys_.resize(n);
        vals_.resize(n);
        const std::uint32_t mask = n - 1;
        // An entry found in the new bucket that has not moved yet is kicked out and placed next.
        for (std::uint32_t j = 0; j != old; ++j) {
            if (!live(j)) continue;
            std::uint32_t key = keys_[j];
            Bin val = std::move(vals_[j]);
            flags_[j] |= kDeleted;
            while (true) {
                std::uint32_t i = key & mask;
                std::uint32_t step = 0;
                while (!(fresh[i] & kEmpty)) i = (i + ++step) & mask;
                fresh[i] &= static_cast<std::uint8_t>(~kEmpty);
                if (i < old && live(i)) {
                    std::swap(key, keys_[i]);
                    std::swap(val, vals_[i]);
                    flags_[i] |= kDeleted;
                } else {
                    keys_[i] = key;
                    vals_[i] = std::move(val);
                    break;
                }
            }
        }
        flags_ = std::move(fresh);
        n_buckets_ = n;
        upper_bound_ = static_cast<std::uint32_t>(n * 0.77 + 0.5);
    }

    std::uint32_t n_buckets_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t upper_bound_ = 0;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint8_t> flags_;
    std::vector<Bin> vals_;
};

constexpr std::uint32_t bin_first(int level) { return ((1u << (3 * level)) - 1) / 7; }
constexpr std::uint32_t bin_parent(std::uint32_t bin) { return (bin - 1) >> 3; }

int bin_level(std::uint32_t bin) {
    int level = 0;
    for (; bin; bin = bin_parent(bin)) ++level;
    return level;
}

// The smallest bin holding [beg, end).
std::uint32_t region_to_bin(std::int64_t beg, std::int64_t end, int min_shift, int levels) {
    int shift = min_shift;
    std::uint32_t first = bin_first(levels);
    --end;
    for (int level = levels; level > 0; --level, shift += 3, first -= 1u << (3 * level)) {
        if (beg >> shift == end >> shift) return first + static_cast<std::uint32_t>(beg >> shift);
    }
    return 0;
}

// C's strtoll from `at` (up to a NUL), as tabix reads a field: with base 0,
// "0x10" is 16 and "010" is 8. nullopt when no digits were read.
std::optional<long long> read_integer(std::string_view text, std::size_t at, int base) {
    // Decimal digits that fit, the usual field, read without copying the rest of the line.
    long long value = 0;
    if (at < text.size() && text[at] >= '1' && text[at] <= '9' &&
        std::from_chars(text.data() + at, text.data() + text.size(), value).ec == std::errc()) {
        return value;
    }
    const std::string copy(text.substr(at));
    char* stop = nullptr;
    const int saved = errno;
    value = std::strtoll(copy.c_str(), &stop, base);
    errno = saved;
    return stop == copy.c_str() ? std::nullopt : std::optional(value);
}

struct Interval {
    std::string_view chromosome;
    std::int64_t beg;  // 0-based
    std::int64_t end;  // exclusive
};

// A record's interval as tabix reads it: [POS - 1, POS - 1 + length of REF),
// or to INFO END when beyond the start. nullopt for a line tabix skips (fewer
// than two fields, a POS without digits). No field after INFO is read.
std::optional<Interval> read_interval(std::string_view line) {
    std::size_t ends[8];  // where each field ends
    int fields = 0;
    for (std::size_t at = 0; fields < 8 && at <= line.size(); at = ends[fields++] + 1) {
        ends[fields] = std::min(line.find('\t', at), line.size());
        // tabix splits at a NUL byte as at a tab.
        const std::size_t nul = line.substr(at, ends[fields] - at).find('\0');
        if (nul != std::string_view::npos) ends[fields] = at + nul;
    }
    if (fields < 2) return std::nullopt;
    const auto pos = read_integer(line, ends[0] + 1, 0);
    if (!pos) return std::nullopt;
    Interval out{line.substr(0, ends[0]), std::max(*pos, 1LL) - 1, std::max(*pos, 1LL)};
    if (fields >= 4 && ends[3] > ends[2] + 1) {
        // Saturating: a POS near the 64-bit limit is refused as out of range.
        const auto length = static_cast<std::int64_t>(ends[3] - ends[2] - 1);
        out.end = std::min(out.beg, std::numeric_limits<std::int64_t>::max() - length) + length;
    }
    if (fields >= 8) {
        // END= at the start of INFO, else the first ";END=".
        const auto end = info_value(line.substr(ends[6] + 1, ends[7] - ends[6] - 1), "END");
        if (end && !end->starts_with('.')) {
            const long long value = read_integer(*end, 0, 0).value_or(0);
            // An END not beyond the start is ignored, as tabix does.
            if (value > out.beg) out.end = value;
        }
    }
    return out;
}

// The longest ##contig "length", read as tabix --csi reads it to size its bins.
void note_contig_length(std::string_view line, std::int64_t& longest) {
    line = line.substr(0, line.find('\0'));
    if (line.substr(0, 8) != "##contig") return;
    std::size_t at = line.find("length", 8);
    if (at == std::string_view::npos) return;
    at = std::min(line.find_first_not_of(" =", at + 6), line.size());
    longest = std::max<std::int64_t>(longest, read_integer(line, at, 10).value_or(0));
}

struct Contig {
    std::string name;
    BinTable bins;
    std::vector<std::uint64_t> linear;  // uncompressed offsets until finish; empty before a record
};

}  // namespace

LineNamer name_lines_of(std::string path) {
    return [path = std::move(path)](std::uint64_t line) {
        return "'" + path + "', line " + std::to_string(line);
    };
}

struct TabixIndexBuilder::State {
    State(IndexFormat format, LineNamer namer) : format(format), namer(std::move(namer)) {}
    IndexFormat format;
    LineNamer namer;
    int levels = 0;  // 0 while in the header
    std::uint32_t n_bins = 0;
    std::uint32_t meta_bin = 0;

    std::uint64_t taken = 0;        // bytes of the lines completed
    std::uint64_t line_number = 0;  // lines completed
    LineJoiner lines;

    std::uint64_t header_end = 0;   // offset after the last header line
    std::int64_t longest_contig = 0;

    std::vector<Contig> contigs;
    std::unordered_map<std::string, std::uint32_t> ids;

    // The running state of htslib's index builder; offsets uncompressed.
    std::uint32_t last_bin = kNone;
    std::uint32_t save_bin = kNone;
    std::int64_t last_coor = 0;
    std::uint32_t last_tid = kNone;
    std::uint32_t save_tid = kNone;
    std::uint64_t last_off = 0;
    std::uint64_t save_off = 0;
    std::uint64_t off_beg = 0;
    std::uint64_t n_mapped = 0;

    bool finished = false;

    std::uint32_t tid_of(std::string_view name) {
        if (last_tid != kNone && contigs[last_tid].name == name) return last_tid;
        const auto [it, added] = ids.try_emplace(std::string(name), static_cast<std::uint32_t>(contigs.size()));
        if (added) contigs.emplace_back().name = it->first;
        return it->second;
    }

    void add_chunk(Contig& contig, std::uint32_t bin, std::uint64_t u, std::uint64_t v) {
        contig.bins.bin(contig.bins.put(bin)).chunks.push_back({u, v});
    }

    // The pseudo-bin, in the same table: where the chromosome's records begin
    // and end, then their count (none unplaced).
    void add_meta(Contig& contig, std::uint64_t beg, std::uint64_t end) {
        add_chunk(contig, meta_bin, beg, end);
        // A second insertion, as htslib makes: the table may grow on it.
        add_chunk(contig, meta_bin, n_mapped, 0);
    }

    [[noreturn]] void refuse(const std::string& problem) const {
        throw ValueError("cannot index " + namer(line_number + 1) + ": " + problem);
    }

    // One line, its "\n" included unless it ends the text.
    void line(std::string_view text) {
        taken += text.size();
        if (text.ends_with('\n')) text.remove_suffix(1);
        if (text.ends_with('\r')) text.remove_suffix(1);
        const bool meta = !text.empty() && text.front() == kMetaChar;
        if (levels == 0 && meta) {
            if (format == IndexFormat::Csi) note_contig_length(text, longest_contig);
            header_end = taken;
        } else if (!meta) {
            if (levels == 0) start_records(true);
            if (const auto interval = read_interval(text)) push(*interval, taken);
        }
        ++line_number;
    }

    // At the first line that is not a header line (`widen`), or at the end
    // of a file that has none (not widened, as tabix does not).
    void start_records(bool widen) {
        levels = format == IndexFormat::Tbi ? kTbiLevels : kCsiLevels;
        if (format == IndexFormat::Csi && widen) {
            // Deep enough for the longest declared contig, as tabix --csi (saturating).
            const std::int64_t longest = std::min(longest_contig, std::numeric_limits<std::int64_t>::max() - 256) + 256;
            for (std::int64_t span = std::int64_t{1} << (kMinShift + 3 * levels); longest > span; span <<= 3) {
                if (++levels > kMostLevels) {
                    refuse("a ##contig line declares a length of " + std::to_string(longest_contig) +
                           ", more than a csi index can address");
                }
            }
        }
        n_bins = ((1u << (3 * levels + 3)) - 1) / 7;
        meta_bin = n_bins + 1;
        last_off = save_off = off_beg = header_end;
    }

    void push(const Interval& record, std::uint64_t end_offset) {
        const std::int64_t most = std::int64_t{1} << (kMinShift + 3 * levels);
        if (record.beg > most || record.end > most) {
            refuse("the record on " + std::string(record.chromosome) + " at " + std::to_string(record.beg + 1) +
                   " reaches position " + std::to_string(record.end) + ", beyond " + std::to_string(most) +
                   (format == IndexFormat::Tbi
                        ? ", the last a tbi index can address; write a csi index instead"
                        : ", the last a csi index can address for the contig lengths this header declares"));
        }
        const std::uint32_t tid = tid_of(record.chromosome);
        Contig& contig = contigs[tid];
        if (last_tid != tid) {
            if (!contig.linear.empty()) {
                refuse("the records of " + contig.name +
                       " are not together (they resume after another chromosome's); an index needs each chromosome's "
                       "records in one run");
            }
            last_tid = tid;
            last_bin = kNone;
        } else if (last_coor > record.beg) {
            refuse("position " + std::to_string(record.beg + 1) + " on " + contig.name + " follows position " +
                   std::to_string(last_coor + 1) + "; an index needs each chromosome's records in position order");
        }

        // Each 16 kb window the record touches, if still unset, starts here.
        const auto first_window = static_cast<std::size_t>(record.beg >> kMinShift);
        const auto last_window = static_cast<std::size_t>((record.end - 1) >> kMinShift);
        if (contig.linear.size() < last_window + 1) contig.linear.resize(last_window + 1, kUnset);
        std::replace(contig.linear.begin() + first_window, contig.linear.begin() + last_window + 1, kUnset, last_off);

        const std::uint32_t bin = region_to_bin(record.beg, record.end, kMinShift, levels);
        if (last_bin != bin) {
            if (save_bin != kNone) add_chunk(contigs[save_tid], save_bin, save_off, last_off);
            if (last_bin == kNone && save_bin != kNone) {
                // A new chromosome: the previous one's span and count.
                add_meta(contigs[save_tid], off_beg, last_off);
                n_mapped = 0;
                off_beg = last_off;
            }
            save_off = last_off;
            save_bin = last_bin = bin;
            save_tid = tid;
        }
        ++n_mapped;
        last_off = end_offset;
        last_coor = record.beg;
    }

    // Magic, format fields and sequence names: in a csi index as auxiliary
    // data after its bin layout, in a tbi index after the sequence count.
    std::string header() const {
        std::string meta;
        for (const std::int32_t field : {kPresetVcf, 1, 2, 0, kMetaChar, 0}) {
            put_le(meta, static_cast<std::uint32_t>(field));
        }
        std::uint64_t names_size = 0;
        for (const Contig& contig : contigs) names_size += contig.name.size() + 1;
        put_le(meta, static_cast<std::uint32_t>(names_size));
        for (const Contig& contig : contigs) meta.append(contig.name).push_back('\0');
        std::string out(format == IndexFormat::Csi ? "CSI\1" : "TBI\1", 4);
        if (format == IndexFormat::Csi) {
            put_le(out, std::uint32_t{kMinShift});
            put_le(out, static_cast<std::uint32_t>(levels));
            put_le(out, static_cast<std::uint32_t>(meta.size()));
            out.append(meta);
        }
        put_le(out, static_cast<std::uint32_t>(contigs.size()));
        if (format == IndexFormat::Tbi) out.append(meta);
        return out;
    }

    // Visits the real bins (not the pseudo-bin) numbered `from` or more, in bucket order.
    void for_each_bin(BinTable& bins, std::uint32_t from, auto visit) const {
        for (std::uint32_t b = 0; b < bins.buckets(); ++b) {
            if (bins.live(b) && bins.key(b) < n_bins && bins.key(b) >= from) visit(b);
        }
    }

    // The contig's offsets made virtual; each bin's smallest offset (csi)
    // taken from the linear index.
    void make_virtual(Contig& contig, const auto& to_virtual) const {
        BinTable& bins = contig.bins;
        // Windows before a record's first one take the next window's offset.
        for (std::size_t w = contig.linear.size() - 1; w-- > 0;) {
            if (contig.linear[w] == kUnset) contig.linear[w] = contig.linear[w + 1];
        }
        for (std::uint64_t& offset : contig.linear) offset = to_virtual(offset);
        for (std::uint32_t b = 0; b < bins.buckets(); ++b) {
            if (!bins.live(b)) continue;
            const std::uint32_t key = bins.key(b);
            std::vector<Chunk>& chunks = bins.bin(b).chunks;
            // The pseudo-bin's second pair holds counts, not offsets.
            const std::size_t offsets = key == meta_bin ? 1 : chunks.size();
            for (std::size_t i = 0; i < offsets; ++i) chunks[i] = {to_virtual(chunks[i].u), to_virtual(chunks[i].v)};
            if (key == meta_bin) continue;
            const int level = bin_level(key);
            const auto bottom = static_cast<std::size_t>(key - bin_first(level)) << (3 * (levels - level));
            bins.bin(b).loff = bottom < contig.linear.size() ? contig.linear[bottom] : 0;
        }
    }

    // Bins whose chunks span less than one block join their parent, deepest
    // level first; then chunks that meet in one block become one.
    void merge_bins(Contig& contig) const {
        BinTable& bins = contig.bins;
        const auto by_start = [](const Chunk& a, const Chunk& b) { return a.u < b.u; };
        for (int level = levels; level > 0; --level) {
            for_each_bin(bins, bin_first(level), [&](std::uint32_t b) {
                std::vector<Chunk>& chunks = bins.bin(b).chunks;
                if (level < levels) std::sort(chunks.begin(), chunks.end(), by_start);
                if ((chunks.back().v >> 16) - (chunks.front().u >> 16) >= kMinMarkerDistance) return;
                Bin* const parent = bins.find(bin_parent(bins.key(b)));
                if (!parent) return;
                parent->chunks.insert(parent->chunks.end(), chunks.begin(), chunks.end());
                bins.erase(b);
            });
        }
        for_each_bin(bins, 0, [&](std::uint32_t b) {
            std::vector<Chunk>& chunks = bins.bin(b).chunks;
            if (bins.key(b) == 0) std::sort(chunks.begin(), chunks.end(), by_start);
            std::size_t kept = 0;
            for (std::size_t i = 1; i < chunks.size(); ++i) {
                if (chunks[kept].v >> 16 >= chunks[i].u >> 16) {
                    chunks[kept].v = std::max(chunks[kept].v, chunks[i].v);
                } else {
                    chunks[++kept] = chunks[i];
                }
            }
            chunks.resize(kept + 1);
        });
    }

    // The bins (csi: with their smallest offsets), then the linear index (tbi).
    void put_contig(std::string& out, const Contig& contig) const {
        const BinTable& bins = contig.bins;
        put_le(out, bins.size());
        for (std::uint32_t b = 0; b < bins.buckets(); ++b) {
            if (!bins.live(b)) continue;
            const std::vector<Chunk>& chunks = bins.bin(b).chunks;
            put_le(out, bins.key(b));
            if (format == IndexFormat::Csi) put_le(out, bins.bin(b).loff);
            put_le(out, static_cast<std::uint32_t>(chunks.size()));
            for (const Chunk& chunk : chunks) {
                put_le(out, chunk.u);
                put_le(out, chunk.v);
            }
        }
        if (format == IndexFormat::Tbi) {
            put_le(out, static_cast<std::uint32_t>(contig.linear.size()));
            for (const std::uint64_t offset : contig.linear) put_le(out, offset);
        }
    }
};

TabixIndexBuilder::TabixIndexBuilder(IndexFormat format, LineNamer namer)
    : state_(std::make_unique<State>(format, std::move(namer))) {}

TabixIndexBuilder::~TabixIndexBuilder() = default;

void TabixIndexBuilder::feed(std::string_view data) {
    state_->lines.feed(data, [&s = *state_](std::string_view text) { s.line(text); });
}

std::string TabixIndexBuilder::finish(const std::vector<std::uint64_t>& block_offsets, std::uint64_t compressed_size) {
    State& s = *state_;
    if (s.finished) throw RuntimeError("the index was already finished");
    s.finished = true;
    // The line left without "\n", then the last chromosome's chunk and pseudo-bin.
    if (!s.lines.rest().empty()) s.line(s.lines.rest());
    if (s.levels == 0) s.start_records(false);
    if (s.save_tid != kNone) {
        Contig& last = s.contigs[s.save_tid];
        s.add_chunk(last, s.save_bin, s.save_off, s.taken);
        s.add_meta(last, s.off_beg, s.taken);
    }
    const std::uint64_t needed_blocks = (s.taken + kUncompressedBlockSize - 1) / kUncompressedBlockSize;
    if (block_offsets.size() != needed_blocks || compressed_size < kBgzfEof.size()) {
        throw RuntimeError("the compressed blocks do not match the text indexed");
    }
    const auto to_virtual = [&, eof = compressed_size - kBgzfEof.size()](std::uint64_t u) {
        return virtual_offset(block_offsets, s.taken, eof, u);
    };
    std::string out = s.header();
    for (Contig& contig : s.contigs) {
        s.make_virtual(contig, to_virtual);
        s.merge_bins(contig);
        s.put_contig(out, contig);
    }
    put_le(out, std::uint64_t{0});  // records without coordinates: none in a VCF
    return out;
}

}  // namespace merivane::compression
