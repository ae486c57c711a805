// Inputs that give their bytes only once (a FIFO, a pipe, /dev/stdin) read
// exactly as the same bytes in a regular file: nothing is opened twice or
// sought back.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/error.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"

namespace merivane {
namespace {

using testing::TempDir;

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

INSTANTIATE_TEST_SUITE_P(Inputs, PipeInput,
                         ::testing::Values(PipeCase{"plain", vcf_text()},
                                           PipeCase{"gzip", testing::gzip_bytes(vcf_text())},
                                           PipeCase{"empty", ""}, PipeCase{"one_byte", "x"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Neither gzip nor text: the plain reading's error, as for a file.
TEST(PipeInput, UndecodableBytesFailAsFromAFile) {
    for (const std::string& bytes : {std::string("chr1\t1\n\xff\n"), std::string("\x1f\x8b not gzip")}) {
        TempDir dir;
        const std::string fifo = dir.path("fifo.vcf");
        FifoFeeder feeder(fifo, bytes);
        EXPECT_THROW(read_lines_gzip_or_plain(fifo), UnicodeDecodeError);
    }
}

}  // namespace
}  // namespace merivane

#endif  // _WIN32
