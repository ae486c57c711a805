// Inputs the fuzzers found mishandled by the text reader, kept as tests.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

namespace merivane {
namespace {

using testing::gzip_bytes;
using testing::TempDir;
using testing::read_lines;

std::vector<std::string> whole_lines(const std::string& path, Compression compression) {
    const LineBuffer buffer = read_lines(path, compression);
    return {buffer.lines().begin(), buffer.lines().end()};
}

std::vector<std::string> streamed_lines(const std::string& path, Compression compression) {
    TextReader reader(path, compression);
    std::vector<std::string> lines;
    std::string line;
    while (reader.next_line(line)) lines.push_back(line);
    return lines;
}

struct GzipShapeCase {
    const char* name;
    std::string bytes;
    bool is_gzip;
    // What the gzip-or-plain reading gives; none: a decode error.
    std::optional<std::vector<std::string>> lines;
};

void PrintTo(const GzipShapeCase& c, std::ostream* out) { *out << c.name; }

class GzipShape : public ::testing::TestWithParam<GzipShapeCase> {};

// Zero padding may follow a gzip member, but bytes that start with zeros are
// not gzip: read as gzip they are an error (so the plain reading decides),
// never an empty text.
TEST_P(GzipShape, ZerosCountAsPaddingOnlyAfterAMember) {
    const GzipShapeCase& c = GetParam();
    TempDir dir;
    const auto path = dir.write("input", c.bytes);
    if (c.is_gzip) {
        EXPECT_EQ(whole_lines(path, Compression::Gzip), c.lines);
        EXPECT_EQ(streamed_lines(path, Compression::Gzip), c.lines);
    } else {
        EXPECT_THROW(whole_lines(path, Compression::Gzip), CorruptInputError);
        EXPECT_THROW(streamed_lines(path, Compression::Gzip), CorruptInputError);
    }
    if (c.lines) {
        const LineBuffer buffer = read_lines_gzip_or_plain(path);
        EXPECT_EQ(std::vector<std::string>(buffer.lines().begin(), buffer.lines().end()), *c.lines);
    } else {
        EXPECT_THROW(read_lines_gzip_or_plain(path), UnicodeDecodeError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Regression, GzipShape,
    ::testing::Values(GzipShapeCase{"lone_zero_byte", std::string(1, '\0'), false, std::nullopt},
                      GzipShapeCase{"zero_line", std::string("\0\0\n", 3), false, std::nullopt},
                      GzipShapeCase{"zeros_before_member", std::string(2, '\0') + gzip_bytes("a\n"), false, std::nullopt},
                      GzipShapeCase{"zeros_after_member", gzip_bytes("a\n") + std::string(3, '\0'), true,
                                    std::vector<std::string>{"a\n"}},
                      GzipShapeCase{"zeros_between_members", gzip_bytes("a\n") + std::string(2, '\0') + gzip_bytes("b"),
                                    true, std::vector<std::string>{"a\n", "b"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecodeLineCase {
    const char* name;
    std::string text;
    int line;
};

void PrintTo(const DecodeLineCase& c, std::ostream* out) { *out << c.name; }

class DecodeErrorLine : public ::testing::TestWithParam<DecodeLineCase> {};

// A decode error names the line of the bad byte whatever ends the lines
// before it, in the whole-file and the streamed reading, and also when the
// line breaks and the fault lie on either side of a read chunk's edge.
TEST_P(DecodeErrorLine, CountsEveryKindOfLineBreak) {
    const DecodeLineCase& c = GetParam();
    TempDir dir;
    const std::string padded = std::string((1 << 16) - 2, 'a') + "\r" + c.text;
    for (const auto& [text, offset] : {std::pair{c.text, 0}, std::pair{padded, 1}}) {
        const auto path = dir.write("bad", text);
        const std::string wanted = "line " + std::to_string(c.line + offset);
        for (const bool streaming : {false, true}) {
            try {
                streaming ? streamed_lines(path, Compression::Plain) : whole_lines(path, Compression::Plain);
                ADD_FAILURE() << "no decode error";
            } catch (const UnicodeDecodeError& error) {
                ASSERT_EQ(error.notes().size(), 1u);
                EXPECT_NE(error.notes()[0].find(wanted), std::string::npos)
                    << error.notes()[0] << (streaming ? " (streamed)" : " (whole)") << (offset ? " padded" : "");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Regression, DecodeErrorLine,
                         ::testing::Values(DecodeLineCase{"lf", "a\nb\n\xff\n", 3},
                                           DecodeLineCase{"cr", "a\rb\r\xff\r", 3},
                                           DecodeLineCase{"crlf", "a\r\nb\r\n\xff\r\n", 3},
                                           DecodeLineCase{"mixed", "a\r\r\nb\n\rc\xff", 5},
                                           DecodeLineCase{"first_line", "\xff\r\n", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

struct DecodeObjectCase {
    const char* name;
    std::string text;
    std::string object;  // the line the error shows
    std::size_t start;   // where in it the bad byte is
    int line;
};

void PrintTo(const DecodeObjectCase& c, std::ostream* out) { *out << c.name; }

class DecodeErrorObject : public ::testing::TestWithParam<DecodeObjectCase> {};

// A decode error shows the whole line of the fault with the fault's offset
// in it, however the file is read and wherever the read chunks end: also a
// line begun several chunks before the fault, or ended by a lone "\r".
TEST_P(DecodeErrorObject, ShowsTheWholeLine) {
    const DecodeObjectCase& c = GetParam();
    TempDir dir;
    for (const bool gzip : {false, true}) {
        const auto path = dir.write(gzip ? "bad.gz" : "bad", gzip ? gzip_bytes(c.text) : c.text);
        const Compression compression = gzip ? Compression::Gzip : Compression::Plain;
        for (const bool streaming : {false, true}) {
            try {
                streaming ? streamed_lines(path, compression) : whole_lines(path, compression);
                ADD_FAILURE() << "no decode error";
            } catch (const UnicodeDecodeError& error) {
                const char* how = streaming ? (gzip ? "streamed gzip" : "streamed") : (gzip ? "whole gzip" : "whole");
                EXPECT_TRUE(error.object() == c.object) << how << ": " << error.object().size() << " bytes";
                EXPECT_EQ(error.start(), c.start) << how;
                EXPECT_EQ(error.notes().at(0), "while reading " + path + ", line " + std::to_string(c.line)) << how;
            }
        }
    }
}

const std::string kLong(100000, 'a');  // longer than a read chunk

INSTANTIATE_TEST_SUITE_P(
    Regression, DecodeErrorObject,
    ::testing::Values(DecodeObjectCase{"short", "ok\nbad \xff here\nnext\n", "bad \xff here\n", 4, 2},
                      DecodeObjectCase{"crlf", "a\r\nb\r\n\xffz\r\nc", "\xffz\r\n", 0, 3},
                      DecodeObjectCase{"lone_cr", "a\rb\r" + kLong + "\xff\rc", kLong + "\xff\r", kLong.size(), 3},
                      DecodeObjectCase{"long_line", "ok\n" + kLong + "\xe9" + kLong.substr(0, 30000) + "\nnext\n",
                                       kLong + "\xe9" + kLong.substr(0, 30000) + "\n", kLong.size(), 2},
                      DecodeObjectCase{"cut_at_end", "ok\n" + kLong + "\xe2\x82", kLong + "\xe2\x82", kLong.size(), 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace merivane
