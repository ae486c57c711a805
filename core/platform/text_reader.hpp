// Text read as every input is: strict UTF-8 without NUL bytes, a leading
// byte-order mark dropped, "\r\n" and a lone "\r" read as "\n", optionally
// gzip-compressed (any number of members, so BGZF reads whole).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/interrupt.hpp"
#include "platform/unique_fd.hpp"

namespace merivane {

enum class Compression {
    Plain,          // the bytes are the text
    Gzip,           // the bytes must be gzip data; anything else is an error
    DetectByMagic,  // gzip when the file starts with 1f 8b, plain otherwise
};

// A whole file as one text, with a view per line, each keeping its "\n".
class LineBuffer {
public:
    explicit LineBuffer(std::string text);

    const std::string& text() const noexcept { return *text_; }
    const std::vector<std::string_view>& lines() const noexcept { return lines_; }

private:
    // Behind a pointer: moving a short std::string would move the characters
    // the views point into.
    std::unique_ptr<std::string> text_;
    std::vector<std::string_view> lines_;
};

// Splits text into lines, each keeping its "\n".
std::vector<std::string_view> split_lines(std::string_view text);

// Streams a file as decoded, newline-normalised text.
class TextReader {
public:
    TextReader(const std::string& path, Compression compression);
    // Reads `fd`, open on `path` (which errors name).
    TextReader(const std::string& path, UniqueFd fd, Compression compression);
    // Reads `bytes`, already taken from `path`, instead of opening it.
    TextReader(const std::string& path, std::string bytes, Compression compression);
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    // The next line into `line`, with its "\n" if it has one; false at the end.
    bool next_line(std::string& line);

    std::string read_all();

    bool compressed() const noexcept { return gzip_ != nullptr; }
    // Whether the text began with a byte-order mark (dropped).
    bool byte_order_mark() const noexcept { return marked_; }
    // Read to its end, BGZF without the empty end-of-file block: probably cut
    // short at a block boundary, which gzip cannot tell (htslib warns).
    bool bgzf_without_eof_block() const noexcept;
    const std::string& path() const noexcept { return path_; }

private:
    struct GzipState;

    // Appends the next decoded chunk to `text_`; false at the end.
    bool fill();
    // Room in `text_` for the next chunk, a full piece moved to `pieces_`
    // (`expected`: the text still to come, when known).
    void make_room(std::size_t expected);
    std::size_t read_raw(char* out, std::size_t capacity);
    // The file's bytes: those taken first (the magic test's, or all given), then the descriptor's.
    std::size_t read_source(char* out, std::size_t capacity);
    void decode_append(const char* data, std::size_t size, bool at_end);
    // The decode error for [start, end) of `in`, the bytes after the text so far.
    [[noreturn]] void report_decode_error(std::string_view in, std::size_t start, std::size_t end,
                                          const char* reason);

    friend LineBuffer read_lines_gzip_or_plain(const std::string& path);

    std::string path_;
    UniqueFd fd_;  // closed however the constructor or the reading ends
    std::string taken_;        // bytes read from the file but not yet used
    std::unique_ptr<GzipState> gzip_;
    std::string text_;         // decoded text not yet handed out
    std::size_t consumed_ = 0;  // how much of text_ was handed out
    std::string carry_;        // undecoded tail: a split UTF-8 sequence or a "\r"
    std::uint64_t line_number_ = 1;  // of the first line in text_, for errors
    std::string head_;               // the text's first bytes, for decode errors
    std::string raw_head_;           // a gzip file's first bytes, undecoded
    std::vector<std::string> pieces_;  // text read whole, before text_
    InterruptPoller poller_;
    bool at_start_ = true;           // no text decoded yet: a byte-order mark may come
    bool marked_ = false;            // one came
    bool torn_ = false;              // the decode error is NUL bytes after some text
    bool finished_ = false;
};

// The file as gzip or, when that reading fails on what the file holds, as
// plain UTF-8, whose error is the one raised. The bytes are read once, so a
// pipe or FIFO reads as a file does.
LineBuffer read_lines_gzip_or_plain(const std::string& path);

enum class GzipLayout {
    NotGzip,
    Bgzf,            // blocks that each say their own size (tabix-indexable)
    SingleMember,    // one ordinary gzip member
    SeveralMembers,  // ordinary members one after another (`cat a.gz b.gz`)
};

// How a file is compressed; telling one ordinary member from several
// inflates the first member whole.
GzipLayout gzip_layout(const std::string& path);

// UnicodeDecodeError naming the line (counted from `first_line`) and the file
// unless `text` is valid UTF-8; NUL is allowed, as it need not be a file's.
void validate_utf8(std::string_view text, const std::string& path, std::uint64_t first_line = 1);

}  // namespace merivane
