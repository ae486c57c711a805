#include <gtest/gtest.h>

#include <zlib.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "cli/front_doors.hpp"
#include "compression/gnu_sort.hpp"
#include "platform/vcf_fields.hpp"
#include "compression/sort_and_compress.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/system_files.hpp"
#include "platform/text_reader.hpp"
#include "test_support.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {
namespace {

namespace fs = std::filesystem;

using unifier::InputKind;
using unifier::kind_index;
using unifier::StructFiles;
using unifier::UnifyOptions;

using testing::CapturedLog;
using testing::entries;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_script;

const std::string kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";

std::string gunzip(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    std::string out;
    char buffer[4096];
    int n;
    while ((n = gzread(file, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    gzclose(file);
    return out;
}

TEST(Unify, WritesSortedBgzfAndRemovesThePlainFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t5\t.\tN\t<DEL>\t.\tInvBreakpoint\tSVTYPE=DEL\tGT\t0/1\n" +
                                "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr1\t9\t20\t3\n");
    UnifyOptions options;
    options.drop_sv_filters = {"InvBreakpoint"};
    const std::string output = dir.path("u.vcf");
    CapturedLog log;
    EXPECT_EQ(unify(files, output, options), output + ".gz");
    EXPECT_FALSE(path_exists(output));
    EXPECT_EQ(gunzip(output + ".gz"), "##s\n" + kColumns +
                                          "chr1\t10\t.\tN\t<ROH>\t.\tPASS\tEND=20;SVTYPE=ROH;ROH_SCORE=3\tGT\t1/1\n"
                                          "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
}

TEST(Unify, NothingToUnifyLeavesTheEmptyPlainFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr1\t9\t20\t3\n");
    const std::string output = dir.path("u.vcf");
    CapturedLog log;
    EXPECT_EQ(unify(files, output, UnifyOptions{}), std::nullopt);
    EXPECT_TRUE(path_exists(output));
    EXPECT_FALSE(path_exists(output + ".gz"));
}

TEST(Unify, AMalformedLineNamesItsFile) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
    const std::string roh = dir.write("roh.bed", "chr1\t9\t20\t3\nchr1\tstart\t30\t1\n");
    files[kind_index(InputKind::Roh)] = roh;
    CapturedLog log;
    try {
        unify(files, dir.path("u.vcf"), UnifyOptions{});
        FAIL() << "a BED line without a start position was accepted";
    } catch (const ValueError& error) {
        EXPECT_EQ(error.notes(), (std::vector<std::string>{"in the roh input, line 2", "the roh input is " + roh}));
    }
}

// The run, which never reads the plain unified file back, against the long
// way (the unified file written, then sorted and
// compressed): the same bytes, the same messages, the same files left.
struct ShortcutCase {
    const char* name;
    std::string sv, cnv, repeats, roh;  // "" for an absent input
    bool merge_headers;
    std::optional<compression::IndexFormat> index;
    compression::SortOrder order;
};

ShortcutCase shortcut(const char* name, std::string sv, std::string cnv, std::string repeats, std::string roh,
                      bool merge_headers = false, std::optional<compression::IndexFormat> index = std::nullopt,
                      compression::SortOrder order = compression::SortOrder::Text) {
    return {name, std::move(sv), std::move(cnv), std::move(repeats), std::move(roh), merge_headers, index, order};
}

std::vector<std::string> rendered(const CapturedLog& log) {
    std::vector<std::string> out;
    for (const LogEvent& event : log.events()) {
        out.push_back(event.format);
        for (const LogArg& arg : event.args) {
            if (const auto* text = std::get_if<std::string>(&arg)) out.push_back(*text);
        }
    }
    return out;
}

class UnifyWithoutReadingBack : public ::testing::TestWithParam<ShortcutCase> {};

TEST_P(UnifyWithoutReadingBack, GivesWhatTheLongWayGives) {
    const ShortcutCase& c = GetParam();
    TempDir dir;
    StructFiles files;
    const std::string* texts[] = {&c.sv, &c.cnv, &c.repeats, &c.roh};
    const char* names[] = {"sv.vcf", "cnv.vcf", "repeats.vcf", "roh.bed"};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!texts[i]->empty()) files[i] = dir.write(names[i], *texts[i]);
    }
    OutputSettings settings;
    settings.merge_headers = c.merge_headers;
    settings.compression.index = c.index;
    settings.compression.order = c.order;

    fs::create_directory(dir.path("long"));
    const std::string long_output = dir.path("long/u.vcf");
    CapturedLog long_log;
    const auto plain = unifier::unify_lines(unifier::table_of(unifier::read_struct_lines(files, {})), long_output, {},
                                            {}, c.merge_headers);
    if (plain) compression::sort_and_compress(*plain, std::nullopt, false, std::nullopt, settings.compression);

    fs::create_directory(dir.path("short"));
    const std::string output = dir.write("short/u.vcf", "an earlier file, replaced and removed as the long way does");
    CapturedLog log;
    const auto compressed = unify(files, output, {}, settings);
    EXPECT_EQ(entries(dir.path("short")), entries(dir.path("long")));
    if (plain) {
        EXPECT_EQ(compressed, output + ".gz");
        EXPECT_EQ(read_file(output + ".gz"), read_file(long_output + ".gz"));
    } else {
        // Nothing to unify: the empty plain file stays, nothing is compressed.
        EXPECT_EQ(compressed, std::nullopt);
        EXPECT_EQ(read_file(output), "");
    }
    if (c.index) {
        const std::string suffix = *c.index == compression::IndexFormat::Tbi ? ".gz.tbi" : ".gz.csi";
        EXPECT_EQ(read_file(output + suffix), read_file(long_output + suffix));
    }
    std::vector<std::string> expected = rendered(long_log);
    for (std::string& text : expected) {
        if (text.starts_with(long_output)) text.replace(0, long_output.size(), output);
    }
    EXPECT_EQ(rendered(log), expected);
}

const std::string kSvHeader = "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n" + kColumns;
const std::string kRecord2 = "chr2\t7\t.\tN\t<DUP>\t.\tPASS\tSVTYPE=DUP;END=9\tGT\t0/1\n";
const std::string kRecord1 = "chr1\t30\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END=40\tGT\t0/1\n";
const std::string kRepeats = "##fileformat=VCFv4.2\n##INFO=<ID=TRID,Number=1,Type=String,Description=\"x\">\n" +
                             kColumns + "chr1\t12\t.\tCAG\t<STR5>\t.\tPASS\tTRID=a;END=20\tGT\t0/1\n";
const std::string kCnv = "##fileformat=VCFv4.2\n" + kColumns + "chr1\t5\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=CNV;END=8\tGT\t0/1\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, UnifyWithoutReadingBack,
    ::testing::Values(shortcut("AllFour", kSvHeader + kRecord2 + kRecord1, kCnv, kRepeats, "chr1\t9\t20\t3\n"),
                      // The last line of an input without its line feed,
                      // blank lines, a comment among the records, and
                      // "\r\n" and a lone "\r" ending lines.
                      shortcut("RaggedLines", kSvHeader + kRecord2 + "\n  \r\n#note\r" + kRecord1.substr(0, 20), kCnv,
                                   "", "chr1\t9\t20\t3"),
                      shortcut("RepeatsDonateTheHeader", "", "", kRepeats, "chr1\t9\t20\t3\n"),
                      shortcut("NothingToUnify", kSvHeader, "", "", "chr1\t9\t20\t3\n"),
                      shortcut("MergedHeaders", kSvHeader + kRecord2, kCnv, kRepeats, "", true),
                      shortcut("WithAnIndex", kSvHeader + kRecord2 + kRecord1, kCnv, "", "", false,
                                   compression::IndexFormat::Tbi),
                      // Contig order with an index, both engines' way; a
                      // contig line met among the records still counts.
                      shortcut("ContigOrder", kSvHeader + "##contig=<ID=chr2>\n" + kRecord2 + kRecord1 +
                                   "chr10\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END=9\tGT\t0/1\n",
                               kCnv, "", "", true, compression::IndexFormat::Csi, compression::SortOrder::Contig),
                      shortcut("LateContigLine", kSvHeader + kRecord2 + "##contig=<ID=chr2>\n" + kRecord1, kCnv,
                               "", "", false, std::nullopt, compression::SortOrder::Contig)),
    [](const auto& info) { return std::string(info.param.name); });

// A link where the unified file goes is replaced and then removed, as on
// the long way, whether it names a file or nothing; what it names stays.
TEST(UnifyWithoutReadingBack, ALinkAtTheOutputGoesAndItsTargetStays) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] = dir.write("sv.vcf", kSvHeader + kRecord2);
    const std::string victim = dir.write("victim", "someone else's file\n");
    CapturedLog log;
    for (const std::string& target : {victim, dir.path("nowhere")}) {
        const std::string output = dir.path("u.vcf");
        if (!testing::make_symlink(target, output)) GTEST_SKIP() << "the system refuses to make symbolic links";
        EXPECT_EQ(unify(files, output, UnifyOptions{}), output + ".gz");
        EXPECT_FALSE(fs::exists(fs::symlink_status(output))) << target;
    }
    EXPECT_EQ(read_file(victim), "someone else's file\n");
}

#ifndef _WIN32
// Contig order with a contig line among the records makes GNU sort's pass
// unusable; a FIFO output cannot be read back for another, so the run must
// sort in memory and give what a file output gives.
TEST(UnifyWithoutReadingBack, AFifoOutputWithALateContigLineIsNotReadBack) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] = dir.write("sv.vcf", kSvHeader + kRecord2 + "##contig=<ID=chr2>\n" + kRecord1);
    OutputSettings settings;
    settings.compression.order = compression::SortOrder::Contig;
    const std::string file_output = dir.path("file.vcf");
    ASSERT_EQ(unify(files, file_output, {}, settings), file_output + ".gz");

    const std::string fifo = dir.path("fifo.vcf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string streamed;
    std::thread reader([&] { streamed = read_file(fifo); });
    const auto compressed = unify(files, fifo, {}, settings);
    reader.join();
    EXPECT_EQ(compressed, fifo + ".gz");
    EXPECT_NE(streamed.find(kRecord1), std::string::npos);
    EXPECT_EQ(read_file(fifo + ".gz"), read_file(file_output + ".gz"));
    EXPECT_TRUE(fs::is_fifo(fifo));
}
#endif

// As on the long way, a failed sort leaves the unified file in place and
// an earlier ".gz" untouched.
TEST(UnifyWithoutReadingBack, AFailedSortLeavesTheUnifiedFile) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    TempDir bin;
    write_script(bin, "sort", "case \"$1\" in --version) echo 'sort (GNU coreutils) 9.1';; *) exit 3;; esac");
    ScopedEnv path("PATH", bin.path(""));
    const std::string sv = kSvHeader + kRecord2 + "\n" + kRecord1;
    StructFiles files;
    files[kind_index(InputKind::Sv)] = dir.write("sv.vcf", sv);
    const std::string output = dir.write("u.vcf", "earlier");
    dir.write("u.vcf.gz", "earlier good output");
    CapturedLog log;
    EXPECT_THROW(unify(files, output, UnifyOptions{}), CalledProcessError);
    EXPECT_EQ(read_file(output), sv);
    EXPECT_EQ(read_file(output + ".gz"), "earlier good output");
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"sv.vcf", "u.vcf", "u.vcf.gz"}));
}

// A command's run keeps no plain file: it leaves nothing at the unified
// file's path when the sort fails (an earlier file there stays, and so does
// an earlier ".gz"), and with nothing to unify it writes nothing at all.
TEST(UnifyWithoutReadingBack, ACommandsRunLeavesNoPlainFile) {
    MERIVANE_SKIP_WITHOUT_POSIX_SHELL();
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] = dir.write("sv.vcf", kSvHeader + kRecord2 + kRecord1);
    const std::string output = dir.write("u.vcf", "earlier");
    dir.write("u.vcf.gz", "earlier good output");
    OutputSettings settings;
    settings.command = "merivane dragen";
    {
        TempDir bin;
        write_script(bin, "sort", "case \"$1\" in --version) echo 'sort (GNU coreutils) 9.1';; *) exit 3;; esac");
        ScopedEnv path("PATH", bin.path(""));
        CapturedLog log;
        EXPECT_THROW(unify(files, output, UnifyOptions{}, settings), CalledProcessError);
        EXPECT_EQ(read_file(output + ".gz"), "earlier good output");
    }
    EXPECT_EQ(read_file(output), "earlier");
    // After a success the earlier file goes, as the plain file would have.
    EXPECT_EQ(unify(files, output, UnifyOptions{}, settings), output + ".gz");
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"sv.vcf", "u.vcf.gz"}));
    const TempDir empty;
    files[kind_index(InputKind::Sv)] = empty.write("sv.vcf", kSvHeader);
    EXPECT_THROW(unify(files, empty.path("none.vcf"), UnifyOptions{}, settings), ValueError);
    EXPECT_EQ(entries(empty.path("")), std::vector<std::string>{"sv.vcf"});
}

struct OverlapCase {
    const char* name;
    std::string output;  // relative to the directory, "" for the input itself
    std::string input;
    bool refused;
};

class OutputsNamingInputs : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(OutputsNamingInputs, AreRefused) {
    TempDir dir;
    const auto& c = GetParam();
    const std::string input = dir.write(c.input, "##x\n");
    const std::string other = dir.write("other.vcf", "##y\n");
    const RunPlan plan{{other, input, std::nullopt, std::nullopt}, dir.path(c.output), UnifyOptions{}, {}, {}};
    if (c.refused) {
        EXPECT_THROW(check_plan(plan), ValueError);
    } else {
        EXPECT_NO_THROW(check_plan(plan));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, OutputsNamingInputs,
                         ::testing::Values(OverlapCase{"Same", "in.vcf", "in.vcf", true},
                                           OverlapCase{"CompressedOutput", "in.vcf", "in.vcf.gz", true},
                                           OverlapCase{"SortingTemporaryName", "in.vcf", "in.vcf.sorted.tmp", true},
                                           OverlapCase{"IndexOfCompressedOutput", "in.vcf", "in.vcf.gz.csi", true},
                                           OverlapCase{"OtherSpelling", "sub/../in.vcf", "in.vcf", true},
                                           OverlapCase{"Distinct", "out.vcf", "in.vcf", false},
                                           OverlapCase{"InputIsPlainOfOutput", "in.vcf.gz", "in.vcf", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OutputsNamingInputs, ALinkToAnInputIsTheInput) {
    TempDir dir;
    const std::string input = dir.write("in.vcf", "##x\n");
    const std::string link = dir.path("link.vcf");
    if (!testing::make_symlink(input, link)) GTEST_SKIP() << "the system refuses to make symbolic links";
    EXPECT_THROW(check_plan({{input, std::nullopt, std::nullopt, std::nullopt}, link, UnifyOptions{}, {}, {}}),
                 ValueError);
}

}  // namespace
}  // namespace merivane::cli

namespace merivane::cli {
namespace {

// read = kept + every reason; the kept records are the file's records.
void expect_counts_add_up(const RunStats& stats, const std::string& compressed) {
    std::uint64_t kept = 0;
    for (const InputStats& input : stats.inputs) {
        EXPECT_EQ(input.read, input.kept + input.filter + input.no_call + input.outside_catalog + input.header_only +
                                  input.no_column_header);
        kept += input.kept;
    }
    std::uint64_t records = 0;
    const std::string text = gunzip(compressed);
    for (const std::string_view line : split_lines(text)) records += is_record_line(line);
    EXPECT_EQ(stats.output.records, records);
    EXPECT_EQ(kept, records);
    std::uint64_t typed = stats.output.without_svtype;
    for (const auto& [svtype, count] : stats.output.by_svtype) typed += count;
    EXPECT_EQ(typed, records);
    EXPECT_EQ(stats.written.bytes, fs::file_size(compressed));
}

TEST(RunStatistics, CountEveryReasonARecordIsLeftOut) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Sv)] =
        dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t5\t.\tN\t<BND>\t.\tInvBreakpoint\tSVTYPE=BND\tGT\t0/1\n" +
                                "chr2\t9\t.\tN\t<BND>\t.\tInvBreakpoint\tSVTYPE=BND\tGT\t0/1\n");
    files[kind_index(InputKind::Cnv)] =
        dir.write("cnv.vcf", kColumns + "chr1\t1\t.\tN\t.\t.\tPASS\tEND=5\tGT\t./.\n" +
                                 "chr1\t9\t.\tN\t<DUP>\t.\tPASS\tSVTYPE=CNV;END=20\tGT\t0/1\n");
    files[kind_index(InputKind::Repeats)] = dir.write("rep.vcf", "chr3\t1\t.\tCA\tC\t.\tPASS\tEND=2\tGT\t0/1\n");
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr4\t9\t20\t3\n\nchr4\t29\t40\t3\n");
    UnifyOptions options;
    options.drop_sv_filters = {"InvBreakpoint"};
    RunStats stats;
    OutputSettings settings;
    settings.stats = &stats;
    const std::string output = dir.path("u.vcf");
    CapturedLog log;
    const auto compressed = unify(files, output, options, settings);
    ASSERT_TRUE(compressed);
    const InputStats& sv = stats.inputs[kind_index(InputKind::Sv)];
    const InputStats& cnv = stats.inputs[kind_index(InputKind::Cnv)];
    const InputStats& rep = stats.inputs[kind_index(InputKind::Repeats)];
    const InputStats& roh = stats.inputs[kind_index(InputKind::Roh)];
    // Every SV record filtered: the SV input is left out and CNV donates.
    EXPECT_EQ(std::tie(sv.read, sv.filter, sv.kept, sv.left_out), std::make_tuple(2u, 2u, 0u, true));
    EXPECT_EQ(std::tie(cnv.read, cnv.no_call, cnv.kept), std::make_tuple(2u, 1u, 1u));
    EXPECT_EQ(std::tie(rep.read, rep.no_column_header, rep.kept), std::make_tuple(1u, 1u, 0u));
    EXPECT_EQ(std::tie(roh.read, roh.kept), std::make_tuple(2u, 2u));
    EXPECT_EQ(*roh.path, *files[kind_index(InputKind::Roh)]);
    EXPECT_EQ(stats.output.by_chromosome, (unifier::RecordTally::Counts{{"chr1", 1}, {"chr4", 2}}));
    expect_counts_add_up(stats, *compressed);
    EXPECT_GT(stats.written.compress, 0.0);
}

TEST(RunStatistics, AddUpOnTheBundledExamples) {
    TempDir dir;
    const std::string examples = std::string(MERIVANE_SOURCE_DIR) + "/examples/";
    CapturedLog log;
    for (const bool gnu_sort : {true, false}) {
        // Without GNU sort the unified file is written and read back.
        std::optional<ScopedEnv> no_sort;
        if (!gnu_sort) no_sort.emplace("PATH", dir.path("nothing-here"));
        RunStats dragen;
        OutputSettings settings;
        settings.stats = &dragen;
        const std::string e = examples + "dragen/NA12878.";
        auto compressed = unify({e + "sv.vcf", e + "cnv.vcf", e + "repeats.vcf", e + "roh.bed"}, dir.path("d.vcf"),
                                UnifyOptions{}, settings);
        ASSERT_TRUE(compressed);
        expect_counts_add_up(dragen, *compressed);

        RunStats ont;
        settings.stats = &ont;
        const std::string o = examples + "ont/HG002.";
        compressed = unify({o + "sv.vcf", o + "cnv.vcf", o + "repeats.vcf", std::nullopt}, dir.path("o.vcf"),
                           ont_options(std::nullopt), settings);
        ASSERT_TRUE(compressed);
        expect_counts_add_up(ont, *compressed);

        RunStats pacbio;
        settings.stats = &pacbio;
        const std::string p = examples + "pacbio/HG003.";
        compressed = run(pacbio_plan(
            dir.path("p.vcf"), p + "sv.vcf", std::nullopt, p + "trgt.vcf",
            std::string(MERIVANE_SOURCE_DIR) + "/src/Merivane/data/STRchive-disease-loci.hg38.TRGT.bed",
            {"InvBreakpoint"}, dir.path("p.rep.vcf"), settings));
        ASSERT_TRUE(compressed);
        expect_counts_add_up(pacbio, *compressed);
        const InputStats& repeats = pacbio.inputs[kind_index(InputKind::Repeats)];
        EXPECT_EQ(*repeats.path, p + "trgt.vcf");
        EXPECT_EQ(*repeats.filtered_path, dir.path("p.rep.vcf"));
        EXPECT_GT(repeats.outside_catalog, 0u);
    }
}

// The statistics file is written as the host's json.dump(indent=2) writes
// the document its dict gets: ASCII, the host's escapes, and a byte that is
// no UTF-8 as the text \xNN, so that the file stays valid UTF-8.
class StatsJsonText : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(StatsJsonText, EscapesAsTheHostDoes) {
    RunStats stats;
    stats.inputs[kind_index(InputKind::Sv)].path = GetParam().first;
    const std::string json = stats_json(stats, std::nullopt);
    EXPECT_NE(json.find("\"path\": \"" + GetParam().second + "\",\n"), std::string::npos) << json;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StatsJsonText,
    ::testing::Values(std::pair<std::string, std::string>{"a\"b\\c", "a\\\"b\\\\c"},
                      std::pair<std::string, std::string>{"t\tn\nv\x0b", "t\\tn\\nv\\u000b"},
                      std::pair<std::string, std::string>{"caf\xc3\xa9 \x7f", "caf\\u00e9 \\u007f"},
                      std::pair<std::string, std::string>{"\xf0\x9f\xa7\xac", "\\ud83e\\uddec"},
                      std::pair<std::string, std::string>{"o\xff.vcf \xc0\xaf", "o\\\\xff.vcf \\\\xc0\\\\xaf"}));

TEST(StatsJsonText, NumbersAndEmptyObjectsAsTheHostWrites) {
    RunStats stats;
    stats.read_seconds = 2;
    stats.unify_seconds = 0.25;
    const std::string json = stats_json(stats, std::string("o.vcf.gz"));
    EXPECT_NE(json.find("\"read\": 2.0,\n"), std::string::npos) << json;
    EXPECT_NE(json.find("\"unify\": 0.25,\n"), std::string::npos) << json;
    EXPECT_NE(json.find("\"by_svtype\": {},\n"), std::string::npos) << json;
    EXPECT_TRUE(json.starts_with("{\n  \"version\": \"\",\n  \"command\": null,\n  \"inputs\": {\n"));
    EXPECT_TRUE(json.ends_with("\n  }\n}\n"));
}

TEST(SortingTemporaryName, IsNoDestinationOfSortAndCompress) {
    TempDir dir;
    const std::string vcf = dir.write("u.vcf", "##x\n" + kColumns);
    EXPECT_THROW(compression::sort_and_compress(vcf, vcf + ".sorted.tmp", false, std::nullopt), ValueError);
    EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{"u.vcf"});
}

// The statistics files fail as the compressed file does: a failure at any
// step of any of them leaves no temporary file and no document describing
// a run that did not finish.
TEST(StatsFiles, AFailureAtAnyStepKeepsTheEarlierOnes) {
#ifdef _WIN32
    GTEST_SKIP() << "the failures are injected at the POSIX file layer's steps";
#endif
    const std::vector<std::string> names{"s.json", "s.summary_mqc.json", "s.sources_mqc.json", "s.svtypes_mqc.json"};
    for (const char* call : {"fsync", "rename"}) {
        for (const std::string& failing : names) {
            TempDir dir;
            StructFiles files;
            files[kind_index(InputKind::Sv)] =
                dir.write("sv.vcf", "##s\n" + kColumns + "chr2\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\n");
            for (const std::string& name : names) dir.write(name, "earlier\n");
            RunStats stats;
            OutputSettings settings;
            settings.stats = &stats;
            settings.stats_path = dir.path("s.json");
            static std::string target, step;
            target = dir.path(failing);
            step = call;
            os::injected_failure = [](const char* at, const std::string& path) {
                return at == step && path == target ? EIO : 0;
            };
            EXPECT_THROW(unify(files, dir.path("u.vcf"), UnifyOptions{}, settings), OSError) << call << failing;
            os::injected_failure = nullptr;
            // Nothing is renamed before every file is durable; the document
            // goes last, so it never stands beside files of another run.
            const bool all_earlier = step == "fsync";
            for (const std::string& name : names) {
                if (all_earlier || name == failing || name == names[0]) {
                    EXPECT_EQ(read_file(dir.path(name)), "earlier\n") << call << name;
                }
            }
            for (const std::string& entry : entries(dir.path(""))) {
                EXPECT_EQ(entry.find(".merivane-"), std::string::npos) << call << failing << ": " << entry;
            }
        }
    }
}

TEST(CommandRun, NothingToUnifyWritesNothing) {
    TempDir dir;
    StructFiles files;
    files[kind_index(InputKind::Roh)] = dir.write("roh.bed", "chr1\t9\t20\t3\n");
    const std::string output = dir.write("u.vcf", "kept\n");
    OutputSettings settings;
    settings.command = "merivane dragen -o u.vcf -d roh.bed";
    CapturedLog log;
    EXPECT_THROW(unify(files, output, UnifyOptions{}, settings), ValueError);
    EXPECT_EQ(read_file(output), "kept\n");
    EXPECT_EQ(entries(dir.path("")), (std::vector<std::string>{"roh.bed", "u.vcf"}));
}

}  // namespace
}  // namespace merivane::cli
