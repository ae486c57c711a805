#include "repeats/engines.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_set>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "platform/temp_file.hpp"
#include "platform/strings.hpp"
#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::repeats {

bool bedtools_available() { return find_executable(std::string(kBedtools)).has_value(); }

namespace {

void warn_missing_eof_block(const std::string& path) {
    log_warning("%s has no BGZF end-of-file block: the file may be truncated", {path});
}

// A private copy of an input as decoded text, for bedtools: it cannot be handed
// a file read only once (a pipe, a FIFO, <(...)), and of a gzip file of several
// members reads only the first, exiting 0. Damaged data is the input's fault.
TempFile text_copy(TextReader& reader) {
    TempFile temporary = TempFile::in_temp_directory(".vcf");
    OutputFile copy(temporary.take_fd(), temporary.path());
    std::string line;
    try {
        while (reader.next_line(line)) copy.write(line);
    } catch (CorruptInputError& error) {
        error.add_note("while reading " + reader.path());
        throw;
    }
    copy.close();
    return temporary;
}

// Whether the text of `path` begins with a byte-order mark, which bedtools
// would take as part of the first line (damaged data is reported later).
bool begins_with_byte_order_mark(const std::string& path) {
    TextReader reader(path, Compression::DetectByMagic);
    std::string line;
    try {
        reader.next_line(line);
    } catch (const CorruptInputError&) {
        return false;
    }
    return reader.byte_order_mark();
}

// A private copy (above) of `path` for bedtools, or nullopt when bedtools
// reads the file whole itself. Opened once, so a FIFO is read once.
std::optional<TempFile> bedtools_copy(const std::string& path) {
    UniqueFd fd(open_for_reading(path));
    if (!reads_regular_file(fd.get())) {
        TextReader reader(path, std::move(fd), Compression::DetectByMagic);
        TempFile copy = text_copy(reader);
        if (reader.bgzf_without_eof_block()) warn_missing_eof_block(path);
        return copy;
    }
    fd.reset();
    const bool members = gzip_layout(path) == GzipLayout::SeveralMembers;
    if (!members && !begins_with_byte_order_mark(path)) return std::nullopt;
    TextReader reader(path, members ? Compression::Gzip : Compression::DetectByMagic);
    return text_copy(reader);
}

// The header lines bedtools is to copy ("-header"): the lines that start
// with "#" before the first that does not, each ending in "\n".
std::string leading_header(const std::string& path) {
    TextReader reader(path, Compression::DetectByMagic);
    std::string header;
    std::string line;
    try {
        while (reader.next_line(line) && is_header_line(line)) {
            header += line;
            if (!line.ends_with('\n')) header += '\n';
        }
    } catch (CorruptInputError& error) {
        error.add_note("while reading " + path + ", in its header");
        throw;
    }
    return header;
}

std::string_view without_chr(std::string_view name) { return name.starts_with("chr") ? name.substr(3) : name; }

std::string examples(const std::vector<std::string>& names) {
    if (names.empty()) return "none";
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + quoted(name);
    return out;
}

// The chromosomes a repeat VCF's records lie on, to tell whether any is the catalog's.
class ChromosomesSeen {
public:
    void see(std::string_view chromosome) {
        // The first record counts even when its chromosome is empty.
        if (chromosome == last_ && !names_.empty()) return;
        last_.assign(chromosome);
        if (names_.insert(last_).second && first_.size() < 3) first_.push_back(last_);
    }

    // Raises or warns (see engines.hpp) when there were records and none lies on `catalog`.
    void check(const CatalogIntervals& catalog, const std::string& repeat_path, const std::string& bed_path,
               bool required) const {
        if (names_.empty()) return;
        std::unordered_set<std::string_view> unprefixed;
        for (const std::string& name : names_) {
            if (catalog.find(name) != nullptr) return;
            unprefixed.insert(without_chr(name));
        }
        std::vector<std::string> catalog_names;
        bool naming_split = false;
        for (const auto& entry : catalog.chromosomes()) {
            if (catalog_names.size() < 3) catalog_names.push_back(entry.first);
            naming_split = naming_split || unprefixed.contains(without_chr(entry.first));
        }
        std::string catalog_named = bed_path;
        if (file_name_of(bed_path) == kBundledCatalog) catalog_named += " (the bundled hg38 catalog)";
        const std::string naming =
            naming_split ? "; the names differ only by a \"chr\" prefix: GRCh37 against hg38 naming?" : "";
        if (required) {
            throw ValueError("No repeat call lies on the catalog's chromosomes: " + repeat_path +
                             " names chromosomes " + examples(first_) + ", the catalog " + catalog_named + " names " +
                             examples(catalog_names) + naming);
        }
        log_warning("No repeat call of %s lies on a chromosome of the catalog %s: the VCF names chromosomes %s, the "
                    "catalog %s%s; every repeat call is left out",
                    {repeat_path, catalog_named, examples(first_), examples(catalog_names), naming});
    }

private:
    std::string last_;
    std::unordered_set<std::string> names_;
    std::vector<std::string> first_;  // the first few, for the message
};

// The repeat VCF as both engines read it: blank lines passed over, damaged
// data raised naming the file and the last line read.
class RepeatVcf {
public:
    RepeatVcf(const std::string& path, const std::string& named)
        : reader_(path, Compression::DetectByMagic), named_(named) {}

    // The next line that is not blank.
    bool next(std::string& line) {
        try {
            while (reader_.next_line(line)) {
                ++line_number_;
                if (!is_ascii_blank(line)) return true;
            }
        } catch (CorruptInputError& error) {
            error.add_note("while reading " + named_ + ", after line " + std::to_string(line_number_));
            throw;
        }
        return false;
    }

    // Whether `record` (without its line end) is among the records not yet passed,
    // passing those before it. Each record bedtools writes must be found so: its
    // output is then a subsequence of the input's (none invented, repeated or reordered).
    bool find(std::string_view record) {
        while (next(line_)) {
            if (is_header_line(line_)) continue;
            ++records_;
            chromosomes.see(std::string_view(line_).substr(0, line_.find('\t')));
            if (without_terminator(line_) == record) return true;
        }
        return false;
    }

    // Reads to the end (no record is empty), which checks the input whole.
    void finish() {
        find({});
        if (reader_.bgzf_without_eof_block()) warn_missing_eof_block(named_);
    }
    // The records passed so far: after finish(), all of them.
    std::int64_t records() const { return records_; }

    ChromosomesSeen chromosomes;  // of the records passed

private:
    TextReader reader_;
    std::string named_;
    std::string line_;
    std::uint64_t line_number_ = 0;
    std::int64_t records_ = 0;
};

// Checks bedtools' output as it arrives: that it begins with the VCF's header
// lines ("\r\n" line ends allowed), and each record line against the input's
// records. finish() raises the first stray one only after the exit status has
// had its say: a bedtools that failed half-way wrote it because it failed.
class OutputRecords {
public:
    OutputRecords(RepeatVcf& input, const std::string& repeat_path, std::string header)
        : input_(input), repeat_path_(repeat_path), header_(std::move(header)) {}

    void see(std::string_view data) {
        lines_.feed(data, [this](std::string_view line) { check(line); });
    }
    // The last line, when the output does not end in a line break.
    void end() {
        if (!lines_.rest().empty()) check(lines_.rest());
        lines_.rest().clear();
    }
    void finish() const {
        if (!stray_) return;
        throw RuntimeError("bedtools wrote a record that is not the next record of \"" + repeat_path_ +
                           "\" (invented, repeated or out of order): " + quoted(*stray_) +
                           "; the filtered repeats were not written");
    }
    // Whether the output began with the header lines, and how many they are.
    bool header_passed() const { return header_matched_ == header_.size(); }
    std::size_t header_lines() const { return static_cast<std::size_t>(std::ranges::count(header_, '\n')); }
    // The record lines written (each one of the input's, unless finish() raises).
    std::int64_t kept() const { return kept_; }

private:
    void check(std::string_view line) {
        if (header_matched_ < header_.size()) {
            const std::string normalised =
                line.ends_with("\r\n") ? std::string(line.substr(0, line.size() - 2)) + '\n' : std::string(line);
            const bool matches = header_.compare(header_matched_, normalised.size(), normalised) == 0;
            header_matched_ = matches ? header_matched_ + normalised.size() : std::string::npos;
        }
        line = without_terminator(line);
        if (stray_) return;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (is_header_line(line)) return;
        ++kept_;
        if (!input_.find(line)) stray_ = std::string(first_characters(line, 120));
    }

    RepeatVcf& input_;
    const std::string& repeat_path_;
    std::string header_;
    std::size_t header_matched_ = 0;  // npos once a line differs
    LineJoiner lines_;
    std::optional<std::string> stray_;
    std::int64_t kept_ = 0;
};

// What bedtools wrote to its error stream, in a line: its messages without
// the records it quotes in them, which can be long and many.
std::string summary_of(std::string_view errors) {
    std::vector<std::string_view> kept;
    std::size_t lines = 0;
    for (std::string_view line : split_lines(errors)) {
        line = strip_ascii_whitespace(line);
        if (line.empty()) continue;
        ++lines;
        if (line.find('\t') != std::string_view::npos || kept.size() == 3) continue;
        if (std::ranges::find(kept, line) == kept.end()) kept.push_back(line);
    }
    std::string summary;
    for (const std::string_view line : kept) {
        summary += (summary.empty() ? "" : " | ") + std::string(first_characters(line, 160));
    }
    if (summary.empty()) summary = "records only";
    return summary + " (" + std::to_string(lines) + (lines == 1 ? " line)" : " lines)");
}

}  // namespace

IntersectCounts intersect_with_bedtools(const std::string& repeat_path, const std::string& bed_path,
                                        const std::string& output_path, bool require_catalog_chromosomes) {
    reject_outputs_naming_inputs({output_path}, {repeat_path, bed_path}, "output_path");
    const std::optional<TempFile> input_copy = bedtools_copy(repeat_path);
    const std::string& input_path = input_copy ? input_copy->path() : repeat_path;
    // A catalog that is not there is bedtools' to report, as it always was.
    // It reads a gzip catalog too.
    const std::optional<TempFile> catalog_copy = path_exists(bed_path) ? bedtools_copy(bed_path) : std::nullopt;
    const std::string& catalog_path = catalog_copy ? catalog_copy->path() : bed_path;
    // "-u" writes a record once however many catalog intervals it overlaps.
    const std::vector<std::string> command{std::string(kBedtools), "intersect", "-u", "-a", input_path,
                                           "-b", catalog_path, "-header"};
    const auto program = find_executable(command[0]);
    if (!program) throw OSError(ENOENT, command[0]);
    std::vector<std::string> argv = command;
    argv[0] = *program;
    // Read before bedtools, whose error names no line, when each line must count.
    std::optional<CatalogIntervals> catalog;
    if (require_catalog_chromosomes) catalog = read_bed_intervals(catalog_path, Compression::DetectByMagic, bed_path);
    std::string header = leading_header(input_path);
    // A copy was checked whole when it was made: errors name the input.
    RepeatVcf input_records(input_path, repeat_path);
    OutputRecords output_records(input_records, repeat_path, std::move(header));
    // Replaces an earlier output only once bedtools has succeeded.
    AtomicOutput output(output_path);
    // bedtools exits 0 even when its writes fail (a full disk), so its
    // output passes through here, where a failed write is seen and raised.
    ChildOptions options;
    options.stdout_sink = [&](std::string_view data) {
        output_records.see(data);
        output.write(data);
    };
    // Its warnings quote whole records; they are summarised instead.
    options.capture_stderr = true;
    const ChildResult result = run_child(argv, options);
    output_records.end();
    // A damaged input is the input's fault, whatever bedtools made of it.
    input_records.finish();
    if (result.exit_status != 0) {
        CalledProcessError error(result.exit_status, command);
        if (!result.stderr_data.empty()) error.add_note("bedtools: " + summary_of(result.stderr_data));
        throw error;
    }
    output_records.finish();
    // A truncated or foreign output must not pass for a filtered VCF.
    if (!output_records.header_passed()) {
        throw RuntimeError("bedtools exited 0, but its output does not begin with the " +
                           std::to_string(output_records.header_lines()) + " header lines of \"" + repeat_path +
                           "\"; the filtered repeats were not written");
    }
    if (!result.stderr_data.empty()) log_warning("bedtools warned: %s", {summary_of(result.stderr_data)});
    input_records.chromosomes.check(catalog ? *catalog : read_bed_intervals(catalog_path, Compression::DetectByMagic),
                                    repeat_path, bed_path, require_catalog_chromosomes);
    output.commit();
    return {output_records.kept(), input_records.records() - output_records.kept()};
}

IntersectCounts run_engine(bool bedtools, const std::string& repeat_path, const std::string& bed_path,
                           const std::string& output_path, bool require_catalog_chromosomes) {
    // Each engine repeats the filter's check of the output, to the same end.
    const auto engine = bedtools ? intersect_with_bedtools : intersect_builtin;
    return engine(repeat_path, bed_path, output_path, require_catalog_chromosomes);
}

IntersectCounts intersect_builtin(const std::string& repeat_path, const std::string& bed_path,
                                  const std::string& output_path, bool require_catalog_chromosomes) {
    reject_outputs_naming_inputs({output_path}, {repeat_path, bed_path}, "output_path");
    // Bad catalog lines are refused, naming the catalog, or skipped.
    const CatalogIntervals catalog = read_bed_intervals(
        bed_path, Compression::Plain, require_catalog_chromosomes ? std::optional(bed_path) : std::nullopt);
    RepeatVcf input(repeat_path, repeat_path);
    AtomicOutput output(output_path);

    IntersectCounts counts;
    // Records come grouped by chromosome: remember the last lookup.
    std::optional<std::string> last_chromosome;
    const ChromosomeIntervals* last_intervals = nullptr;
    std::string line;
    while (input.next(line)) {
        if (is_header_line(line)) {
            output.write(line);
            continue;
        }
        // A line without a span is left out, as one outside the catalog.
        const auto span = record_span(line);
        if (span && span->chromosome != last_chromosome) {
            last_chromosome.emplace(span->chromosome);
            last_intervals = catalog.find(*last_chromosome);
            input.chromosomes.see(*last_chromosome);
        }
        if (span && last_intervals != nullptr && last_intervals->overlap(span->start, span->end)) {
            output.write(line);
            ++counts.kept;
        } else {
            ++counts.dropped;
        }
    }
    input.finish();
    input.chromosomes.check(catalog, repeat_path, bed_path, require_catalog_chromosomes);
    output.commit();
    log_info("Repeat records kept: %d, outside the catalog: %d", {counts.kept, counts.dropped});
    return counts;
}

}  // namespace merivane::repeats
