#include "repeats/engines.hpp"

#include <cerrno>
#include <optional>
#include <span>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/process.hpp"
#include "platform/temp_file.hpp"
#include "platform/strings.hpp"
#include "platform/text_reader.hpp"
#include "repeats/intervals.hpp"

namespace merivane::repeats {

namespace {

// On the way out of an error: what was filtered before the fault stays in
// the output, and the error being raised is the one the caller sees.
void close_keeping_output(OutputFile& output) noexcept {
    try {
        output.close();
    } catch (...) {
    }
}

}  // namespace

bool bedtools_available() { return find_executable(std::string(kBedtools)).has_value(); }

std::vector<std::string> bedtools_command(const std::string& repeat_path, const std::string& bed_path) {
    return {std::string(kBedtools), "intersect", "-u", "-a", repeat_path, "-b", bed_path, "-header"};
}

namespace {

// bedtools reads only the first member of an ordinary gzip file made of
// several (`cat a.vcf.gz b.vcf.gz`) and exits 0, silently losing the rest.
// Such a file is handed to it decompressed, through a temporary file.
class BedtoolsInput {
public:
    explicit BedtoolsInput(const std::string& repeat_path) : path_(repeat_path) {
        if (gzip_layout(repeat_path) != GzipLayout::SeveralMembers) return;
        temporary_.emplace(TempFile::in_temp_directory(".vcf"));
        path_ = temporary_->path();
        TextReader reader(repeat_path, Compression::Gzip);
        OutputFile copy(temporary_->take_fd(), temporary_->path());
        std::string line;
        while (reader.next_line(line)) copy.write(line);
        copy.close();
    }
    BedtoolsInput(const BedtoolsInput&) = delete;
    BedtoolsInput& operator=(const BedtoolsInput&) = delete;

    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    std::optional<TempFile> temporary_;
};

}  // namespace

void intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                             const std::string& output_path) {
    OutputFile output(output_path);
    const BedtoolsInput input(repeat_path);
    // The error names the caller's file, not a temporary copy that is gone
    // by the time anyone reads it.
    const std::vector<std::string> command = bedtools_command(repeat_path, bed_path);
    const auto program = find_executable(command[0]);
    if (!program) throw OSError(ENOENT, command[0]);
    std::vector<std::string> argv = bedtools_command(input.path(), bed_path);
    argv[0] = *program;
    // bedtools exits 0 even when its writes fail (a full disk), so its
    // output passes through here, where a failed write is seen and raised.
    ChildOptions options;
    options.stdout_sink = [&output](std::string_view data) { output.write(data); };
    ChildResult result;
    try {
        result = run_child(argv, options);
    } catch (...) {
        close_keeping_output(output);
        throw;
    }
    if (result.exit_status != 0) {
        close_keeping_output(output);
        throw CalledProcessError(result.exit_status, command);
    }
    output.close();
}

IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path) {
    const CatalogIntervals catalog = read_bed_intervals(bed_path);
    TextReader input(repeat_path, Compression::DetectByMagic);
    OutputFile output(output_path);

    IntersectCounts counts;
    std::uint64_t line_number = 0;
    // Records come grouped by chromosome: remember the last lookup.
    std::string last_chromosome;
    std::span<const Interval> last_intervals;
    bool have_last = false;
    std::string line;
    try {
        while (input.next_line(line)) {
            ++line_number;
            if (line.starts_with('#')) {
                output.write(line);
                continue;
            }
            if (is_ascii_blank(line)) continue;
            const auto span = record_span(line);
            if (!span) {
                ++counts.dropped;
                continue;
            }
            if (!have_last || span->chromosome != last_chromosome) {
                last_chromosome.assign(span->chromosome);
                last_intervals = catalog.intervals_of(last_chromosome);
                have_last = true;
            }
            if (overlaps(last_intervals, span->start, span->end)) {
                output.write(line);
                ++counts.kept;
            } else {
                ++counts.dropped;
            }
        }
    } catch (CorruptInputError& error) {
        error.add_note("while reading " + repeat_path + ", after line " + std::to_string(line_number));
        close_keeping_output(output);
        throw;
    } catch (...) {
        close_keeping_output(output);
        throw;
    }
    output.close();
    log_info("Repeat records kept: %d, outside the catalog: %d", {counts.kept, counts.dropped});
    return counts;
}

}  // namespace merivane::repeats
