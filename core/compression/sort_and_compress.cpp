#include "compression/sort_and_compress.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <functional>

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
constexpr std::size_t kHeldBlockSize = std::size_t{4} << 20;

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

void RecordSorter::add(std::string_view line) {
    switch (line_role(line)) {
        case LineRole::Header:
            header_.append(line);
            if (lacks_terminator(line)) header_.push_back('\n');
            if (contigs_) contigs_->add_header_line(line);
            return;
        case LineRole::Blank: return;
        case LineRole::Record: break;
    }
    // For GNU sort the records wait on disk: a run's inputs are still in
    // memory while its records are made.
    if (gnu_) return gnu_->add(line);
    hold(line);
}

void RecordSorter::hold(std::string_view record) {
    const std::size_t size = record.size() + (lacks_terminator(record) ? 1 : 0);
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < size) {
        blocks_.emplace_back().reserve(std::max(size, kHeldBlockSize));
    }
    std::string& block = blocks_.back();
    block.append(record);
    if (size > record.size()) block.push_back('\n');
    records_.emplace_back(block.data() + block.size() - size, size);
}

void RecordSorter::sort(const LineSink& emit) {
    emit(header_);
    if (!gnu_) {
        std::vector<std::size_t> all(records_.size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        for (const std::size_t i : sort_in_memory(records_, all, contigs_ ? &*contigs_ : nullptr)) emit(records_[i]);
        return;
    }
    gnu_->replay([this](std::string_view record) { hold(record); });
    if (sort_by_keys(emit)) return;
    if (contigs_) {
        // Each record goes to sort behind its key in the whole header's order.
        gnu_ = std::make_unique<GnuSortInput>();
        gnu_->order_by(*contigs_);
        for (const std::string_view record : records_) gnu_->add(record);
    }
    blocks_ = {};
    records_ = {};
    gnu_->sort(*sort_path_, emit);
}

namespace {

// Appends what stands for `record` when sort sorts keys: a chromosome and
// a POS that `sort -k1,1 -k2,2n` orders as it orders the record short of its
// last resort, written so that one chromosome and POS make one key (no
// leading zeros). In contig order the chromosome is its contig's
// zero-padded place, and its name when it has none. False for a record
// whose chromosome holds a blank or a control character, or whose POS is
// signed or has a fraction: sort reads those its own way.
bool append_sort_key(std::string& key, std::string_view record, const ContigOrder* contigs, std::size_t place_width) {
    std::size_t i = 0;
    while (i < record.size() && static_cast<unsigned char>(record[i]) > ' ') ++i;
    if (i == 0 || (i < record.size() && record[i] != '\t' && record[i] != '\n')) return false;
    const std::string_view chromosome = record.substr(0, i);
    if (contigs) {
        const std::optional<std::uint32_t> rank = contigs->rank(chromosome);
        const std::string place = std::to_string(rank.value_or(contigs->size()));
        key.append(place_width - place.size(), '0').append(place);
        if (!rank) key.append(chromosome);
    } else {
        key.append(chromosome);
    }
    key.push_back('\t');
    while (i < record.size() && (record[i] == '\t' || record[i] == ' ')) ++i;
    while (i < record.size() && record[i] == '0') ++i;
    const std::size_t digits = i;
    while (i < record.size() && record[i] >= '0' && record[i] <= '9') ++i;
    if (i < record.size() && (record[i] == '.' || record[i] == '-')) return false;
    key.append(i > digits ? record.substr(digits, i - digits) : "0");
    return true;
}

// A record as sort's last resort compares it: without its line feed.
std::string_view compared(std::string_view record) { return record.substr(0, record.size() - 1); }

}  // namespace

// GNU sort sorts a short key for each record rather than the records: it
// reads, compares and writes back a fraction of the bytes. Records whose
// keys tie (one chromosome and POS) go out in the order of their bytes,
// which is where sort's last resort puts them. False, with nothing emitted,
// when a record has no such key.
bool RecordSorter::sort_by_keys(const LineSink& emit) const {
    GnuSortInput keys;
    const std::size_t place_width = contigs_ ? std::to_string(contigs_->size()).size() : 0;
    std::string key;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        key.clear();
        if (!append_sort_key(key, records_[i], contigs_ ? &*contigs_ : nullptr, place_width)) return false;
        key.append("\t").append(std::to_string(i)).push_back('\n');
        keys.add(key);
    }
    std::string tied_key;
    std::vector<std::size_t> tied;
    const auto emit_tied = [&] {
        std::ranges::sort(tied, std::less<>(), [this](std::size_t i) { return compared(records_[i]); });
        for (const std::size_t i : tied) emit(records_[i]);
        tied.clear();
    };
    keys.sort(*sort_path_, [&](std::string_view line) {
        // Each line is a key, a tab and the record's number.
        const std::size_t tab = line.rfind('\t');
        const char* const end = line.data() + line.size() - 1;
        std::size_t number = records_.size();
        if (tab == std::string_view::npos || std::from_chars(line.data() + tab + 1, end, number).ptr != end) {
            number = records_.size();
        }
        if (number >= records_.size()) {
            throw RuntimeError("the output of GNU sort (" + *sort_path_ + ") holds other lines than it was given; "
                               "the sorted result was not used");
        }
        if (line.substr(0, tab) != tied_key) {
            emit_tied();
            tied_key.assign(line.substr(0, tab));
        }
        tied.push_back(number);
    });
    emit_tied();
    return true;
}

std::string compress_sorted(const std::string& vcf_file_path, const std::string& destination_path,
                            RecordSorter& records, const CompressionSettings& settings) {
    write_sorted(vcf_file_path, destination_path, settings, records);
    log_info(kSortedWritten, {destination_path});
    return destination_path;
}

}  // namespace merivane::compression
