#include "compression/gnu_sort.hpp"

#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/overrides.hpp"
#include "platform/process.hpp"
#include "platform/strings.hpp"
#include "platform/temp_file.hpp"

namespace merivane::compression {

namespace {
constexpr double kBannerTimeoutSeconds = 15.0;
// A GNU sort answers --version in milliseconds; one that takes longer when
// nobody asked for it costs the run no more than this.
constexpr double kChoiceTimeoutSeconds = 2.0;

std::optional<std::string> find_gnu_sort(double timeout_seconds) {
    std::optional<std::string> path = find_executable("sort");
    if (!path) return std::nullopt;
    ChildOptions options;
    options.capture_stdout = true;
    options.capture_stderr = true;
    options.timeout_seconds = timeout_seconds;
    try {
        if (run_child({*path, "--version"}, options).stdout_data.find("coreutils") != std::string::npos) return path;
    } catch (const OSError&) {
        // Cannot be started: as good as absent.
    }
    return std::nullopt;
}

// GNU sort's blanks under LC_ALL=C.
bool is_sort_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// Whether `sort -k1,1 -k2,2n` puts `after` before `before`; false when this
// cannot tell.
bool out_of_order(std::string_view before, std::string_view after, std::size_t numeric_field) {
    const GnuKey a = gnu_key(before, numeric_field);
    const GnuKey b = gnu_key(after, numeric_field);
    if (const int c = a.field1.compare(b.field1)) return c > 0;
    if (!a.integer_known || !b.integer_known) return false;
    if (a.digits.size() != b.digits.size()) return a.digits.size() > b.digits.size();
    if (const int c = a.digits.compare(b.digits)) return c > 0;
    // The last resort compares the lines without their line feeds.
    const auto bare = [](std::string_view s) { return s.substr(0, s.size() - (s.ends_with('\n') ? 1 : 0)); };
    return bare(before) > bare(after);
}

}  // namespace

std::optional<std::string> gnu_sort_path() { return find_gnu_sort(kBannerTimeoutSeconds); }

std::optional<std::string> gnu_sort_for_default_engine(const SortOverrides& overrides) {
    if (overrides.gnu_sort_path) return overrides.gnu_sort_path();
    try {
        return find_gnu_sort(kChoiceTimeoutSeconds);
    } catch (const TimeoutExpired& error) {
        log_warning("GNU sort (%s) did not answer --version within %d seconds; sorting in memory instead",
                    {error.cmd().front(), static_cast<std::int64_t>(kChoiceTimeoutSeconds)});
        return std::nullopt;
    }
}

GnuKey gnu_key(std::string_view line, std::size_t numeric_field) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    GnuKey key;
    std::size_t i = 0;
    const auto skip_field = [&] {
        while (i < line.size() && is_sort_blank(line[i])) ++i;
        while (i < line.size() && !is_sort_blank(line[i])) ++i;
    };
    skip_field();
    key.field1 = line.substr(0, i);
    for (std::size_t field = 2; field < numeric_field; ++field) skip_field();
    while (i < line.size() && is_sort_blank(line[i])) ++i;
    // A "+" is no sign to sort -n: the field reads as 0, as one without digits.
    if (i < line.size() && (line[i] == '-' || line[i] == '.')) key.integer_known = false;
    while (i < line.size() && line[i] == '0') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    key.digits = line.substr(start, i - start);
    if (i < line.size() && line[i] == '.') key.integer_known = false;
    return key;
}

void LineTally::add(std::string_view line) {
    ++lines;
    bytes += line.size();
    hash_sum += std::hash<std::string_view>{}(line);
}

GnuSortInput::GnuSortInput(std::optional<ContigOrder> contigs)
    : out_(create_unnamed_temp_file(), "GNU sort input"), contigs_(std::move(contigs)) {}

void GnuSortInput::add(std::string_view record) {
    if (contigs_) {
        // Records come a chromosome at a time, mostly: the key is made anew
        // only when the chromosome changes.
        const std::size_t tab = record.find('\t');
        const std::string_view chromosome = tab == std::string_view::npos ? without_terminator(record)
                                                                          : record.substr(0, tab);
        if (key_.empty() || chromosome != last_chromosome_) {
            last_chromosome_.assign(chromosome);
            const std::optional<std::uint32_t> rank = contigs_->rank(chromosome);
            const std::string place = std::to_string(rank.value_or(contigs_->size()));
            key_.assign(std::to_string(contigs_->size()).size() - place.size(), '0').append(place);
            if (!rank) key_.append(chromosome);
            key_.push_back('\t');
        }
    }
    if (contigs_ || lacks_terminator(record)) {
        terminated_.assign(key_).append(record);  // key_ stays empty without contig order
        if (lacks_terminator(record)) terminated_.push_back('\n');
        record = terminated_;
    }
    out_.write(record);
    // Counted as sort counts lines: a record holding a "\n" is two to it.
    for (const std::string_view line : split_lines(record)) given_.add(line);
}

void GnuSortInput::sort(const std::string& sort_path, const LineSink& line_sink) {
    // Sort reads the descriptor the records went to: what a write lost shows in the check.
    out_.flush();
    seek_to_start(out_.fd(), out_.path());

    // Sort's output is checked as it arrives: a broken or substituted `sort`
    // may exit 0, and must still not put a wrong file where a sorted one belongs.
    const auto fault = [&sort_path](const std::string& what) {
        throw RuntimeError("the output of GNU sort (" + sort_path + ") " + what + "; the sorted result was not used");
    };
    LineTally got;
    std::string previous;
    // From a pipe: no sorted copy on disk, and the caller's work overlaps sort's.
    const bool keyed = contigs_.has_value();
    LineJoiner lines;
    const std::vector<std::string> argv{sort_path, "-k1,1", keyed ? "-k3,3n" : "-k2,2n"};
    ChildOptions options;
    options.stdin_fd = out_.fd();
    options.stdout_sink = [&](std::string_view data) {
        lines.feed(data, [&](std::string_view line) {
            const std::uint64_t number = got.lines + 1;
            try {
                validate_utf8(line, sort_path, number);
            } catch (const UnicodeDecodeError&) {
                fault("is not valid UTF-8 at line " + std::to_string(number));
            }
            if (got.lines > 0 && out_of_order(previous, line, keyed ? 3 : 2)) {
                fault("is not in sort order at line " + std::to_string(number));
            }
            got.add(line);
            previous.assign(line);
            line_sink(keyed ? line.substr(line.find('\t') + 1) : line);
        });
    };
    // Sort spills into the core's temporary directory (TMPDIR may be missing or
    // read-only). Stopped early, even by this process's death, it gets SIGTERM,
    // on which it removes its files.
    options.environment_overrides = {{"LC_ALL", "C"}, {"TMPDIR", temp_directory()}};
    options.stopped_gently = true;
    const ChildResult result = run_child(argv, options);
    if (result.exit_status != 0) throw CalledProcessError(result.exit_status, argv);
    if (!lines.rest().empty()) fault("ends in a line without a line feed");
    if (got.lines != given_.lines || got.bytes != given_.bytes) {
        fault("holds " + std::to_string(got.lines) + " lines (" + std::to_string(got.bytes) + " bytes) for the " +
              std::to_string(given_.lines) + " lines (" + std::to_string(given_.bytes) + " bytes) it was given");
    }
    if (got.hash_sum != given_.hash_sum) fault("holds other lines than it was given");
}

std::string requested_gnu_sort(const SortOverrides& overrides) {
    const std::optional<std::string> sort_path = run_step(overrides.gnu_sort_path, gnu_sort_path);
    if (!sort_path) throw RuntimeError("GNU sort was requested but is not on PATH");
    return *sort_path;
}

LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records, const SortOverrides& overrides) {
    const std::string sort_path = requested_gnu_sort(overrides);
    GnuSortInput input;
    for (const std::string_view record : records) input.add(record);
    std::string text;
    // Read back as text files are read: "\r\n" and a lone "\r" end a line.
    input.sort(sort_path, [&text](std::string_view line) {
        for (std::size_t cr; (cr = line.find('\r')) != std::string_view::npos; line.remove_prefix(cr + 1)) {
            text.append(line.substr(0, cr));
            if (line.substr(cr + 1, 1) != "\n") text.push_back('\n');
        }
        text.append(line);
    });
    return LineBuffer(std::move(text));
}

}  // namespace merivane::compression
