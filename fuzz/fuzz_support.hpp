// Helpers shared by the fuzz targets: a scratch file per process, gzip
// packing, and a way to compare what two readings of one input produced.
#pragma once

#include "platform/log.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/process.hpp"
#include "platform/temp_file.hpp"
#include "platform/text_reader.hpp"

namespace merivane::fuzz {

// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void check(bool condition, const std::string& what) {
    if (!condition) fail(what);
}

// The fuzzers report findings by crashing, not through the log.
inline void silence_logs() {
    static const bool silenced = [] {
        set_log_sink(nullptr);
        return true;
    }();
    (void)silenced;
}

// "\r\n" and a lone "\r" as "\n", written plainly as the readers' reference.
inline std::string universal_newlines(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Whether the readers take a file of `bytes` as text: strict UTF-8, no NUL.
inline bool readable_text(std::string_view bytes) {
    if (bytes.find('\0') != std::string_view::npos) return false;
    try {
        validate_utf8(bytes, "input");
        return true;
    } catch (const UnicodeDecodeError&) {
        return false;
    }
}

// A file's bytes as the readers give its text: a byte-order mark before the
// first line dropped, line ends normalised.
inline std::string as_read(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return universal_newlines(bytes);
}

inline const char* const kScratchNames[] = {"a", "b", "c", "d", "e", "f"};

inline std::string& scratch_root() {
    static std::string root;
    return root;
}

inline void remove_scratch_directory() {
    for (const char* name : kScratchNames) ::unlink((scratch_root() + "/" + name).c_str());
    ::rmdir(scratch_root().c_str());
}

// A directory of its own under the temporary directory, kept for the whole
// run and removed at exit (libFuzzer leaves through exit, not by unwinding).
inline const std::string& scratch_directory() {
    if (scratch_root().empty()) {
        std::string pattern = merivane::temp_directory() + "/merivane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) fail("cannot create a scratch directory");
        scratch_root() = pattern;
        std::atexit(remove_scratch_directory);
    }
    return scratch_root();
}

// Writes `data` to the scratch file `name` (one of "a" to "f") and returns its path.
inline std::string scratch_file(const char* name, std::string_view data) {
    const std::string path = scratch_directory() + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create " + path);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) fail("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

inline std::string read_whole(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + path);
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) fail("cannot read " + path);
    return out;
}

// One complete gzip member holding `data`.
inline std::string gzip_member(std::string_view data, int level = 1) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2");
    std::string out(deflateBound(&stream, data.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) fail("deflate did not finish");
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Everything a gzip reader makes of `data`, member after member, with zero
// padding allowed after a member (not before the first); false when it is
// not complete, valid gzip. An empty file is an empty text.
inline bool gunzip_all(std::string_view data, std::string& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < data.size()) {
        z_stream stream{};
        if (inflateInit2(&stream, 15 + 16) != Z_OK) fail("inflateInit2");
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + pos));
        stream.avail_in = static_cast<uInt>(data.size() - pos);
        int rc;
        do {
            char buffer[1 << 14];
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            rc = inflate(&stream, Z_NO_FLUSH);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (rc == Z_OK);
        const std::size_t used = stream.total_in;
        inflateEnd(&stream);
        if (rc != Z_STREAM_END) return false;
        pos += used;
        while (pos < data.size() && data[pos] == '\0') ++pos;
    }
    return true;
}

// What one reading produced: its lines, or the kind of error and its notes.
struct Outcome {
    std::string kind = "ok";
    std::vector<std::string> lines;
    std::vector<std::string> notes;
    bool truncated = false;
    int errnum = 0;

    std::string joined() const {
        std::string text;
        for (const auto& line : lines) text += line;
        return text;
    }
    std::string describe() const {
        std::string text = kind;
        for (const auto& note : notes) text += " [" + note + "]";
        if (kind == "ok") text += " (" + std::to_string(lines.size()) + " lines)";
        return text;
    }
};

inline bool same(const Outcome& a, const Outcome& b) {
    return a.kind == b.kind && a.lines == b.lines && a.notes == b.notes && a.truncated == b.truncated &&
           a.errnum == b.errnum;
}

// Runs `read` and records its lines or the core error it raised. Anything
// else thrown escapes and ends the run as a finding.
template <typename Read>
Outcome capture(Read&& read) {
    Outcome outcome;
    try {
        outcome.lines = read();
    } catch (const UnicodeDecodeError& error) {
        outcome = Outcome{};
        outcome.kind = "UnicodeDecodeError";
        outcome.notes = error.notes();
    } catch (const CorruptInputError& error) {
        outcome = Outcome{};
        outcome.kind = "CorruptInputError";
        outcome.notes = error.notes();
        outcome.truncated = error.truncated();
    } catch (const OSError& error) {
        outcome = Outcome{};
        outcome.kind = "OSError";
        outcome.errnum = error.errnum();
    }
    return outcome;
}

}  // namespace merivane::fuzz

namespace merivane::fuzz {

// Second opinions, written plainly for checking the core's parsers.

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

inline std::string_view strip_spaces(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal integer: optional surrounding whitespace, one optional sign,
// at least one digit, and a value that fits 64 bits.
inline std::optional<std::int64_t> decimal(std::string_view text) {
    text = strip_spaces(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    __int128 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > (static_cast<__int128>(1) << 63)) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT64_MAX || value < INT64_MIN) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// Splits at every occurrence of `separator`; empty fields count.
inline std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(separator, pos);
        if (hit == std::string_view::npos) {
            fields.push_back(text.substr(pos));
            return fields;
        }
        fields.push_back(text.substr(pos, hit - pos));
        pos = hit + 1;
    }
}

inline std::string_view without_trailing_newlines(std::string_view line) {
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    return line;
}

// Decodes valid UTF-8 into code points.
inline std::vector<std::uint32_t> code_points(std::string_view text) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::uint32_t code = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out.push_back(code);
        i += length;
    }
    return out;
}

// str.isspace() of one code point.
inline bool python_space(std::uint32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Bytes in the UTF-8 sequence that `lead` starts.
inline std::size_t sequence_length(char lead) {
    const auto c = static_cast<unsigned char>(lead);
    return c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

// str.strip() of valid UTF-8 text.
inline std::string_view python_strip(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = std::min(sequence_length(text.front()), text.size());
        if (!python_space(code_points(text.substr(0, length))[0])) break;
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!python_space(code_points(text.substr(start))[0])) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

// Reads the fuzzer's bytes as a sequence of small decisions and texts.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int64_t int64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
        return static_cast<std::int64_t>(value);
    }
    // Up to the next `terminator` byte (not included), or the rest.
    std::string_view text(char terminator) {
        const std::size_t start = pos_;
        while (pos_ < size_ && data_[pos_] != static_cast<std::uint8_t>(terminator)) ++pos_;
        const std::string_view out(reinterpret_cast<const char*>(data_ + start), pos_ - start);
        if (pos_ < size_) ++pos_;
        return out;
    }
    std::string_view rest() {
        const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace merivane::fuzz

namespace merivane::fuzz {

// What Python's int() makes of a text, within 64 bits: surrounding str.strip()
// white space, an optional sign, ASCII digits with single underscores between
// them. `ascii` is false when the text holds other characters, where the
// host's int() also takes non-ASCII digits and the core may decline them.
struct PythonInt {
    std::optional<std::int64_t> value;
    bool ascii = true;
};

inline PythonInt python_int(std::string_view text) {
    text = python_strip(text);
    PythonInt out;
    for (const char c : text) out.ascii = out.ascii && static_cast<unsigned char>(c) < 0x80;
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '_' || text.back() == '_' || text.find("__") != std::string_view::npos) {
        return out;
    }
    __int128 value = 0;
    for (const char c : text) {
        if (c == '_') continue;
        if (c < '0' || c > '9') return out;
        value = value * 10 + (c - '0');
        if (value > (static_cast<__int128>(1) << 63)) return out;
    }
    if (negative) value = -value;
    if (value > INT64_MAX || value < INT64_MIN) return out;
    out.value = static_cast<std::int64_t>(value);
    return out;
}

}  // namespace merivane::fuzz
