#include "compression/sort_and_compress.hpp"

#include <chrono>
#include <cstdint>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::compression {

namespace {

constexpr const char* kSortedWritten = "Wrote sorted, bgzipped VCF to %s";

// write_indexed_bgzf of the sorted lines; an index names them as they stand
// sorted.
void write_sorted(const std::string& vcf_file_path, const std::string& destination,
                  const CompressionSettings& settings, RecordSorter& sorter) {
    const auto namer = [&vcf_file_path](std::uint64_t line) {
        return "'" + vcf_file_path + "' (sorted), line " + std::to_string(line);
    };
    write_indexed_bgzf(destination, settings, namer, [&](const ByteSink& emit) { sorter.sort(emit); });
}

}  // namespace

std::string sorting_temporary_of(const std::string& vcf_file_path) { return vcf_file_path + ".sorted.tmp"; }

std::string sort_and_compress(const std::string& vcf_file_path, const std::optional<std::string>& destination_path,
                              bool keep_plain, const std::optional<std::string>& engine,
                              const CompressionSettings& settings, const SortOverrides& overrides) {
    const std::string destination =
        destination_path && !destination_path->empty() ? *destination_path : vcf_file_path + ".gz";
    reject_outputs_naming_inputs(written_beside(destination), {vcf_file_path}, "destination_path");
    reject_outputs_naming_inputs({destination}, {sorting_temporary_of(vcf_file_path)}, "destination_path",
                                 "input's sorting name");

    // GNU sort by default where one answers; a missing input fails before
    // the engine asked for is checked, and then GNU sort is looked up anew.
    const bool gnu = engine ? false : !!gnu_sort_for_default_engine(overrides);
    const std::optional<FileIdentity> read_input = file_identity(vcf_file_path);
    // Reading the unified file back is part of sorting it.
    const auto reading = std::chrono::steady_clock::now();
    std::optional<RecordSorter> sorter;
    {
        TextReader input(vcf_file_path, Compression::Plain);
        const bool named_gnu = engine && sort_engine(*engine) == SortEngine::GnuSort;
        sorter.emplace(gnu || named_gnu ? std::optional(requested_gnu_sort(overrides)) : std::nullopt, settings.order);
        std::string line;
        while (input.next_line(line)) sorter->add(line);
    }
    if (settings.seconds) {
        settings.seconds->sort += std::chrono::duration<double>(std::chrono::steady_clock::now() - reading).count();
    }
    write_sorted(vcf_file_path, destination, settings, *sorter);

    // Only the file that was read goes: a run started meanwhile on the same
    // path may have put a new one there.
    if (!keep_plain && read_input && file_identity(vcf_file_path) == read_input) remove_file(vcf_file_path);
    log_info(kSortedWritten, {destination});
    return destination;
}

RecordSorter::RecordSorter(std::optional<std::string> sort_path, SortOrder order) : sort_path_(std::move(sort_path)) {
    if (order == SortOrder::Contig) contigs_.emplace();
    if (sort_path_) gnu_ = std::make_unique<GnuSortInput>();
}

RecordSorter::~RecordSorter() = default;

void RecordSorter::add(std::string_view line) {
    switch (line_role(line)) {
        case LineRole::Header:
            header_.append(line);
            if (lacks_terminator(line)) header_.push_back('\n');
            if (!contigs_) return;
            contigs_->add_header_line(line);
            late_contig_ = late_contig_ || (keyed_ && line.starts_with("##contig="));
            return;
        case LineRole::Blank: return;
        case LineRole::Record: break;
    }
    if (gnu_) {
        // GNU sort is handed each record with its key, so the order is taken
        // as it stands at the first record.
        if (contigs_ && !keyed_) gnu_->order_by(*contigs_);
        keyed_ = true;
        return gnu_->add(line);
    }
    starts_.push_back(held_.size());
    held_.append(line);
    if (lacks_terminator(line)) held_.push_back('\n');
}

void RecordSorter::sort(const LineSink& emit) {
    emit(header_);
    if (gnu_) {
        if (late_contig_) {
            // A contig line came after the first record: every record is
            // keyed again by the whole header's order.
            auto again = std::make_unique<GnuSortInput>();
            again->order_by(*contigs_);
            gnu_->replay([&](std::string_view record) { again->add(record); });
            gnu_ = std::move(again);
        }
        return gnu_->sort(*sort_path_, emit);
    }
    std::vector<std::string_view> lines;
    lines.reserve(starts_.size());
    std::vector<std::size_t> records(starts_.size());
    for (std::size_t i = 0; i < starts_.size(); ++i) {
        const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : held_.size();
        lines.emplace_back(held_.data() + starts_[i], end - starts_[i]);
        records[i] = i;
    }
    for (const std::size_t i : sort_in_memory(lines, records, contigs_ ? &*contigs_ : nullptr)) emit(lines[i]);
}

std::string compress_sorted(const std::string& vcf_file_path, const std::string& destination_path,
                            RecordSorter& records, const CompressionSettings& settings) {
    write_sorted(vcf_file_path, destination_path, settings, records);
    log_info(kSortedWritten, {destination_path});
    return destination_path;
}

}  // namespace merivane::compression
