#include "platform/text_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/error.hpp"
#include "platform/file_io.hpp"

namespace merivane {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// Raw bytes decoded per step: small enough to stay in cache between the
// read, the check and the copy.
constexpr std::size_t kReadChunk = 1 << 16;
// Room a step needs: a chunk and a carried partial character.
constexpr std::size_t kStepRoom = kReadChunk + 8;
// A whole reading of unknown length is kept in pieces joined at the end, so
// no growing buffer is ever copied whole.
constexpr std::size_t kPiece = std::size_t{64} << 20;
// Below this, a whole reading grows its text by half at a time.
constexpr std::size_t kSmallText = std::size_t{4} << 20;
// How much of a file's start the wrong-file hints of a decode error look at.
constexpr std::size_t kHeadSize = 1 << 16;
// How far past a decode error its line is read to show it whole.
constexpr std::size_t kLineTail = 1 << 16;
// Editors and spreadsheets put it first; left in, "##fileformat" would no
// longer start with "#".
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// UTF-8 allows NUL, but no text input holds one, and a crash often leaves a
// file's tail as zeros.
constexpr const char* kNulReason = "NUL byte in text";

struct Utf8Fault {
    std::size_t start;
    std::size_t end;
    const char* reason;  // nullptr: valid
};

// Strict UTF-8 as Python's decoder checks it: no overlong forms, surrogates
// or code points past U+10FFFF. A sequence cut off by the end of `text` is
// "unexpected end of data" `at_end`, else "incomplete" (it goes on in the
// next chunk). In a file's text (`files`) a NUL byte is a fault too.
Utf8Fault find_utf8_fault(std::string_view text, bool at_end, bool files = false) {
    const std::uint64_t stop_mask = 0x8080808080808080ULL;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Fast path over ASCII (without NUL, for a file), eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            const std::uint64_t zero_bytes = files ? (word - 0x0101010101010101ULL) & ~word : 0;
            if ((word | zero_bytes) & stop_mask) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c == 0 && files) return {i, i + 1, kNulReason};
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return {i, i + 1, "invalid start byte"};
        }
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= n) {
                return {i, n, at_end ? "unexpected end of data" : "incomplete"};
            }
            if (s[i + k] < lo || s[i + k] > hi) return {i, i + k, "invalid continuation byte"};
            // Only the second byte has narrower bounds.
            lo = 0x80;
            hi = 0xBF;
        }
        i += need + 1;
    }
    return {n, n, nullptr};
}

// The first `size` bytes of `fd` (fewer at its end), whatever sizes reads give.
std::string read_head(int fd, std::size_t size, const std::string& path) {
    std::string head(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const std::size_t n = read_some(fd, head.data() + got, size - got, path);
        if (n == 0) break;
        got += n;
    }
    head.resize(got);
    return head;
}

bool starts_gzip(std::string_view bytes) { return bytes.starts_with("\x1f\x8b"); }

// BGZF: a gzip header with FEXTRA set and first an extra subfield "BC" of length 2.
bool is_bgzf_header(std::string_view head) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(head[i]); };
    return head.size() >= 18 && byte(0) == 0x1f && byte(1) == 0x8b && (byte(3) & 4) && byte(12) == 'B' &&
           byte(13) == 'C' && byte(14) == 2 && byte(15) == 0;
}

// Line breaks, decoded or not: "\n", "\r\n" and a lone "\r" each end a line.
std::uint64_t count_line_breaks(std::string_view text) {
    auto count = static_cast<std::uint64_t>(std::ranges::count(text, '\n'));
    for (std::size_t cr = text.find('\r'); cr != std::string_view::npos; cr = text.find('\r', cr + 1)) {
        if (cr + 1 == text.size() || text[cr + 1] != '\n') ++count;
    }
    return count;
}

// The first few kilobytes a gzip stream decompresses to, as far as it goes.
std::string inflate_start(std::string_view compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return {};
    std::string out(4096, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    inflate(&stream, Z_SYNC_FLUSH);
    out.resize(out.size() - stream.avail_out);
    inflateEnd(&stream);
    return out;
}

// `file_start`: the file's first bytes (up to kHeadSize, or none), where the
// hints look, so every way of reading one file gives the same error.
[[noreturn]] void throw_decode_error(std::string_view raw, const Utf8Fault& fault, const std::string& path,
                                     std::uint64_t first_line, std::string_view file_start) {
    // The offending line only, with its line break: the input can be gigabytes.
    const std::size_t line_start = raw.substr(0, fault.start).find_last_of("\r\n") + 1;  // npos + 1: 0
    std::size_t line_end = std::min(raw.find_first_of("\r\n", fault.end), raw.size());
    if (line_end < raw.size()) line_end += raw.substr(line_end, 2) == "\r\n" ? 2 : 1;
    UnicodeDecodeError error(std::string(raw.substr(line_start, line_end - line_start)), fault.start - line_start,
                             fault.end - line_start, fault.reason);
    const std::uint64_t line = first_line + count_line_breaks(raw.substr(0, fault.start));
    error.add_note("while reading " + path + ", line " + std::to_string(line));
    // Bytes that are not UTF-8 usually mean the wrong file, not a bad line:
    // say which, so the user does not hunt for an encoding problem. NUL bytes
    // after some text are what a crash leaves of a file's tail.
    if (fault.reason == kNulReason && line > 1) {
        error.add_note(path + " holds NUL bytes: not a text file, or torn by a crash?");
        throw error;
    }
    // Compressed bytes read as text: the gzip reading gave up.
    const bool gzip = starts_gzip(file_start);
    const std::string inflated = gzip ? inflate_start(file_start) : std::string();
    const std::string_view start = gzip ? std::string_view(inflated) : file_start.substr(0, 4096);
    if (start.find('\0') != std::string_view::npos) {
        error.add_note(path + " holds binary data, not text (a BAM or CRAM file?)");
    } else if (gzip) {
        error.add_note(path + " is gzip data cut short or damaged");
    }
    throw error;
}

// A gzip stream's inflation state (any gzip header), ended with its owner.
struct Inflater {
    z_stream stream{};
    Inflater() {
        if (inflateInit2(&stream, 15 + 16) != Z_OK) throw RuntimeError("zlib could not be initialised");
    }
    ~Inflater() { inflateEnd(&stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

// Skips the zero padding that may follow a member; whether input is left.
bool skip_padding(z_stream& stream) {
    for (; stream.avail_in > 0 && *stream.next_in == 0; --stream.avail_in) ++stream.next_in;
    return stream.avail_in > 0;
}

// Rewrites "\r\n" and lone "\r" as "\n", appending to `out`.
void append_normalised(std::string& out, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t cr = std::min(text.find('\r', pos), text.size());
        out.append(text.substr(pos, cr - pos));
        if (cr == text.size()) return;
        out.push_back('\n');
        pos = cr + 1;
        if (pos < text.size() && text[pos] == '\n') ++pos;
    }
}

// Room for exactly `capacity` characters (a string's own reserve may double).
void reserve_exactly(std::string& text, std::size_t capacity) {
    if (capacity <= text.capacity()) return;
    std::string bigger;
    bigger.reserve(std::max<std::size_t>(capacity, 64));
    bigger.append(text);
    text.swap(bigger);
}

}  // namespace

void validate_utf8(std::string_view text, const std::string& path, std::uint64_t first_line) {
    const Utf8Fault fault = find_utf8_fault(text, true);
    if (fault.reason != nullptr) {
        throw_decode_error(text, fault, path, first_line,
                           first_line == 1 ? text.substr(0, kHeadSize) : std::string_view());
    }
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = std::min(text.find('\n', pos), text.size() - 1) + 1;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

LineBuffer::LineBuffer(std::string text)
    : text_(std::make_unique<std::string>(std::move(text))), lines_(split_lines(*text_)) {}

struct TextReader::GzipState : Inflater {
    std::string input = std::string(kChunk, '\0');  // raw bytes read, not yet inflated
    bool member_open = false;  // inside a member (header seen, end not yet)
    bool member_ended = false;  // at least one member read to its end
    std::uint64_t member_output = 0;  // bytes the last member opened inflated to (0: BGZF's EOF block)
    bool input_finished = false;
};

TextReader::TextReader(const std::string& path, Compression compression)
    : TextReader(path, UniqueFd(open_for_reading(path)), compression) {}

// The magic test's bytes are kept, not read again, so a pipe reads whole.
TextReader::TextReader(const std::string& path, UniqueFd fd, Compression compression)
    : TextReader(path, compression == Compression::DetectByMagic ? read_head(fd.get(), 2, path) : std::string(),
                 compression) {
    fd_ = std::move(fd);
}

TextReader::TextReader(const std::string& path, std::string bytes, Compression compression)
    : path_(path), taken_(std::move(bytes)) {
    if (compression == Compression::Gzip || (compression == Compression::DetectByMagic && starts_gzip(taken_))) {
        gzip_ = std::make_unique<GzipState>();
    }
}

std::size_t TextReader::read_source(char* out, std::size_t capacity) {
    std::size_t n = 0;
    if (!taken_.empty()) {
        n = taken_.copy(out, capacity);
        taken_.erase(0, n);
    } else if (fd_) {
        n = read_some(fd_.get(), out, capacity, path_);
    }
    // Kept for the plain reading of a file that proves not to be gzip.
    if (gzip_ && raw_head_.size() < kHeadSize) raw_head_.append(out, std::min(n, kHeadSize - raw_head_.size()));
    return n;
}

TextReader::~TextReader() = default;

bool TextReader::bgzf_without_eof_block() const noexcept {
    return finished_ && gzip_ && gzip_->member_ended && is_bgzf_header(raw_head_) && gzip_->member_output != 0;
}

std::size_t TextReader::read_raw(char* out, std::size_t capacity) {
    if (!gzip_) return read_source(out, capacity);

    GzipState& gz = *gzip_;
    std::size_t produced = 0;
    while (produced == 0) {
        if (gz.stream.avail_in == 0 && !gz.input_finished) {
            gz.stream.next_in = reinterpret_cast<Bytef*>(gz.input.data());
            gz.stream.avail_in = static_cast<uInt>(read_source(gz.input.data(), gz.input.size()));
            gz.input_finished = gz.stream.avail_in == 0;
        }
        if (!gz.member_open) {
            // Padding follows a member; a file that starts with zeros is not gzip.
            if (gz.member_ended) skip_padding(gz.stream);
            if (gz.stream.avail_in == 0) {
                if (gz.input_finished) return 0;
                continue;
            }
            gz.member_open = true;
            gz.member_output = 0;
        }
        gz.stream.next_out = reinterpret_cast<Bytef*>(out);
        gz.stream.avail_out = static_cast<uInt>(capacity);
        const int rc = inflate(&gz.stream, Z_NO_FLUSH);
        produced = capacity - gz.stream.avail_out;
        gz.member_output += produced;
        if (rc == Z_STREAM_END) {
            gz.member_open = false;
            gz.member_ended = true;
            inflateReset(&gz.stream);
        } else if (rc == Z_BUF_ERROR) {
            if (gz.stream.avail_in == 0 && gz.input_finished) {
                throw CorruptInputError("Compressed file ended before the end-of-stream marker was reached", true);
            }
        } else if (rc != Z_OK) {
            throw CorruptInputError(std::string("Not a valid gzip file: ") +
                                        (gz.stream.msg ? gz.stream.msg : "corrupt compressed data"),
                                    false);
        }
    }
    return produced;
}

void TextReader::decode_append(const char* data, std::size_t size, bool at_end) {
    if (size > 0 && head_.size() < kHeadSize) head_.append(data, std::min(size, kHeadSize - head_.size()));
    std::string joined;
    std::string_view in(data, size);
    if (!carry_.empty()) {
        in = joined.assign(carry_).append(data, size);
        carry_.clear();
    }
    if (at_start_) {
        // The mark may arrive a byte at a time (a FIFO's small writes).
        if (!at_end && in.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(in)) {
            carry_.assign(in);
            return;
        }
        marked_ = in.starts_with(kByteOrderMark);
        if (marked_) in.remove_prefix(kByteOrderMark.size());
        at_start_ = false;
    }
    const Utf8Fault fault = find_utf8_fault(in, at_end, true);
    std::size_t usable = in.size();
    if (fault.reason != nullptr) {
        if (std::strcmp(fault.reason, "incomplete") != 0) report_decode_error(in, fault.start, fault.end, fault.reason);
        usable = fault.start;
    }
    // A "\r" at the end of a chunk may be the first half of "\r\n".
    if (!at_end && usable > 0 && in[usable - 1] == '\r') --usable;
    carry_.assign(in.substr(usable));
    append_normalised(text_, in.substr(0, usable));
}

void TextReader::report_decode_error(std::string_view in, std::size_t start, std::size_t end, const char* reason) {
    // The whole line and its number, as if the file were read in one piece:
    // the line may begin in text decoded earlier and end in bytes not yet read.
    const std::string_view pending = std::string_view(text_).substr(consumed_);
    std::uint64_t line = line_number_ + count_line_breaks(pending);
    for (const std::string& piece : pieces_) line += count_line_breaks(piece);
    // Back through the pending text, then the pieces, to the line's start.
    std::string raw;
    for (std::size_t back = 0; back <= pieces_.size(); ++back) {
        const std::string_view text = back == 0 ? pending : std::string_view(pieces_[pieces_.size() - back]);
        const std::size_t cut = text.rfind('\n');
        raw.insert(0, cut == std::string_view::npos ? text : text.substr(cut + 1));
        if (cut != std::string_view::npos) break;
    }
    const std::size_t offset = raw.size();
    raw.append(in);
    // On to the end of the line and of the file's first bytes (for the hints).
    bool line_ended = raw.find_first_of("\r\n", offset + end) != std::string::npos;
    try {
        char chunk[4096];
        for (std::size_t read = 0; !finished_ && read < kLineTail && (!line_ended || head_.size() < kHeadSize);) {
            const std::size_t n = read_raw(chunk, sizeof chunk);
            if (n == 0) break;
            read += n;
            const std::string_view more(chunk, n);
            if (head_.size() < kHeadSize) head_.append(more.substr(0, kHeadSize - head_.size()));
            if (!line_ended) {
                raw.append(more);
                line_ended = more.find_first_of("\r\n") != std::string_view::npos;
            }
        }
    } catch (const Error&) {
        // The rest is unreadable: the decode error stands.
    }
    torn_ = reason == kNulReason && line + count_line_breaks(std::string_view(raw).substr(0, offset + start)) > 1;
    throw_decode_error(raw, Utf8Fault{offset + start, offset + end, reason}, path_, line, head_);
}

void TextReader::make_room(std::size_t expected) {
    if (text_.capacity() - text_.size() >= kStepRoom) return;
    if (text_.size() >= kPiece) {
        pieces_.push_back(std::move(text_));
        text_ = std::string();
        reserve_exactly(text_, kPiece + kStepRoom);
    } else if (text_.size() + expected > kSmallText || text_.size() >= kSmallText) {
        // Room for a whole piece at once: pages not yet written cost no
        // memory, and the text is moved at most once.
        reserve_exactly(text_, std::max(kPiece, text_.size() + expected) + kStepRoom);
    } else {
        reserve_exactly(text_, text_.size() + std::max({text_.size() / 2, expected, kStepRoom}));
    }
}

bool TextReader::fill() {
    if (finished_) return false;
    poller_.poll();
    char chunk[kReadChunk];
    const std::size_t n = read_raw(chunk, sizeof chunk);
    finished_ = n == 0;
    // At the end this decodes what was carried, or raises its error.
    decode_append(chunk, n, finished_);
    return !finished_;
}

bool TextReader::next_line(std::string& line) {
    for (;;) {
        const std::size_t nl = text_.find('\n', consumed_);
        if (nl != std::string::npos) {
            line.assign(text_, consumed_, nl + 1 - consumed_);
            consumed_ = nl + 1;
            ++line_number_;
            if (consumed_ > kChunk) {
                text_.erase(0, consumed_);
                consumed_ = 0;
            }
            return true;
        }
        // Once the input is finished, the text left is the last line.
        if (!fill()) {
            if (consumed_ == text_.size()) return false;
            line.assign(text_, consumed_, std::string::npos);
            consumed_ = text_.size();
            return true;
        }
    }
}

std::string TextReader::read_all() {
    text_.erase(0, consumed_);
    consumed_ = 0;
    // A plain regular file bounds its text: room for all of it, never moved.
    std::size_t expected = 0;
    if (!gzip_) {
        expected = taken_.size() + carry_.size() + (fd_ ? size_left(fd_.get()) : 0);
        reserve_exactly(text_, text_.size() + expected + kStepRoom);
    }
    do {
        make_room(expected);
    } while (fill());
    // Unused room is address space only; fitting the text would copy it.
    if (pieces_.empty()) return std::move(text_);
    // Each piece is freed once copied: never much more than one copy held.
    std::size_t total = text_.size();
    for (const std::string& piece : pieces_) total += piece.size();
    std::string all;
    all.reserve(total);
    for (std::string& piece : pieces_) all.append(std::exchange(piece, {}));
    pieces_.clear();
    all.append(std::exchange(text_, {}));
    return all;
}

GzipLayout gzip_layout(const std::string& path) {
    const UniqueFd file(open_for_reading(path));
    const int fd = file.get();
    std::string head = read_head(fd, 18, path);
    if (!starts_gzip(head)) return GzipLayout::NotGzip;
    if (is_bgzf_header(head)) return GzipLayout::Bgzf;

    Inflater inflater;
    z_stream& stream = inflater.stream;
    // The head already read is inflated first: no seek back, so a pipe works.
    stream.next_in = reinterpret_cast<Bytef*>(head.data());
    stream.avail_in = static_cast<uInt>(head.size());
    std::string input(kChunk, '\0');
    std::string output(kChunk, '\0');
    // The next bytes of the file to inflate; false at its end.
    const auto refill = [&] {
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(read_some(fd, input.data(), input.size(), path));
        return stream.avail_in > 0;
    };
    for (;;) {
        check_interrupt();  // a megabyte of output per turn
        // Truncated: the readers report that.
        if (stream.avail_in == 0 && !refill()) return GzipLayout::SingleMember;
        stream.next_out = reinterpret_cast<Bytef*>(output.data());
        stream.avail_out = static_cast<uInt>(output.size());
        const int rc = inflate(&stream, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return GzipLayout::SingleMember;
    }
    // Anything but zero padding after the first member is another member.
    for (;;) {
        if (skip_padding(stream)) return GzipLayout::SeveralMembers;
        if (!refill()) return GzipLayout::SingleMember;
    }
}

LineBuffer read_lines_gzip_or_plain(const std::string& path) {
    // One pass over the bytes, so an endless input fails at its first bad bytes.
    TextReader reader(path, Compression::DetectByMagic);
    if (!reader.compressed()) return LineBuffer(reader.read_all());
    try {
        return LineBuffer(reader.read_all());
    } catch (const OSError&) {
        throw;  // a failed read says nothing about what the file holds
    } catch (const UnicodeDecodeError&) {
        // Sound gzip text torn by NUL bytes past its first line: the gzip
        // reading knows the line.
        if (reader.torn_) throw;
    } catch (const Error&) {
        // Not gzip after all (or not text inside): the plain reading decides.
        // Anything else (out of memory, an interrupt) passes unchanged.
    }
    // The gzip magic is never UTF-8 (0x8b cannot begin a character): the plain
    // reading fails on the first line and needs only the file's first bytes,
    // which the gzip reading kept, perhaps after a first short read.
    char chunk[4096];
    while (reader.raw_head_.size() < kHeadSize && reader.read_source(chunk, sizeof chunk) > 0) {
    }
    TextReader plain(path, std::move(reader.raw_head_), Compression::Plain);
    return LineBuffer(plain.read_all());
}

}  // namespace merivane
