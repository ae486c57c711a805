#include "repeats/engines.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <span>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/process.hpp"
#include "platform/temp_file.hpp"
#include "platform/strings.hpp"
#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"
#include "repeats/intervals.hpp"

namespace merivane::repeats {

void reject_output_naming_inputs(const std::string& output_path, const std::string& repeat_path,
                                 const std::string& bed_path) {
    for (const auto& [input_path, what] : {std::pair{&repeat_path, "repeat VCF"}, std::pair{&bed_path, "catalog BED"}}) {
        if (!same_file(output_path, *input_path)) continue;
        throw ValueError("The filtered repeats output \"" + output_path + "\" is the " + what + " \"" + *input_path +
                         "\"; writing it would destroy that input");
    }
}

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

namespace {

// The header lines bedtools is to copy ("-header"): the lines that start
// with "#" before the first that does not, each ending in "\n".
std::string leading_header(const std::string& path) {
    TextReader reader(path, Compression::DetectByMagic);
    std::string header;
    std::string line;
    while (reader.next_line(line) && is_header_line(line)) {
        header += line;
        if (!line.ends_with('\n')) header += '\n';
    }
    return header;
}

// Keeps the start of bedtools' output, enough to hold the expected header
// even with "\r\n" line ends, and tells whether it begins with that header.
class HeaderCheck {
public:
    explicit HeaderCheck(std::string expected) : expected_(std::move(expected)) {}
    void see(std::string_view data) {
        const std::size_t room = 2 * expected_.size() + 2 - std::min(head_.size(), 2 * expected_.size() + 2);
        head_.append(data.substr(0, std::min(room, data.size())));
    }
    bool passed() const {
        std::string normalised;
        for (std::size_t i = 0; i < head_.size() && normalised.size() < expected_.size(); ++i) {
            if (head_[i] == '\r' && i + 1 < head_.size() && head_[i + 1] == '\n') continue;
            normalised += head_[i];
        }
        return normalised == expected_;
    }
    std::size_t lines() const { return static_cast<std::size_t>(std::count(expected_.begin(), expected_.end(), '\n')); }

private:
    std::string expected_;
    std::string head_;
};

}  // namespace

void intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                             const std::string& output_path) {
    reject_output_naming_inputs(output_path, repeat_path, bed_path);
    const BedtoolsInput input(repeat_path);
    // The command that runs, on the decompressed copy when there is one.
    const std::vector<std::string> command = bedtools_command(input.path(), bed_path);
    const auto program = find_executable(command[0]);
    if (!program) throw OSError(ENOENT, command[0]);
    std::vector<std::string> argv = command;
    argv[0] = *program;
    HeaderCheck header(leading_header(input.path()));
    // Replaces an earlier output only once bedtools has succeeded.
    AtomicOutput output(output_path);
    // bedtools exits 0 even when its writes fail (a full disk), so its
    // output passes through here, where a failed write is seen and raised.
    ChildOptions options;
    options.stdout_sink = [&](std::string_view data) {
        header.see(data);
        output.write(data);
    };
    const ChildResult result = run_child(argv, options);
    if (result.exit_status != 0) throw CalledProcessError(result.exit_status, command);
    // A truncated or foreign output must not pass for a filtered VCF.
    if (!header.passed()) {
        throw RuntimeError("bedtools exited 0, but its output does not begin with the " +
                           std::to_string(header.lines()) + " header lines of \"" + repeat_path +
                           "\"; the filtered repeats were not written");
    }
    output.commit();
}

IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path) {
    reject_output_naming_inputs(output_path, repeat_path, bed_path);
    const CatalogIntervals catalog = read_bed_intervals(bed_path);
    TextReader input(repeat_path, Compression::DetectByMagic);
    AtomicOutput output(output_path);

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
            if (is_header_line(line)) {
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
        throw;
    }
    output.commit();
    log_info("Repeat records kept: %d, outside the catalog: %d", {counts.kept, counts.dropped});
    return counts;
}

}  // namespace merivane::repeats
