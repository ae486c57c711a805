// The text reader on arbitrary bytes. Every input of the system goes through
// it, so beyond "never crashes" it must agree with itself: the whole-file and
// the streaming reading give the same lines or the same error, gzip and plain
// readings of the same text agree, and a cut-off gzip file is an error, never
// a shorter text.
//
// Input: one control byte, then the payload.
//   bit 3: put the payload just after 64 KiB of padding, less (bits 0-2)
//          bytes, so that its first bytes straddle the reader's chunk
//          boundary (split UTF-8 sequences, a "\r" before "\n");
//   bits 4-5: which further check runs (each reading costs a file's worth
//          of buffers, so one per input keeps the fuzzer fast): the text
//          gzip-packed, the packing cut short, or the payload itself as gzip;
//   bits 6-7: where the gzip packing is split into two members, and the
//          length of zero padding after the last one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "platform/text_reader.hpp"

using namespace merivane;
using merivane::fuzz::as_read;
using merivane::fuzz::universal_newlines;
using merivane::fuzz::capture;
using merivane::fuzz::check;
using merivane::fuzz::Outcome;
using merivane::fuzz::same;

namespace {

std::vector<std::string> whole(const std::string& path, Compression compression) {
    const LineBuffer buffer(TextReader(path, compression).read_all());
    return {buffer.lines().begin(), buffer.lines().end()};
}

std::vector<std::string> streamed(const std::string& path, Compression compression) {
    TextReader reader(path, compression);
    std::vector<std::string> lines;
    std::string line;
    while (reader.next_line(line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> either(const std::string& path) {
    const LineBuffer buffer = read_lines_gzip_or_plain(path);
    return {buffer.lines().begin(), buffer.lines().end()};
}

// Strict UTF-8 without NUL, decoded code point by code point: a second
// opinion on the reader's table-driven validator.
bool valid_text(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t code;
        if (byte == 0) return false;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void expect_same(const Outcome& a, const Outcome& b, const char* what) {
    check(same(a, b), std::string(what) + ": " + a.describe() + " vs " + b.describe());
}

// The text gzip-packed, in one or two members with zero padding after:
// every gzip reading of it is the plain reading.
void check_gzip_packing(const std::string& text, const Outcome& plain, std::uint8_t control) {
    const std::size_t split = text.size() * (control >> 6) / 4;
    std::string packed = fuzz::gzip_member(std::string_view(text).substr(0, split));
    if (split < text.size() || text.empty()) packed += fuzz::gzip_member(std::string_view(text).substr(split));
    packed.append(control >> 6, '\0');
    const std::string path = fuzz::scratch_file("b", packed);
    const Outcome gzip = capture([&] { return whole(path, Compression::Gzip); });
    check(gzip.kind == plain.kind && gzip.lines == plain.lines,
          "gzip reading differs from plain: " + gzip.describe() + " vs " + plain.describe());
    expect_same(gzip, capture([&] { return streamed(path, Compression::Gzip); }), "gzip whole vs streamed");
    expect_same(gzip, capture([&] { return whole(path, Compression::DetectByMagic); }), "gzip detected");
    check(capture([&] { return either(path); }).lines == plain.lines, "gzip-or-plain on gzip");
}

// Cut anywhere short of its end, a one-member gzip file is an error.
void check_truncation(const std::string& text, const Outcome& plain, std::size_t seed) {
    const std::string single = fuzz::gzip_member(text);
    const std::size_t cut = 1 + seed % (single.size() - 1);
    const std::string path = fuzz::scratch_file("c", std::string_view(single).substr(0, cut));
    const Outcome outcome = capture([&] { return whole(path, Compression::Gzip); });
    check(outcome.kind != "ok", "truncated gzip read as " + outcome.describe());
    if (plain.kind == "ok") {
        check(outcome.kind == "CorruptInputError" && outcome.truncated,
              "truncated gzip of valid text: " + outcome.describe());
    }
    expect_same(outcome, capture([&] { return streamed(path, Compression::Gzip); }), "cut whole vs streamed");
}

// The bytes themselves as gzip: whatever they are, an outcome and no crash;
// the magic-byte test and the gzip-or-plain fallback pick the right reading.
void check_raw_as_gzip(const std::string& text, const std::string& path, const Outcome& plain) {
    const Outcome gzip = capture([&] { return whole(path, Compression::Gzip); });
    expect_same(gzip, capture([&] { return streamed(path, Compression::Gzip); }), "raw gzip whole vs streamed");
    std::string unpacked;
    if (fuzz::gunzip_all(text, unpacked)) {
        check(gzip.kind != "CorruptInputError", "valid gzip rejected: " + gzip.describe());
        if (gzip.kind == "ok") check(gzip.joined() == as_read(unpacked), "gzip text altered");
    } else {
        check(gzip.kind != "ok", "invalid gzip accepted");
    }
    const bool magic = text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f &&
                       static_cast<unsigned char>(text[1]) == 0x8b;
    expect_same(magic ? gzip : plain, capture([&] { return whole(path, Compression::DetectByMagic); }),
                "magic-byte detection");
    expect_same(gzip.kind == "ok" ? gzip : plain, capture([&] { return either(path); }), "gzip-or-plain fallback");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::string_view payload(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string padding((control & 0x08) ? (1 << 16) - (control & 0x07) : 0, 'a');
    const std::string text = padding + std::string(payload);

    // Plain: both readings agree with each other and with a plain decoder.
    const std::string plain_path = fuzz::scratch_file("a", text);
    const Outcome plain = capture([&] { return whole(plain_path, Compression::Plain); });
    expect_same(plain, capture([&] { return streamed(plain_path, Compression::Plain); }), "plain whole vs streamed");
    // (The padding is plain ASCII: the second opinions skip it.)
    if (valid_text(payload)) {
        check(plain.kind == "ok", "valid UTF-8 rejected: " + plain.describe());
        check(plain.joined() == (padding.empty() ? as_read(payload) : padding + universal_newlines(payload)),
              "plain text altered");
    } else {
        check(plain.kind == "UnicodeDecodeError", "invalid UTF-8 accepted: " + plain.describe());
    }
    for (const auto& line : plain.lines) {
        check(!line.empty(), "empty line handed out");
        check(line.find('\n') == std::string::npos || line.find('\n') == line.size() - 1, "line holds two lines");
    }

    switch ((control >> 4) & 0x03) {
        case 0: check_gzip_packing(text, plain, control); break;
        case 1: check_truncation(text, plain, size * 7919 + control); break;
        default: check_raw_as_gzip(text, plain_path, plain); break;
    }
    return 0;
}
