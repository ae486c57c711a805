#include "compression/sort_and_compress.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>
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

constexpr const char* kSortedWritten = "Wrote sorted, bgzipped VCF to %s";

// ValueError, before anything is written, when writing `destination` would
// destroy what is being compressed.
void refuse_destination(const std::string& vcf_file_path, const std::string& destination) {
    // The name callers have known for the sorted intermediate, which no
    // longer exists: the sorted lines go straight into the compressor.
    const std::string sorted_path = vcf_file_path + ".sorted.tmp";
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
}

// Compresses the lines `produce` hands on (the header, then the records in
// sorted order) to `destination`, with its index when asked for. The lines
// go straight into the compressor and the index: no sorted copy is written
// and read back. The destination appears only once complete (and durable),
// so a failed sort or check leaves an earlier file there as it was.
void write_sorted(const std::string& vcf_file_path, const std::string& destination,
                  const CompressionSettings& settings, const std::function<void(const LineSink& emit)>& produce) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::duration compressing{};
    Clock::duration indexing{};
    // Adds the time `step` takes to `total`, when the settings ask for it.
    auto timed = [&settings](Clock::duration& total, auto&& step) {
        if (!settings.seconds) return step();
        const Clock::time_point before = Clock::now();
        step();
        total += Clock::now() - before;
    };
    // An index names the lines as they stand once sorted.
    IndexBeside index(destination, settings.index, [&vcf_file_path](std::uint64_t line) {
        return "'" + vcf_file_path + "' (sorted), line " + std::to_string(line);
    });
    AtomicOutput out(destination);
    if (out.writes_directly()) index.remove_earlier();
    BgzfWriter writer([&out](std::string_view block) { out.write(block); }, settings);
    produce([&](std::string_view line) {
        timed(indexing, [&] { index.feed(line); });
        timed(compressing, [&] { writer.write(line); });
    });
    timed(compressing, [&] { writer.finish(); });
    timed(indexing, [&] { index.prepare(writer.block_offsets(), writer.compressed_size()); });
    out.commit();
    index.commit();
    if (settings.seconds) {
        const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
        settings.seconds->compress += seconds(compressing);
        settings.seconds->index += seconds(indexing);
        settings.seconds->sort += seconds(Clock::now() - start - compressing - indexing);
    }
}

std::string destination_for(const std::string& vcf_file_path, const std::optional<std::string>& destination_path) {
    return destination_path && !destination_path->empty() ? *destination_path : vcf_file_path + ".gz";
}

}  // namespace

std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings, const SortOverrides& overrides) {
    const std::string destination = destination_for(vcf_file_path, destination_path);
    refuse_destination(vcf_file_path, destination);

    std::optional<std::string> chosen = engine;
    if (!chosen) chosen = std::string(gnu_sort_for_default_engine(overrides) ? kGnuSort : kPythonSort);

    const std::optional<FileIdentity> read_input = file_identity(vcf_file_path);
    // Reading the unified file back is part of sorting it.
    const auto reading = std::chrono::steady_clock::now();
    const LineBuffer input = read_lines(vcf_file_path, Compression::Plain);
    // Only the last line of a file can lack its "\n".
    std::deque<std::string> terminated_storage;
    std::vector<std::string_view> terminated;
    const bool unterminated_end = !input.lines().empty() && lacks_terminator(input.lines().back());
    if (unterminated_end) terminated = terminate_lines(input.lines(), terminated_storage);
    const std::vector<std::string_view>& lines = unterminated_end ? terminated : input.lines();
    const SortPlan plan = plan_sort(lines, chosen, settings.order);
    if (settings.seconds) {
        settings.seconds->sort += std::chrono::duration<double>(std::chrono::steady_clock::now() - reading).count();
    }

    write_sorted(vcf_file_path, destination, settings, [&](const LineSink& emit) {
        for (const std::size_t i : plan.split.header) emit(lines[i]);
        if (plan.engine == SortEngine::InMemory) {
            for (const std::size_t i : plan.split.records) emit(lines[i]);
        } else {
            std::vector<std::string_view> records;
            records.reserve(plan.split.records.size());
            for (const std::size_t i : plan.split.records) records.push_back(lines[i]);
            stream_gnu_sort(records, emit, overrides, plan.contigs ? &*plan.contigs : nullptr);
        }
    });

    // Only the file that was read goes: a run started meanwhile on the same
    // path may have put a new one there.
    if (!keep_plain && read_input && file_identity(vcf_file_path) == read_input) remove_file(vcf_file_path);
    log_info(kSortedWritten, {destination});
    return destination;
}

std::string compress_with_gnu_sort(const std::string& vcf_file_path, const std::string& destination_path,
                                   std::string_view header, GnuSortInput& records, const std::string& sort_path,
                                   const CompressionSettings& settings) {
    refuse_destination(vcf_file_path, destination_path);
    write_sorted(vcf_file_path, destination_path, settings, [&](const LineSink& emit) {
        for (const std::string_view line : split_lines(header)) emit(line);
        records.sort(sort_path, emit);
    });
    log_info(kSortedWritten, {destination_path});
    return destination_path;
}

}  // namespace merivane::compression
