#include "compression/sort_and_compress.hpp"

#include <deque>
#include <exception>
#include <string_view>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"

namespace merivane::compression {

namespace {

// GNU sort's output holds exactly the records it was given (valid UTF-8,
// each ending in "\n"), so it is copied as bytes rather than decoded again.
void append_file(const std::string& path, OutputFile& out) {
    int fd = open_for_reading(path);
    struct Closer {
        int& fd;
        ~Closer() { close_quietly(fd); }
    } closer{fd};
    std::string buffer(std::size_t{1} << 20, '\0');
    while (const std::size_t n = read_some(fd, buffer.data(), buffer.size(), path)) {
        out.write(std::string_view(buffer.data(), n));
    }
}

}  // namespace

std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings) {
    return sort_and_compress(vcf_file_path, destination_path, keep_plain, engine, gnu_sort_path, settings);
}

std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine, const SortFinder& find,
                              const CompressionSettings& settings) {
    const std::string destination =
        destination_path && !destination_path->empty() ? *destination_path : vcf_file_path + ".gz";
    const std::string sorted_path = vcf_file_path + ".sorted.tmp";
    // Either would destroy what is being compressed.
    if (same_file(destination, vcf_file_path)) {
        throw ValueError("destination_path names the input file: '" + destination + "'");
    }
    if (same_file(destination, sorted_path)) {
        throw ValueError("destination_path names the temporary sorted file: '" + destination + "'");
    }

    std::optional<std::string> chosen = engine;
    if (!chosen) chosen = std::string(find() ? GNU_SORT : PYTHON_SORT);

    const LineBuffer input = read_lines(vcf_file_path, Compression::Plain);
    // Only the last line of a file can lack its "\n".
    std::deque<std::string> terminated_storage;
    std::vector<std::string_view> terminated;
    const bool unterminated_end = !input.lines().empty() && lacks_terminator(input.lines().back());
    if (unterminated_end) terminated = terminate_lines(input.lines(), terminated_storage);
    const std::vector<std::string_view>& lines = unterminated_end ? terminated : input.lines();
    const SortPlan plan = plan_sort(lines, chosen);

    bool writing = false;
    std::exception_ptr failure;
    try {
        const auto write_header = [&](OutputFile& out) {
            for (const std::size_t i : plan.split.header) out.write(lines[i]);
        };
        if (plan.engine == SortEngine::InMemory) {
            writing = true;
            OutputFile out(sorted_path);
            write_header(out);
            for (const std::size_t i : plan.split.records) out.write(lines[i]);
            out.close();
        } else {
            std::vector<std::string_view> records;
            records.reserve(plan.split.records.size());
            for (const std::size_t i : plan.split.records) records.push_back(lines[i]);
            run_gnu_sort(records, [&](const std::string& gnu_sorted) {
                writing = true;
                OutputFile out(sorted_path);
                write_header(out);
                append_file(gnu_sorted, out);
                out.close();
            }, find);
        }
        write_bgzf(sorted_path, destination, settings);
    } catch (...) {
        failure = std::current_exception();
    }
    if (writing && path_exists(sorted_path)) {
        if (failure) {
            remove_file_quietly(sorted_path);
        } else {
            remove_file(sorted_path);
        }
    }
    if (failure) std::rethrow_exception(failure);

    if (!keep_plain && path_exists(vcf_file_path)) remove_file(vcf_file_path);
    log_info("Wrote sorted, bgzipped VCF to %s", {destination});
    return destination;
}

}  // namespace merivane::compression
