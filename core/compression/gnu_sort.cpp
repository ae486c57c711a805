#include "compression/gnu_sort.hpp"

#include <unistd.h>

#include <cstdint>

#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/process.hpp"
#include "platform/interrupt.hpp"
#include "platform/temp_file.hpp"

namespace merivane::compression {

namespace {
constexpr double kBannerTimeoutSeconds = 15.0;
}  // namespace

std::optional<std::string> gnu_sort_path() {
    std::optional<std::string> path = find_executable("sort");
    if (!path) return std::nullopt;
    ChildOptions options;
    options.capture_stdout = true;
    options.capture_stderr = true;
    options.timeout_seconds = kBannerTimeoutSeconds;
    ChildResult result;
    try {
        result = run_child({*path, "--version"}, options);
    } catch (const OSError&) {
        return std::nullopt;  // cannot be started: as good as absent
    }
    if (result.stdout_data.find("coreutils") == std::string::npos) return std::nullopt;
    return path;
}

bool gnu_sort_available() { return gnu_sort_path().has_value(); }

namespace {

// GNU sort's blanks under LC_ALL=C.
bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// The key of `sort -k1,1 -k2,2n` as far as it can be compared here: field 1
// (leading blanks included, up to the next blank), and the integer that
// starts field 2 (leading blanks skipped) as its digits without leading
// zeros. `integer_known` is false where GNU's number reading goes further
// than an integer (a sign, a decimal point): such pairs are not checked.
struct GnuKey {
    std::string_view field1;
    std::string_view digits;
    bool integer_known = true;
};

GnuKey gnu_key(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    GnuKey key;
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    key.field1 = line.substr(0, i);
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i < line.size() && (line[i] == '-' || line[i] == '.')) key.integer_known = false;
    while (i < line.size() && line[i] == '0') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    key.digits = line.substr(start, i - start);
    if (i < line.size() && line[i] == '.') key.integer_known = false;
    return key;
}

// Whether `sort -k1,1 -k2,2n` would put `after` before `before`; false
// also when this check cannot tell.
bool out_of_order(std::string_view before, std::string_view after) {
    const GnuKey a = gnu_key(before);
    const GnuKey b = gnu_key(after);
    if (const int c = a.field1.compare(b.field1)) return c > 0;
    if (!a.integer_known || !b.integer_known) return false;
    if (a.digits.size() != b.digits.size()) return a.digits.size() > b.digits.size();
    if (const int c = a.digits.compare(b.digits)) return c > 0;
    return before.compare(after) > 0;
}

// What identifies a set of lines whatever their order: how many, how many
// bytes, and the sum of their hashes.
struct LineTally {
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hash_sum = 0;

    void add(std::string_view line) {
        std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
        for (const char c : line) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        ++lines;
        bytes += line.size();
        hash_sum += hash;
    }
};

[[noreturn]] void fault(const std::string& sort_path, const std::string& what) {
    throw RuntimeError("GNU sort (" + sort_path + ") exited 0 but its output " + what +
                       "; the sorted result was not used");
}

// Reads GNU sort's output from the start and checks that it holds exactly
// the records it was given, in sort order, as UTF-8. An external program
// that exits 0 is not thereby right: a broken or substituted `sort` must not
// put a wrong file where the caller expects a sorted one.
void check_sorted_output(int fd, const LineTally& given, const std::string& sort_path) {
    if (::lseek(fd, 0, SEEK_SET) < 0) throw_os_error(sort_path);
    LineTally got;
    std::string previous;
    std::string pending;  // a line split across reads
    std::string chunk(std::size_t{1} << 20, '\0');
    const auto take = [&](std::string_view line) {
        try {
            validate_utf8(line, sort_path, got.lines + 1);
        } catch (const UnicodeDecodeError&) {
            fault(sort_path, "is not valid UTF-8 at line " + std::to_string(got.lines + 1));
        }
        if (got.lines > 0 && out_of_order(previous, line)) {
            fault(sort_path, "is not in sort order at line " + std::to_string(got.lines + 1));
        }
        got.add(line);
        previous.assign(line);
    };
    while (const std::size_t n = read_some(fd, chunk.data(), chunk.size(), sort_path)) {
        std::string_view data(chunk.data(), n);
        for (;;) {
            const std::size_t end = data.find('\n');
            if (end == std::string_view::npos) {
                pending.append(data);
                break;
            }
            if (pending.empty()) {
                take(data.substr(0, end + 1));
            } else {
                pending.append(data.substr(0, end + 1));
                take(pending);
                pending.clear();
            }
            data.remove_prefix(end + 1);
        }
        check_interrupt();
    }
    if (!pending.empty()) take(pending);
    if (got.lines != given.lines || got.bytes != given.bytes) {
        fault(sort_path, "holds " + std::to_string(got.lines) + " lines (" + std::to_string(got.bytes) +
                             " bytes) for the " + std::to_string(given.lines) + " lines (" +
                             std::to_string(given.bytes) + " bytes) it was given");
    }
    if (got.hash_sum != given.hash_sum) fault(sort_path, "holds other lines than it was given");
    if (::lseek(fd, 0, SEEK_SET) < 0) throw_os_error(sort_path);
}

}  // namespace

void run_gnu_sort(const std::vector<std::string_view>& records, const std::function<void(int sorted_fd)>& consume,
                  const SortFinder& find) {
    const std::optional<std::string> sort_path = find();
    if (!sort_path) throw RuntimeError("GNU sort was requested but is not on PATH");

    // Unnamed: nothing of the records is left behind however this process ends.
    const UniqueFd records_file = create_unnamed_temp_file();
    const UniqueFd sorted_file = create_unnamed_temp_file();
    LineTally given;
    {
        UniqueFd writing(::dup(records_file.get()));
        if (!writing) throw_os_error("GNU sort input");
        OutputFile records_out(std::move(writing), "GNU sort input");
        for (const std::string_view record : records) {
            records_out.write(record);
            if (lacks_terminator(record)) {
                records_out.write("\n");
                given.add(std::string(record) + "\n");
            } else {
                given.add(record);
            }
        }
        records_out.close();
    }
    if (::lseek(records_file.get(), 0, SEEK_SET) < 0) throw_os_error("GNU sort input");

    const std::vector<std::string> argv{*sort_path, "-k1,1", "-k2,2n"};
    ChildOptions options;
    options.stdin_fd = records_file.get();
    options.stdout_fd = sorted_file.get();
    options.environment_overrides = {{"LC_ALL", "C"}};
    const ChildResult result = run_child(argv, options);
    if (result.exit_status != 0) throw CalledProcessError(result.exit_status, argv);

    check_sorted_output(sorted_file.get(), given, *sort_path);
    consume(sorted_file.get());
}

LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records, const SortFinder& find) {
    LineBuffer sorted;
    run_gnu_sort(
        records,
        [&](int fd) {
            // Read back as text is read everywhere: "\r\n" and a lone "\r"
            // become "\n" (the output was checked to be UTF-8 already).
            std::string text = read_remaining(fd, "GNU sort output");
            std::size_t out = 0;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\r') {
                    text[out++] = '\n';
                    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
                } else {
                    text[out++] = text[i];
                }
            }
            text.resize(out);
            sorted = LineBuffer(std::move(text));
        },
        find);
    return sorted;
}

}  // namespace merivane::compression
