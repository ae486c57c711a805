// Reading text files the way every input of the system is read: UTF-8,
// strictly, without NUL bytes; a byte-order mark at the start dropped;
// "\r\n" and a lone "\r" read as "\n"; optionally gzip-compressed (any
// number of concatenated members, so BGZF reads whole).
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

// A whole file held in memory as one text, with a view per line. Each view
// keeps its "\n"; the last line lacks one when the file does not end in one.
class LineBuffer {
public:
    explicit LineBuffer(std::string text);

    const std::string& text() const noexcept { return *text_; }
    const std::vector<std::string_view>& lines() const noexcept { return lines_; }

private:
    // Behind a pointer so that moving the buffer never moves the characters
    // the views point into (a short std::string keeps them inline).
    std::unique_ptr<std::string> text_;
    std::vector<std::string_view> lines_;
};

// Splits text into lines, each keeping its "\n".
std::vector<std::string_view> split_lines(std::string_view text);

// Streams a file as decoded, newline-normalised text.
class TextReader {
public:
    TextReader(const std::string& path, Compression compression);
    // Reads `fd`, already open on the file at `path` (which errors name).
    TextReader(const std::string& path, UniqueFd fd, Compression compression);
    // Reads `bytes`, already taken from the file at `path` (which errors
    // name), instead of opening it.
    TextReader(const std::string& path, std::string bytes, Compression compression);
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    // Replaces `line` by the next line (with its "\n" unless it is the last
    // line of a file without a final line break); false at the end.
    bool next_line(std::string& line);

    // The rest of the file as one text.
    std::string read_all();

    bool compressed() const noexcept { return gzip_ != nullptr; }
    // Whether the text began with a byte-order mark (dropped).
    bool byte_order_mark() const noexcept { return marked_; }
    // Whether the file, read to its end, is BGZF whose last block is not the
    // empty end-of-file block: it was probably cut short at a block boundary,
    // which gzip itself cannot tell (htslib warns about it).
    bool bgzf_without_eof_block() const noexcept;
    const std::string& path() const noexcept { return path_; }

private:
    struct GzipState;

    // Appends the next decoded chunk to `text_`; false at the end of input.
    bool fill();
    // Makes room in `text_` for the next chunk, moving a full piece of a
    // whole reading to `pieces_` (`expected`: the text still to come, when
    // known).
    void make_room(std::size_t expected);
    std::size_t read_raw(char* out, std::size_t capacity);
    // The file's bytes: first those already taken (the gzip test's peek, or
    // everything for a reader over bytes), then the descriptor's.
    std::size_t read_source(char* out, std::size_t capacity);
    void decode_append(const char* data, std::size_t size, bool at_end);
    // Throws the decode error for the fault at [start, end) of `in`, the
    // undecoded bytes that follow the text decoded so far.
    [[noreturn]] void report_decode_error(std::string_view in, std::size_t start, std::size_t end,
                                          const char* reason);

    friend LineBuffer read_lines_gzip_or_plain(const std::string& path);

    std::string path_;
    UniqueFd fd_;  // closed however the constructor or the reading ends
    std::string taken_;        // bytes read from the file but not yet used
    std::size_t taken_used_ = 0;
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

// First tries the file as gzip; if that fails in any way (not gzip, corrupt,
// not UTF-8, unreadable), reads it again as plain UTF-8, whose error, if any,
// is the one raised. A file that cannot be read twice (a pipe, a FIFO,
// /dev/stdin) is read once and both readings are tried on its bytes.
LineBuffer read_lines_gzip_or_plain(const std::string& path);

enum class GzipLayout {
    NotGzip,
    Bgzf,            // blocks that each say their own size (tabix-indexable)
    SingleMember,    // one ordinary gzip member
    SeveralMembers,  // ordinary members one after another (`cat a.gz b.gz`)
};

// How a file is compressed, told from its bytes. Telling one ordinary member
// from several inflates the first member whole.
GzipLayout gzip_layout(const std::string& path);

// Checks that `text` is valid UTF-8 (NUL bytes allowed: it need not come
// from a file); throws UnicodeDecodeError naming the
// line (counted from `first_line`) and the file.
void validate_utf8(std::string_view text, const std::string& path, std::uint64_t first_line = 1);

}  // namespace merivane
