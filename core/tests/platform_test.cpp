#include <gtest/gtest.h>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/process.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

#include <sys/stat.h>

namespace merivane {
namespace {

using testing::TempDir;

std::vector<std::string> as_strings(const LineBuffer& buffer) {
    return {buffer.lines().begin(), buffer.lines().end()};
}

TEST(TextReader, NormalisesLineEndingsAndKeepsTerminators) {
    TempDir dir;
    const auto path = dir.write("a.vcf", "a\r\nb\rc\nd");
    EXPECT_EQ(as_strings(read_lines(path, Compression::Plain)),
              (std::vector<std::string>{"a\n", "b\n", "c\n", "d"}));
}

TEST(TextReader, GzipMultiMemberReadsWhole) {
    TempDir dir;
    const auto path = dir.write("a.vcf.gz", testing::gzip_bytes("x\r") + testing::gzip_bytes("\ny\n"));
    EXPECT_EQ(as_strings(read_lines(path, Compression::Gzip)), (std::vector<std::string>{"x\n", "y\n"}));
    EXPECT_EQ(as_strings(read_lines_gzip_or_plain(path)), (std::vector<std::string>{"x\n", "y\n"}));
}

TEST(TextReader, TruncatedGzipIsAnErrorNotAShorterText) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 5000; ++i) data += "chr1\t" + std::to_string(i) + "\n";
    const std::string packed = testing::gzip_bytes(data);
    const auto path = dir.write("cut.gz", packed.substr(0, packed.size() / 2));
    EXPECT_THROW(read_lines(path, Compression::Gzip), CorruptInputError);
    // The plain fallback then meets the compressed bytes and cannot decode them.
    EXPECT_THROW(read_lines_gzip_or_plain(path), UnicodeDecodeError);
}

TEST(TextReader, InvalidUtf8NamesTheLine) {
    TempDir dir;
    const auto path = dir.write("bad.vcf", "ok\nstill ok\nbad \xff here\n");
    try {
        read_lines(path, Compression::Plain);
        FAIL() << "expected a decode error";
    } catch (const UnicodeDecodeError& error) {
        EXPECT_EQ(error.object(), "bad \xff here\n");
        EXPECT_EQ(error.start(), 4u);
        EXPECT_EQ(error.reason(), "invalid start byte");
        ASSERT_EQ(error.notes().size(), 1u);
        EXPECT_NE(error.notes()[0].find("line 3"), std::string::npos);
    }
}

TEST(TextReader, StreamedLinesMatchWholeRead) {
    TempDir dir;
    std::string data;
    // Multi-byte characters and "\r\n" pairs land on every chunk boundary.
    for (int i = 0; i < 40000; ++i) data += "chr\xc3\xa9\t" + std::to_string(i) + (i % 3 ? "\r\n" : "\n");
    const auto path = dir.write("big.vcf.gz", testing::gzip_bytes(data));
    TextReader reader(path, Compression::DetectByMagic);
    EXPECT_TRUE(reader.compressed());
    std::vector<std::string> streamed;
    std::string line;
    while (reader.next_line(line)) streamed.push_back(line);
    EXPECT_EQ(streamed, as_strings(read_lines(path, Compression::Gzip)));
    EXPECT_EQ(streamed.size(), 40000u);
}

TEST(TextReader, MissingFileIsOSErrorWithPath) {
    try {
        read_lines("/nonexistent/x.vcf", Compression::Plain);
        FAIL();
    } catch (const OSError& error) {
        EXPECT_EQ(error.errnum(), ENOENT);
        EXPECT_EQ(error.filename(), "/nonexistent/x.vcf");
    }
}

TEST(FileIo, SameFileByEntryOrByNormalisedPath) {
    TempDir dir;
    const auto a = dir.write("a", "x");
    EXPECT_TRUE(same_file(a, dir.path("./a")));
    EXPECT_TRUE(same_file(dir.path("missing"), dir.path("sub/../missing")));
    EXPECT_FALSE(same_file(a, dir.path("b")));
}

TEST(Process, CapturesOutputAndExitStatus) {
    const auto sh = find_executable("sh");
    ASSERT_TRUE(sh);
    ChildOptions options;
    options.capture_stdout = true;
    options.environment_overrides = {{"LC_ALL", "C"}};
    const ChildResult result = run_child({*sh, "-c", "printf \"$LC_ALL\"; exit 3"}, options);
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.stdout_data, "C");
}

TEST(Process, TimeoutKillsTheChild) {
    const auto sh = find_executable("sh");
    ASSERT_TRUE(sh);
    ChildOptions options;
    options.capture_stdout = true;
    options.timeout_seconds = 0.2;
    EXPECT_THROW(run_child({*sh, "-c", "sleep 5"}, options), TimeoutExpired);
}

TEST(Process, UnstartableProgramIsOSError) {
    EXPECT_THROW(run_child({"/nonexistent/program"}, {}), OSError);
}

}  // namespace
}  // namespace merivane

namespace merivane {
namespace {

TEST(GzipLayout, TellsTheKindsOfCompressedFileApart) {
    testing::TempDir dir;
    const std::string one = testing::gzip_bytes("a\n");
    // The 28-byte BGZF end-of-file block is a complete BGZF file on its own.
    const std::string bgzf_eof("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00", 28);
    EXPECT_EQ(gzip_layout(dir.write("plain", "a\n")), GzipLayout::NotGzip);
    EXPECT_EQ(gzip_layout(dir.write("empty", "")), GzipLayout::NotGzip);
    EXPECT_EQ(gzip_layout(dir.write("one", one)), GzipLayout::SingleMember);
    EXPECT_EQ(gzip_layout(dir.write("padded", one + std::string(4, '\0'))), GzipLayout::SingleMember);
    EXPECT_EQ(gzip_layout(dir.write("two", one + testing::gzip_bytes("b\n"))), GzipLayout::SeveralMembers);
    EXPECT_EQ(gzip_layout(dir.write("bgzf", bgzf_eof + bgzf_eof)), GzipLayout::Bgzf);
}

}  // namespace
}  // namespace merivane
