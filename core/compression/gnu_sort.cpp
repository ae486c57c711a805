#include "compression/gnu_sort.hpp"

#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/process.hpp"
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

void run_gnu_sort(const std::vector<std::string_view>& records,
                  const std::function<void(const std::string& sorted_path)>& consume, const SortFinder& find) {
    const std::optional<std::string> sort_path = find();
    if (!sort_path) throw RuntimeError("GNU sort was requested but is not on PATH");

    TempFile records_file = TempFile::in_temp_directory(".vcf");
    TempFile sorted_file = TempFile::in_temp_directory(".vcf");
    {
        OutputFile records_out(records_file.take_fd(), records_file.path());
        for (const std::string_view record : records) {
            records_out.write(record);
            if (lacks_terminator(record)) records_out.write("\n");
        }
        records_out.close();
    }

    const std::vector<std::string> argv{*sort_path, "-k1,1", "-k2,2n"};
    ChildOptions options;
    options.stdin_path = records_file.path();
    options.stdout_fd = sorted_file.fd();
    options.environment_overrides = {{"LC_ALL", "C"}};
    const ChildResult result = run_child(argv, options);
    sorted_file.close();
    if (result.exit_status != 0) throw CalledProcessError(result.exit_status, argv);

    consume(sorted_file.path());
    records_file.remove();
    sorted_file.remove();
}

LineBuffer sort_records_with_gnu_sort(const std::vector<std::string_view>& records, const SortFinder& find) {
    LineBuffer sorted;
    run_gnu_sort(
        records, [&](const std::string& path) { sorted = read_lines(path, Compression::Plain); }, find);
    return sorted;
}

}  // namespace merivane::compression
