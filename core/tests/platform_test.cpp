#include <gtest/gtest.h>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/interrupt.hpp"
#include "platform/process.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <tuple>

namespace merivane {
namespace {

using testing::TempDir;
using testing::read_lines;

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

// Each way an input is read whole, plain or gzip-compressed.
struct InputReading {
    const char* name;
    bool gzip;
    std::function<std::vector<std::string>(const std::string& path)> read;
};

std::vector<std::string> streamed_lines(const std::string& path, Compression compression) {
    TextReader reader(path, compression);
    std::vector<std::string> lines;
    std::string line;
    while (reader.next_line(line)) lines.push_back(line);
    return lines;
}

const InputReading kInputReadings[] = {
    {"plain", false, [](const std::string& p) { return as_strings(read_lines(p, Compression::Plain)); }},
    {"streamed", false, [](const std::string& p) { return streamed_lines(p, Compression::Plain); }},
    // The magic-byte test takes two bytes first: a mark arrives split.
    {"detected", false, [](const std::string& p) { return streamed_lines(p, Compression::DetectByMagic); }},
    {"either", false, [](const std::string& p) { return as_strings(read_lines_gzip_or_plain(p)); }},
    {"gzip", true, [](const std::string& p) { return as_strings(read_lines(p, Compression::Gzip)); }},
    {"gzip_detected", true, [](const std::string& p) { return streamed_lines(p, Compression::DetectByMagic); }},
    {"gzip_either", true, [](const std::string& p) { return as_strings(read_lines_gzip_or_plain(p)); }},
};

class InputShapes : public ::testing::TestWithParam<InputReading> {
protected:
    std::string write(const TempDir& dir, const std::string& text) const {
        return dir.write("in.vcf", GetParam().gzip ? testing::gzip_bytes(text) : text);
    }
};

// A byte-order mark before the first line is dropped (else "##fileformat"
// would read as a record); anywhere else it is text like any other.
TEST_P(InputShapes, ByteOrderMarkAtTheStartIsDropped) {
    TempDir dir;
    const std::string bom = "\xEF\xBB\xBF";
    EXPECT_EQ(GetParam().read(write(dir, bom + "##fileformat=VCFv4.2\r\nchr1\t1\n")),
              (std::vector<std::string>{"##fileformat=VCFv4.2\n", "chr1\t1\n"}));
    EXPECT_EQ(GetParam().read(write(dir, bom)), std::vector<std::string>{});
    EXPECT_EQ(GetParam().read(write(dir, bom + bom + "x\n")), std::vector<std::string>{bom + "x\n"});
    EXPECT_EQ(GetParam().read(write(dir, "a\n" + bom + "b")), (std::vector<std::string>{"a\n", bom + "b"}));
    EXPECT_THROW(GetParam().read(write(dir, "\xEF\xBB")), UnicodeDecodeError);
}

// A NUL byte is no text: a decode error naming the line, found where it
// stands, whether the text was compressed or not.
TEST_P(InputShapes, NulBytesAreADecodeErrorNamingTheLine) {
    using namespace std::string_literals;
    TempDir dir;
    for (const auto& [text, line, start] :
         {std::tuple{"##a\nchr1\t1\n"s + std::string(4096, '\0'), "3", std::size_t{0}},
          std::tuple{"##a\nchr1\t1\0x\nchr2\t2\n"s, "2", std::size_t{6}}}) {
        const std::string path = write(dir, text);
        try {
            GetParam().read(path);
            ADD_FAILURE() << "no decode error";
        } catch (const UnicodeDecodeError& error) {
            EXPECT_EQ(error.start(), start);
            ASSERT_EQ(error.notes().size(), 2u);
            EXPECT_EQ(error.notes()[0], "while reading " + path + ", line " + line);
            EXPECT_EQ(error.notes()[1], path + " holds NUL bytes: not a text file, or torn by a crash?");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Readings, InputShapes, ::testing::ValuesIn(kInputReadings),
                         [](const auto& info) { return std::string(info.param.name); });

// What a byte that is not UTF-8 says about the file, when it says something.
struct WrongFileCase {
    const char* name;
    std::string bytes;
    const char* kind;  // the hint expected after the line note; "" for none
};

class TextReaderWrongFile : public ::testing::TestWithParam<WrongFileCase> {};

TEST_P(TextReaderWrongFile, IsNamedAsSuch) {
    TempDir dir;
    const auto path = dir.write(GetParam().name, GetParam().bytes);
    try {
        read_lines_gzip_or_plain(path);
        FAIL() << "expected a decode error";
    } catch (const UnicodeDecodeError& error) {
        if (std::string(GetParam().kind).empty()) {
            EXPECT_EQ(error.notes().size(), 1u);
        } else {
            ASSERT_EQ(error.notes().size(), 2u);
            EXPECT_EQ(error.notes()[1], path + GetParam().kind);
        }
    }
}

std::string cut_gzip() {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += "chr1\t" + std::to_string(i) + "\n";
    const std::string packed = testing::gzip_bytes(data);
    return packed.substr(0, packed.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TextReaderWrongFile,
    ::testing::Values(
        WrongFileCase{"cut.vcf.gz", cut_gzip(), " is gzip data cut short or damaged"},
        WrongFileCase{"x.bam", testing::gzip_bytes(std::string("BAM\x01\x00\x00\x00\xff\xfe", 10)),
                      " holds binary data, not text (a BAM or CRAM file?)"},
        WrongFileCase{"latin1.vcf", "#CHROM\nchr1\t1\tcaf\xe9\n", ""}),
    [](const auto& info) { return std::string(info.param.kind).empty() ? "Text" : info.index == 0 ? "CutGzip" : "Binary"; });

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
    const auto b = dir.write("b", "x");
    std::filesystem::create_hard_link(a, dir.path("a2"));
    EXPECT_TRUE(same_file(a, dir.path("./a")));
    EXPECT_TRUE(same_file(a, dir.path("a2")));
    EXPECT_TRUE(same_file(dir.path("missing"), dir.path("sub/../missing")));
    // Two files that both exist are told apart (by volume and file index on
    // Windows, where every inode number is 0).
    EXPECT_FALSE(same_file(a, b));
    EXPECT_FALSE(same_file(a, dir.path("missing")));
}

TEST(FileIo, NonAsciiPathsKeepTheirNames) {
    TempDir dir;
    const std::string name = "caf\xc3\xa9 \xe2\x82\xac\xe6\x9f\x93.vcf";
    const std::string path = dir.path(name);
    OutputFile out(path);
    out.write("##x\n");
    out.close();
    EXPECT_TRUE(path_exists(path));
    EXPECT_EQ(as_strings(read_lines(path, Compression::Plain)), (std::vector<std::string>{"##x\n"}));
    EXPECT_TRUE(same_file(path, dir.path("./" + name)));
    // On disk under that name, not one spelt in another code page.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir.path("")))) {
        const std::u8string text = entry.path().filename().u8string();
        names.emplace_back(text.begin(), text.end());
    }
    EXPECT_EQ(names, std::vector<std::string>{name});
    remove_file(path);
    EXPECT_FALSE(path_exists(path));
}

// The Windows C runtime counts a transfer in an unsigned int and Windows'
// `long` is 32 bits: sizes and offsets of 4 GiB and more are where a port
// goes wrong (POSIX systems have had 64-bit ones all along).
#ifdef _WIN32
TEST(FileIo, AReadOfFourGibibytesOrMoreStillReads) {
    TempDir dir;
    const auto path = dir.write("small", "chr1\t1\n");
    // Address space only: the pages are never touched beyond the first.
    const std::size_t capacity = std::size_t{1} << 32;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
    if (!buffer) GTEST_SKIP() << "no 4 GiB of address space to lend a read";
    const UniqueFd fd(open_for_reading(path));
    EXPECT_EQ(read_some(fd.get(), buffer.get(), capacity, path), 7u);
    EXPECT_EQ(std::string(buffer.get(), 7), "chr1\t1\n");
}

TEST(FileIo, ReadsPastFourGibibytes) {
    TempDir dir;
    const std::string path = dir.path("sparse");
    const std::uint64_t tail_offset = (std::uint64_t{1} << 32) + 3;
    if (!testing::write_sparse(path, tail_offset, "tail")) {
        GTEST_SKIP() << "the file system holds no sparse file past 4 GiB here";
    }
    const UniqueFd fd(open_for_reading(path));
    std::vector<char> buffer(std::size_t{1} << 20);
    std::uint64_t total = 0;
    std::string last;
    while (const std::size_t n = read_some(fd.get(), buffer.data(), buffer.size(), path)) {
        total += n;
        last.append(buffer.data() + (n > 4 ? n - 4 : 0), buffer.data() + n);
        last.erase(0, last.size() > 4 ? last.size() - 4 : 0);
    }
    EXPECT_EQ(total, tail_offset + 4);
    EXPECT_EQ(last, "tail");
}
#endif

TEST(Process, CapturesOutputErrorsAndExitStatus) {
    ChildOptions options;
    options.capture_stdout = true;
    options.capture_stderr = true;
    options.environment_overrides = {{"LC_ALL", "C"}};
    const ChildResult result =
        run_child({testing::test_child_path(), "env", "LC_ALL", "err", "oops", "exit", "3"}, options);
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.stdout_data, "C");
    EXPECT_EQ(result.stderr_data, "oops");
}

TEST(Process, ArgumentsArriveAsGiven) {
    // Spaces, tabs, quotes and backslashes in every position, an empty
    // argument and non-ASCII text: on Windows all of it goes through one
    // quoted command line.
    const std::vector<std::string> arguments{
        "plain", "two words", "", "tab\there", "say \"hi\"", "\"", "C:\\dir\\", "C:\\my dir\\",
        "a\\\\\"b", "trailing\\\\", "caf\xc3\xa9", "--flag=a b\\"};
    std::vector<std::string> argv{testing::test_child_path(), "args"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildOptions options;
    std::string received;
    options.stdout_sink = [&](std::string_view chunk) { received.append(chunk); };
    EXPECT_EQ(run_child(argv, options).exit_status, 0);
    std::string expected;
    for (const auto& argument : arguments) expected += argument + std::string(1, '\0');
    EXPECT_EQ(received, expected);
}

TEST(Process, TimeoutKillsTheChild) {
    ChildOptions options;
    options.capture_stdout = true;
    options.timeout_seconds = 0.2;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(run_child({testing::test_child_path(), "sleep", "20000"}, options), TimeoutExpired);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

#ifdef _WIN32
TEST(FindExecutable, CurrentDirectoryThenPathTryingEachPathext) {
    TempDir dir;
    std::filesystem::create_directories(std::filesystem::path(dir.path("bin")));
    std::filesystem::create_directories(std::filesystem::path(dir.path("here")));
    dir.write("bin/tool.CMD", "@echo off\r\necho %~1\r\nexit /b 4\r\n");
    const testing::ScopedEnv path("PATH", dir.path("bin"));
    {
        const testing::ScopedEnv pathext("PATHEXT", ".EXE;.CMD");
        const auto found = find_executable("tool");
        ASSERT_TRUE(found);
        EXPECT_TRUE(same_file(*found, dir.path("bin/tool.CMD")));
        EXPECT_TRUE(find_executable("tool.cmd"));
        // A batch file runs through cmd, as Windows runs it.
        ChildOptions options;
        options.capture_stdout = true;
        const ChildResult result = run_child({*found, "a b"}, options);
        EXPECT_EQ(result.exit_status, 4);
        EXPECT_EQ(result.stdout_data, "a b\r\n");
    }
    {
        const testing::ScopedEnv pathext("PATHEXT", ".EXE");
        EXPECT_FALSE(find_executable("tool"));
    }
    // The current directory comes before the PATH.
    dir.write("here/tool.cmd", "@exit /b 0\r\n");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(dir.path("here")));
    const testing::ScopedEnv pathext("PATHEXT", ".CMD");
    const auto found = find_executable("tool");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(found);
    // Spelt with the extension as PATHEXT gives it, as the host's which does.
    EXPECT_EQ(*found, ".\\tool.CMD");
}
#endif

struct Interrupted {};  // no std::exception: it must pass through untouched

std::chrono::steady_clock::time_point interrupt_at;

TEST(Process, InterruptEndsTheWaitPromptly) {
    for (const bool piped : {true, false}) {
        ChildOptions options;
        options.capture_stdout = piped;
        const auto start = std::chrono::steady_clock::now();
        interrupt_at = start + std::chrono::milliseconds(300);
        const InterruptCheck previous = set_interrupt_check([] {
            if (std::chrono::steady_clock::now() >= interrupt_at) throw Interrupted{};
        });
        EXPECT_THROW(run_child({testing::test_child_path(), "sleep", "30000"}, options), Interrupted);
        set_interrupt_check(previous);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "piped " << piped;
    }
}

TEST(Process, UnstartableProgramIsOSErrorAndNoProgramValueError) {
    EXPECT_THROW(run_child({"/nonexistent/program"}, {}), OSError);
    EXPECT_THROW(run_child({}, {}), ValueError);
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
