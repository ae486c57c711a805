#include "compression/sort_and_compress.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sorting.hpp"
#include "compression/tabix_index.hpp"
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"

namespace merivane::compression {

namespace {

using FileIdentity = std::optional<std::pair<std::uint64_t, std::uint64_t>>;

// Device and inode of what is at `path` now; nullopt when nothing is.
FileIdentity identity_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return std::pair<std::uint64_t, std::uint64_t>(info.st_dev, info.st_ino);
}

}  // namespace

std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings, const SortSteps& steps) {
    const std::string destination =
        destination_path && !destination_path->empty() ? *destination_path : vcf_file_path + ".gz";
    // The name callers have known for the sorted intermediate, which no
    // longer exists: the sorted lines go straight into the compressor.
    const std::string sorted_path = vcf_file_path + ".sorted.tmp";
    // Either would destroy what is being compressed.
    if (same_file(destination, vcf_file_path)) {
        throw ValueError("destination_path names the input file: '" + destination + "'");
    }
    if (same_file(destination, sorted_path)) {
        throw ValueError("destination_path names the temporary sorted file: '" + destination + "'");
    }
    // An index beside the destination is replaced or removed.
    for (const IndexFormat format : {IndexFormat::Tbi, IndexFormat::Csi}) {
        if (same_file(vcf_file_path, index_path(destination, format))) {
            throw ValueError("vcf_file_path is where the index of the destination goes: '" + vcf_file_path + "'");
        }
    }

    std::optional<std::string> chosen = engine;
    if (!chosen) chosen = std::string(steps.gnu_sort_path() ? kGnuSort : kPythonSort);

    const FileIdentity read_input = identity_of(vcf_file_path);
    const LineBuffer input = read_lines(vcf_file_path, Compression::Plain);
    // Only the last line of a file can lack its "\n".
    std::deque<std::string> terminated_storage;
    std::vector<std::string_view> terminated;
    const bool unterminated_end = !input.lines().empty() && lacks_terminator(input.lines().back());
    if (unterminated_end) terminated = terminate_lines(input.lines(), terminated_storage);
    const std::vector<std::string_view>& lines = unterminated_end ? terminated : input.lines();
    const SortPlan plan = plan_sort(lines, chosen);

    // The sorted lines go straight from memory (or from GNU sort's output
    // pipe) into the compressor and the index: no sorted copy is written and
    // read back. The destination appears only once complete (and durable),
    // so a failed sort or check leaves an earlier file there as it was.
    {
        // An index names the lines as they stand once sorted.
        IndexBeside index(destination, settings.index, [&vcf_file_path](std::uint64_t line) {
            return "'" + vcf_file_path + "' (sorted), line " + std::to_string(line);
        });
        AtomicOutput out(destination);
        if (out.writes_directly()) index.remove_earlier();
        BgzfWriter writer([&out](std::string_view block) { out.write(block); }, settings);
        const auto emit = [&](std::string_view line) {
            index.feed(line);
            writer.write(line);
        };
        for (const std::size_t i : plan.split.header) emit(lines[i]);
        if (plan.engine == SortEngine::InMemory) {
            for (const std::size_t i : plan.split.records) emit(lines[i]);
        } else {
            std::vector<std::string_view> records;
            records.reserve(plan.split.records.size());
            for (const std::size_t i : plan.split.records) records.push_back(lines[i]);
            stream_gnu_sort(records, emit, steps);
        }
        writer.finish();
        index.prepare(writer.block_offsets(), writer.compressed_size());
        out.commit();
        index.commit();
    }

    // Only the file that was read goes: a run started meanwhile on the same
    // path may have put a new one there.
    if (!keep_plain && read_input && identity_of(vcf_file_path) == read_input) remove_file(vcf_file_path);
    log_info("Wrote sorted, bgzipped VCF to %s", {destination});
    return destination;
}

}  // namespace merivane::compression
