#include "compression/sort_and_compress.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

#include "compression/bgzf.hpp"
#include "compression/sorting.hpp"
#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "platform/temp_file.hpp"
#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::compression {

namespace {

constexpr const char* kSortedWritten = "Wrote sorted, bgzipped VCF to %s";
constexpr std::size_t kHeldBlockSize = std::size_t{4} << 20;

// An index names the lines as they stand sorted.
void write_sorted(const std::string& vcf_file_path, const std::string& destination,
                  const CompressionSettings& settings, RecordSorter& sorter) {
    const auto namer = [&vcf_file_path](std::uint64_t line) {
        return "'" + vcf_file_path + "' (sorted), line " + std::to_string(line);
    };
    write_indexed_bgzf(destination, settings, namer, [&](const ByteSink& emit) { sorter.sort(emit); });
}

// What sort orders `record` by, short of its last resort, where one field can
// stand for it: not for a chromosome with a blank before it or a control
// character in it, nor for a POS sort reads as more than an integer.
std::optional<GnuKey> plain_key_of(std::string_view record) {
    const GnuKey key = gnu_key(record);
    const auto control = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    if (key.field1.empty() || !key.integer_known || std::ranges::any_of(key.field1, control)) return std::nullopt;
    return key;
}

void append_padded(std::string& key, std::string_view text, std::size_t width) {
    key.append(width - text.size(), '0').append(text);
}

}  // namespace

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
    const bool gnu = !engine && gnu_sort_for_default_engine(overrides);
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
    if (sort_path_) spilled_.emplace(create_unnamed_temp_file(), "records to sort");
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
    if (!spilled_) return hold(line);
    spilled_->write(line);
    if (lacks_terminator(line)) spilled_->write("\n");
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
    if (!sort_path_) {
        std::vector<std::size_t> all(records_.size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        for (const std::size_t i : sort_in_memory(records_, all, contigs_ ? &*contigs_ : nullptr)) emit(records_[i]);
        return;
    }
    // The spilled records, back into memory.
    spilled_->flush();
    seek_to_start(spilled_->fd(), spilled_->path());
    LineJoiner lines;
    std::string chunk(std::size_t{1} << 20, '\0');
    while (const std::size_t n = read_some(spilled_->fd(), chunk.data(), chunk.size(), spilled_->path())) {
        lines.feed(std::string_view(chunk.data(), n), [this](std::string_view record) { hold(record); });
    }
    spilled_.reset();
    if (sort_by_keys(emit)) return;
    // Sort reads each record its own way: all go to it whole, in contig
    // order behind their keys in the whole header's order.
    GnuSortInput whole(contigs_);
    for (const std::string_view record : records_) whole.add(record);
    blocks_ = {};
    records_ = {};
    whole.sort(*sort_path_, emit);
}

// Sort is handed a short key per record (a fraction of the bytes), one field
// compared bytewise: in contig order the zero-padded contig place, then the
// chromosome, a byte below any it holds (chr1 before chr10, as the field
// alone), the zero-padded POS and the record's number. Records whose keys tie
// go out in byte order, as sort's last resort. False, with nothing emitted,
// when a record has no such key.
bool RecordSorter::sort_by_keys(const LineSink& emit) const {
    std::size_t pos_width = 1;
    for (const std::string_view record : records_) {
        const std::optional<GnuKey> key = plain_key_of(record);
        if (!key) return false;
        pos_width = std::max(pos_width, key->digits.size());
    }
    const std::size_t place_width = contigs_ ? std::to_string(contigs_->size()).size() : 0;
    GnuSortInput keys;
    std::string key;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const GnuKey fields = *plain_key_of(records_[i]);
        key.clear();
        if (contigs_) {
            const std::uint32_t place = contigs_->rank(fields.field1).value_or(contigs_->size());
            append_padded(key, std::to_string(place), place_width);
        }
        key.append(fields.field1).push_back('\x01');
        append_padded(key, fields.digits.empty() ? "0" : fields.digits, pos_width);
        key.append(std::to_string(i)).push_back('\n');
        keys.add(key);
    }
    std::vector<std::size_t> tied;
    const auto emit_tied = [&] {
        // As sort's last resort compares them: without their line feeds.
        const auto compared = [this](std::size_t i) { return records_[i].substr(0, records_[i].size() - 1); };
        std::ranges::sort(tied, std::less<>(), compared);
        for (const std::size_t i : tied) emit(records_[i]);
        tied.clear();
    };
    std::string tied_key;
    keys.sort(*sort_path_, [&](std::string_view line) {
        // Each line is a key and the record's number.
        const char* const end = line.data() + line.size() - 1;
        std::size_t number = 0;
        const std::size_t mark = line.find('\x01');
        const std::size_t key_width = mark + 1 + pos_width;
        if (mark == std::string_view::npos || line.size() <= key_width + 1 ||
            std::from_chars(line.data() + key_width, end, number).ptr != end || number >= records_.size()) {
            throw RuntimeError("the output of GNU sort (" + *sort_path_ + ") holds other lines than it was given; "
                               "the sorted result was not used");
        }
        if (line.substr(0, key_width) != tied_key) {
            emit_tied();
            tied_key.assign(line.substr(0, key_width));
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
