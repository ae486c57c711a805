#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.hpp"
#include "test_support.hpp"
#include "unifier/reading.hpp"

namespace merivane::unifier {
namespace {

using testing::CapturedLog;
using testing::TempDir;

std::vector<std::string> strings(const Lines& lines) { return {lines.views.begin(), lines.views.end()}; }

const std::string kVcf =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\n"
    "chr1\t5\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n";

TEST(GetLines, PlainGzipAndBgzfGiveTheSameLines) {
    TempDir dir;
    const auto plain = dir.write("a.vcf", kVcf);
    const auto gz = dir.write("a.vcf.gz", testing::gzip_bytes(kVcf));
    // Two members, split mid-line, as a BGZF file is made of.
    const auto bgzf = dir.write("b.vcf.gz", testing::gzip_bytes(kVcf.substr(0, 30)) + testing::gzip_bytes(kVcf.substr(30)));
    const auto expected = strings(get_lines(plain));
    EXPECT_EQ(expected.size(), 3u);
    EXPECT_EQ(strings(get_lines(gz)), expected);
    EXPECT_EQ(strings(get_lines(bgzf)), expected);
}

TEST(GetLines, GzipTextIsStrictUtf8) {
    TempDir dir;
    const auto good = dir.write("good.gz", testing::gzip_bytes("caf\xc3\xa9\n"));
    EXPECT_EQ(strings(get_lines(good)), std::vector<std::string>{"caf\xc3\xa9\n"});
    // Latin-1 bytes inside gzip: the gzip reading fails, then the plain one
    // meets the compressed bytes; nothing is silently mis-decoded.
    const auto latin1 = dir.write("latin1.gz", testing::gzip_bytes("caf\xe9\n"));
    EXPECT_THROW(get_lines(latin1), UnicodeDecodeError);
}

TEST(GetLines, MissingFileNamesThePath) {
    try {
        get_lines("/nonexistent/dir/x.vcf");
        FAIL();
    } catch (const OSError& error) {
        EXPECT_EQ(error.errnum(), ENOENT);
        EXPECT_EQ(error.filename(), "/nonexistent/dir/x.vcf");
    }
}

TEST(IsEmpty, OnlyHeadersAndBlankLinesAreEmpty) {
    std::vector<std::string_view> lines = {"##meta\n", "\n", "   \n", "  #CHROM\tPOS\n"};
    EXPECT_TRUE(is_empty(lines));
    lines.push_back("chr1\t5\n");
    EXPECT_FALSE(is_empty(lines));
    EXPECT_TRUE(is_empty(std::vector<std::string_view>{}));
}

TEST(VcfHeader, EndsAtTheFirstLineMentioningChrom) {
    const std::vector<std::string_view> full = {"##a\n", "#CHROM\tPOS\n", "rec\n"};
    EXPECT_EQ(vcf_header_from_lines(full), "##a\n#CHROM\tPOS\n");
    const std::vector<std::string_view> no_header = {"##a\n", "rec\n"};
    EXPECT_EQ(vcf_header_from_lines(no_header), "##a\nrec\n");
    const std::vector<std::string_view> mention = {"##note=see #CHROM\n", "##b\n", "#CHROM\n"};
    EXPECT_EQ(vcf_header_from_lines(mention), "##note=see #CHROM\n");
}

std::vector<std::string> warnings(const CapturedLog& log) {
    std::vector<std::string> out;
    for (const auto& event : log.events()) {
        if (event.level != LogLevel::Warning) continue;
        out.push_back(event.format + " / " + std::get<std::string>(event.args.at(0)));
    }
    return out;
}

TEST(ReadStructLines, AbsentInputsAreWarnedAboutInOrder) {
    CapturedLog log;
    const FilesLines result = read_struct_lines({}, UnifyOptions{});
    for (const auto& entry : result) EXPECT_FALSE(entry.has_value());
    const std::string missing = kInputMissing;
    EXPECT_EQ(warnings(log), (std::vector<std::string>{missing + " / sv", missing + " / cnv", missing + " / repeats",
                                                       missing + " / roh"}));
}

TEST(ReadStructLines, HeaderOnlyAndFullyFilteredInputsAreLeftOut) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##h\n#CHROM\tPOS\n" "chr1\t5\t.\tN\t.\t9\tInvBreakpoint\tSVTYPE=INV\tGT\t0/1\n");
    files[kind_index(InputKind::Cnv)] = dir.write("cnv.vcf", "##h\n\n#CHROM\n");
    files[kind_index(InputKind::Repeats)] = dir.write("rep.vcf", kVcf);
    UnifyOptions options;
    options.drop_sv_filters = {"InvBreakpoint"};
    CapturedLog log;
    const FilesLines result = read_struct_lines(files, options);
    EXPECT_FALSE(result[kind_index(InputKind::Sv)]);
    EXPECT_FALSE(result[kind_index(InputKind::Cnv)]);
    ASSERT_TRUE(result[kind_index(InputKind::Repeats)]);
    EXPECT_EQ(result[kind_index(InputKind::Repeats)]->views.size(), 3u);
    ASSERT_EQ(log.events().size(), 4u);
    // The filter's report comes before the SV input is found empty.
    EXPECT_EQ(log.events()[0].level, LogLevel::Info);
    const std::string empty = kInputEmpty;
    EXPECT_EQ(warnings(log), (std::vector<std::string>{empty + " / sv", empty + " / cnv",
                                                       std::string(kInputMissing) + " / roh"}));
}

TEST(ReadStructLines, AGivenPathThatNamesNoFileStopsTheReading) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Cnv)] = dir.path("missing.vcf");
    files[kind_index(InputKind::Repeats)] = dir.write("rep.vcf", kVcf);
    CapturedLog log;
    EXPECT_THROW(read_struct_lines(files, UnifyOptions{}), OSError);
    EXPECT_EQ(warnings(log), std::vector<std::string>{std::string(kInputMissing) + " / sv"});
}

}  // namespace
}  // namespace merivane::unifier
