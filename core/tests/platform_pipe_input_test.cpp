// Inputs that give their bytes only once (a FIFO, a pipe, /dev/stdin) read
// exactly as the same bytes in a regular file: nothing is opened twice or
// sought back.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.hpp"
#include "platform/interrupt.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

namespace merivane {
namespace {

using testing::TempDir;
using testing::read_lines;

std::vector<std::string> as_strings(const LineBuffer& buffer) {
    return {buffer.lines().begin(), buffer.lines().end()};
}

// A FIFO at `path` whose writer, on its own thread, writes `bytes` in small
// pieces and closes; joined when the feeder goes out of scope.
class FifoFeeder {
public:
    FifoFeeder(const std::string& path, std::string bytes) {
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        writer_ = std::thread([path, bytes = std::move(bytes)] {
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::write(fd, bytes.data() + at, std::min<std::size_t>(4093, bytes.size() - at));
                if (n <= 0) break;
                at += static_cast<std::size_t>(n);
            }
            ::close(fd);
        });
    }
    ~FifoFeeder() { writer_.join(); }

private:
    std::thread writer_;
};

std::string vcf_text() {
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    for (int i = 1; i <= 5000; ++i) text += "chr1\t" + std::to_string(i) + "\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\r\n";
    return text;
}

struct PipeCase {
    const char* name;
    std::string bytes;
};

class PipeInput : public ::testing::TestWithParam<PipeCase> {};

TEST_P(PipeInput, GzipOrPlainReadsTheSameLinesAsFromAFile) {
    TempDir dir;
    const std::string regular = dir.write("regular.vcf", GetParam().bytes);
    const auto expected = as_strings(read_lines_gzip_or_plain(regular));

    const std::string fifo = dir.path("fifo.vcf");
    FifoFeeder feeder(fifo, GetParam().bytes);
    EXPECT_EQ(as_strings(read_lines_gzip_or_plain(fifo)), expected);
}

TEST_P(PipeInput, DetectedCompressionReadsTheSameLinesAsFromAFile) {
    TempDir dir;
    const std::string regular = dir.write("regular.vcf", GetParam().bytes);
    const auto expected = as_strings(read_lines(regular, Compression::DetectByMagic));

    const std::string fifo = dir.path("fifo.vcf");
    FifoFeeder feeder(fifo, GetParam().bytes);
    EXPECT_EQ(as_strings(read_lines(fifo, Compression::DetectByMagic)), expected);
}

TEST_P(PipeInput, GzipLayoutIsTheSameAsForAFile) {
    TempDir dir;
    const std::string bytes = GetParam().bytes + GetParam().bytes;
    const GzipLayout expected = gzip_layout(dir.write("regular.vcf", bytes));
    const auto previous = ::signal(SIGPIPE, SIG_IGN);  // the layout is told before the end
    {
        const std::string fifo = dir.path("fifo.vcf");
        FifoFeeder feeder(fifo, bytes);
        EXPECT_EQ(gzip_layout(fifo), expected);
    }
    ::signal(SIGPIPE, previous);
}

INSTANTIATE_TEST_SUITE_P(Inputs, PipeInput,
                         ::testing::Values(PipeCase{"plain", vcf_text()},
                                           PipeCase{"gzip", testing::gzip_bytes(vcf_text())},
                                           PipeCase{"empty", ""}, PipeCase{"one_byte", "x"}),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> error_notes(const std::function<void()>& read) {
    try {
        read();
    } catch (const UnicodeDecodeError& error) {
        return error.notes();
    } catch (const CorruptInputError& error) {
        return {error.what()};
    }
    return {"no error"};
}

// Neither gzip nor text: the plain reading's error, with the same notes
// from a file or a FIFO, whatever the reading (the hints look at the file's
// first bytes however short the first reads were).
TEST(PipeInput, UndecodableBytesFailAsFromAFile) {
    for (const std::string& bytes : {std::string("chr1\t1\n\xff\n"), std::string("\x1f\x8b not gzip"),
                                     std::string("\xf9" "b\0a\xf1\0 binary", 14)}) {
        TempDir dir;
        const std::string path = dir.write("input", bytes);
        const auto plain = error_notes([&] { read_lines(path, Compression::Plain); });
        ASSERT_GE(plain.size(), 1u);
        const bool magic = bytes.starts_with("\x1f\x8b");
        for (const bool fifo : {false, true}) {
            for (const bool detected : {false, true}) {
                if (detected && magic) continue;  // read as gzip, and corrupt
                std::optional<FifoFeeder> feeder;
                if (fifo) {
                    std::filesystem::remove(path);
                    feeder.emplace(path, bytes);
                }
                EXPECT_EQ(error_notes([&] {
                              detected ? static_cast<void>(read_lines(path, Compression::DetectByMagic))
                                       : static_cast<void>(read_lines_gzip_or_plain(path));
                          }),
                          plain)
                    << (fifo ? "FIFO, " : "file, ") << (detected ? "detected" : "gzip or plain");
            }
        }
    }
}

// ---- inputs that never end -------------------------------------------------

// Lines of varied digits: text that compresses only a few times over, so a
// reader that took in far more than it needed shows in the bytes written.
std::string varied_lines(std::uint64_t& seed, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        text += "chr1\t" + std::to_string(seed >> 20) + "\t.\tN\t<DEL>\n";
    }
    return text;
}

// Writes `head`, then varied lines without end, into a FIFO at `path`,
// plainly or as one gzip stream flushed as it goes, until the reader goes
// away; or until `limit` bytes of text, so a reader that never stops fails
// the test instead of hanging it.
class EndlessFeeder {
public:
    EndlessFeeder(const std::string& path, std::string head, bool gzip, std::size_t limit = std::size_t{64} << 20) {
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        previous_ = ::signal(SIGPIPE, SIG_IGN);  // a reader that stops early is the point
        writer_ = std::thread([this, path, head = std::move(head), gzip, limit] {
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            z_stream stream{};
            if (gzip) deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
            std::uint64_t seed = 1;
            std::string text = head;
            for (std::size_t produced = 0; produced < limit; produced += text.size(), text = varied_lines(seed, 400)) {
                std::string out = text;
                if (gzip) {
                    out.assign(deflateBound(&stream, text.size()) + 64, '\0');
                    stream.next_in = reinterpret_cast<Bytef*>(text.data());
                    stream.avail_in = static_cast<uInt>(text.size());
                    stream.next_out = reinterpret_cast<Bytef*>(out.data());
                    stream.avail_out = static_cast<uInt>(out.size());
                    deflate(&stream, Z_SYNC_FLUSH);
                    out.resize(out.size() - stream.avail_out);
                }
                if (!write_all(fd, out)) break;
            }
            if (gzip) {
                std::string out(64, '\0');
                stream.next_out = reinterpret_cast<Bytef*>(out.data());
                stream.avail_out = static_cast<uInt>(out.size());
                deflate(&stream, Z_FINISH);
                out.resize(out.size() - stream.avail_out);
                write_all(fd, out);
                deflateEnd(&stream);
            }
            ::close(fd);
        });
    }
    ~EndlessFeeder() {
        if (writer_.joinable()) writer_.join();
        ::signal(SIGPIPE, previous_);
    }

    // Bytes that reached the FIFO, once the writer is done.
    std::size_t written() {
        writer_.join();
        return written_;
    }

private:
    bool write_all(int fd, const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
            written_ += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::thread writer_;
    std::size_t written_ = 0;
    void (*previous_)(int) = SIG_DFL;
};

// Each way the system reads a whole input, given whether it is gzip.
struct ReadingWay {
    const char* name;
    std::function<void(const std::string& path, bool gzip)> read;
};

const ReadingWay kWays[] = {
    {"whole", [](const std::string& path, bool gzip) { read_lines(path, gzip ? Compression::Gzip : Compression::Plain); }},
    {"detected", [](const std::string& path, bool) { read_lines(path, Compression::DetectByMagic); }},
    {"gzip_or_plain", [](const std::string& path, bool) { read_lines_gzip_or_plain(path); }},
    {"streamed",
     [](const std::string& path, bool gzip) {
         TextReader reader(path, gzip ? Compression::Gzip : Compression::Plain);
         std::string line;
         while (reader.next_line(line)) {
         }
     }},
};

struct EndlessCase {
    const ReadingWay* way;
    bool gzip;
};

std::string endless_case_name(const ::testing::TestParamInfo<EndlessCase>& info) {
    return std::string(info.param.way->name) + (info.param.gzip ? "_gzip" : "_plain");
}

std::vector<EndlessCase> endless_cases() {
    std::vector<EndlessCase> cases;
    for (const ReadingWay& way : kWays) {
        for (const bool gzip : {false, true}) cases.push_back({&way, gzip});
    }
    return cases;
}

class EndlessInput : public ::testing::TestWithParam<EndlessCase> {};

// A stream that turns bad and then goes on for ever fails at its first bad
// byte, naming its line, having read little past it.
TEST_P(EndlessInput, FailsAtTheFirstBadByte) {
    TempDir dir;
    std::uint64_t seed = 7;
    std::string head = varied_lines(seed, 3000);  // well past one read chunk
    const std::string bad_line = "chr1\t3001\t.\t\xff\tX\n";
    head += bad_line;
    const std::string fifo = dir.path("endless");
    EndlessFeeder feeder(fifo, head, GetParam().gzip);
    // Gzip that holds no text gives the gzip-or-plain reading's plain
    // error: the compressed bytes fail on their first line.
    const bool plain_verdict = GetParam().gzip && std::string(GetParam().way->name) == "gzip_or_plain";
    try {
        GetParam().way->read(fifo, GetParam().gzip);
        ADD_FAILURE() << "no decode error";
    } catch (const UnicodeDecodeError& error) {
        if (!plain_verdict) {
            EXPECT_EQ(error.object(), bad_line);
        }
        EXPECT_EQ(error.start(), plain_verdict ? 1u : 12u);
        ASSERT_FALSE(error.notes().empty());
        EXPECT_EQ(error.notes()[0], "while reading " + fifo + ", line " + (plain_verdict ? "1" : "3001"));
    }
    EXPECT_LT(feeder.written(), std::size_t{4} << 20);
}

struct Interrupted {};  // no std::exception: it must pass through untouched

// The interrupt check is polled while reading, and whatever it throws (the
// host's interrupt, or running out of memory) passes through unchanged:
// never turned into a decode error or a plain reading of the same bytes.
TEST_P(EndlessInput, PassesWhatTheInterruptCheckThrows) {
    static int calls;
    static bool out_of_memory;
    for (const bool memory : {false, true}) {
        TempDir dir;
        const std::string fifo = dir.path("endless");
        EndlessFeeder feeder(fifo, "", GetParam().gzip);
        calls = 0;
        out_of_memory = memory;
        const InterruptCheck previous = set_interrupt_check([] {
            if (++calls < 3) return;
            if (out_of_memory) throw std::bad_alloc();
            throw Interrupted{};
        });
        try {
            GetParam().way->read(fifo, GetParam().gzip);
            ADD_FAILURE() << "the reading ended on its own";
        } catch (const Interrupted&) {
            EXPECT_FALSE(memory);
        } catch (const std::bad_alloc&) {
            EXPECT_TRUE(memory);
        }
        set_interrupt_check(previous);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, EndlessInput, ::testing::ValuesIn(endless_cases()), endless_case_name);

// A read waiting on a FIFO that nobody feeds ends when a signal arrives and
// the interrupt check says so.
TEST(PipeInput, AWaitForBytesThatNeverComeEndsOnInterrupt) {
    static std::atomic<bool> signalled{false};
    signalled = false;
    struct sigaction action {}, previous_action {};
    action.sa_handler = [](int) { signalled = true; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the read returns EINTR, as under Python
    ::sigaction(SIGUSR1, &action, &previous_action);
    const InterruptCheck previous = set_interrupt_check([] {
        if (signalled) throw Interrupted{};
    });

    TempDir dir;
    const std::string fifo = dir.path("silent");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        // Holds the FIFO open and writes nothing; after a while it closes, so
        // a reader deaf to the signals fails the test rather than hang it.
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        for (int i = 0; i < 50 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done) ::pthread_kill(reader, SIGUSR1);
        }
        ::close(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(read_lines_gzip_or_plain(fifo), Interrupted);
    done = true;
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    set_interrupt_check(previous);
    ::sigaction(SIGUSR1, &previous_action, nullptr);
}

// A reading of unknown length beyond one piece of the reader's buffer
// (64 MiB) comes out whole; a bad byte after it names its line, counted
// across the pieces, and shows the line from its start in an earlier piece.
TEST(PipeInput, AReadingLongerThanOnePieceIsWholeAndCountsItsLines) {
    const std::string record = "chr1\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\n";
    const std::size_t lines = (std::size_t{63} << 20) / record.size();
    std::string base;
    base.reserve(lines * record.size());
    for (std::size_t i = 0; i < lines; ++i) base += record;
    const std::string long_line(std::size_t{2} << 20, 'a');  // across the first piece's end
    for (const bool bad : {false, true}) {
        TempDir dir;
        const std::string fifo = dir.path("long");
        const std::string text = base + long_line + (bad ? "\xff\n" : "\nlast\n");
        FifoFeeder feeder(fifo, text);
        if (!bad) {
            const LineBuffer buffer = read_lines(fifo, Compression::Plain);
            EXPECT_TRUE(buffer.text() == text);
            EXPECT_EQ(buffer.lines().size(), lines + 2);
            continue;
        }
        try {
            read_lines(fifo, Compression::Plain);
            ADD_FAILURE() << "no decode error";
        } catch (const UnicodeDecodeError& error) {
            EXPECT_TRUE(error.object() == long_line + "\xff\n");
            EXPECT_EQ(error.start(), long_line.size());
            EXPECT_EQ(error.notes().at(0), "while reading " + fifo + ", line " + std::to_string(lines + 1));
        }
    }
}

}  // namespace
}  // namespace merivane

#endif  // _WIN32
