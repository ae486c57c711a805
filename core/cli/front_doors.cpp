#include "cli/front_doors.hpp"

#include <sys/stat.h>

#include <chrono>

#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "platform/unique_fd.hpp"
#include "platform/vcf_fields.hpp"
#include "repeats/repeat_filter.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

using unifier::InputKind;

namespace {
constexpr const char* kRecordsWithoutSvtype = "%s records of %s carry no SVTYPE";

std::optional<std::string> unify_unchecked(const unifier::StructFiles& struct_files, const std::string& output_path,
                                           const unifier::UnifyOptions& options, const OutputSettings& settings);

class Stopwatch {
public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

private:
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

unifier::RecordTally* tally_of(const OutputSettings& settings) {
    return settings.stats ? &settings.stats->output : nullptr;
}

std::uint64_t file_size(const std::string& path) {
    const UniqueFd file(open_for_reading(path));
    return size_left(file.get());
}

// The writer sees lines, not files: its notes name an input by kind ("in the
// roh input, line 3"). Here the file is known, so the note is followed by
// which file that is.
void name_the_input_file(Error& error, const unifier::StructFiles& struct_files) {
    for (const InputKind kind : unifier::kFileTypes) {
        const auto& path = struct_files[unifier::kind_index(kind)];
        if (!path) continue;
        const std::string named = "in the " + std::string(unifier::kind_name(kind)) + " input,";
        for (const std::string& note : error.notes()) {
            if (note.rfind(named, 0) == 0) {
                error.add_note("the " + std::string(unifier::kind_name(kind)) + " input is " + *path);
                return;
            }
        }
    }
}

// Whether what is at `output_path` is what the unified file replaces and
// the run then removes: nothing, or a regular file. Anything else (a FIFO,
// a device) is written and read as it always was.
bool replaced_by_unified_file(const std::string& output_path) {
    struct stat info {};
    return ::stat(output_path.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

// Takes the unified VCF as the writer makes it: into the plain file, and
// parted as the sorting step parts that file when it reads it back (header
// lines kept in order, blank lines dropped, the records handed to GNU
// sort's input, and a last line left without its line feed given one).
class SortingSink : public unifier::TextSink {
public:
    SortingSink(AtomicOutput& plain, compression::GnuSortInput& records, compression::SortOrder order)
        : plain_(plain), records_(records), contig_order_(order == compression::SortOrder::Contig) {}

    void write(std::string_view text) override {
        plain_.write(text);
        lines_.feed(text, [this](std::string_view line) { take(line); });
    }

    // The header lines, once the writer is done.
    const std::string& finish() {
        if (std::string& last = lines_.rest(); !last.empty()) {
            last.push_back('\n');
            take(last);
            last.clear();
        }
        return header_;
    }

    // False when a contig line came after the first record: the records
    // went to sort keyed by an order that was not yet complete.
    bool contig_order_complete() const noexcept { return !late_contig_; }

private:
    // The lines come from inputs read as text, so none holds a "\r" that the
    // reading back would take for a line end.
    void take(std::string_view text) {
        if (is_header_line(text)) {
            header_.append(text);
            late_contig_ = late_contig_ || (contig_order_ && records_started_ && text.starts_with("##contig="));
        } else if (!is_blank(text)) {
            if (contig_order_ && !records_started_) {
                compression::ContigOrder contigs;
                for (const std::string_view line : split_lines(header_)) contigs.add_header_line(line);
                records_.order_by(std::move(contigs));
            }
            records_started_ = true;
            records_.add(text);
        }
    }

    AtomicOutput& plain_;
    compression::GnuSortInput& records_;
    std::string header_;
    LineJoiner lines_;
    bool contig_order_;
    bool records_started_ = false;
    bool late_contig_ = false;
};

// The whole job without reading the plain unified file back: the writer's
// records go straight into GNU sort's input, and sort's output into the
// compressor. The plain file is still written (where the file system
// allows, to a file with no name) but it is put in place only when sorting
// or compressing fails, where the long way leaves it; after a success it
// is dropped unread, and what was at `output_path` before is removed, as
// the long way replaces and then removes it. Same ".gz", same messages.
std::optional<std::string> unify_without_reading_back(const unifier::StructFiles& struct_files,
                                                      const std::string& output_path,
                                                      const unifier::UnifyOptions& options,
                                                      const OutputSettings& settings, const std::string& sort_path) {
    const std::optional<FileIdentity> earlier = entry_identity(output_path);
    compression::GnuSortInput records;
    std::optional<AtomicOutput> plain;
    std::string header;
    bool keyed_in_order = true;
    {
        // The inputs are released before sorting.
        const unifier::FilesLines files = read_counting(struct_files, options, settings.stats);
        const Stopwatch unifying;
        plain.emplace(output_path);
        SortingSink sink(*plain, records, settings.compression.order);
        bool written = false;
        try {
            written = unifier::write_unified(unifier::table_of(files), sink, options, {}, settings.merge_headers,
                                             settings.header, tally_of(settings));
        } catch (Error& error) {
            name_the_input_file(error, struct_files);
            throw;
        }
        if (settings.stats) {
            settle_inputs(*settings.stats, files);
            settings.stats->unify_seconds += unifying.seconds();
        }
        if (!written) {
            // With nothing to unify the file is still created, and left empty.
            plain->commit();
            log_warning(unifier::kNothingToUnify);
            return std::nullopt;
        }
        header = sink.finish();
        keyed_in_order = sink.contig_order_complete();
    }
    if (plain->writes_directly() || !keyed_in_order) {
        // The file is being written in place, or its records went to sort
        // before all contig lines were known: finish it and take the long way.
        plain->commit();
        log_info(unifier::kUnifiedCreated, {output_path});
        return compression::sort_and_compress(output_path, std::nullopt, false, std::nullopt, settings.compression);
    }
    log_info(unifier::kUnifiedCreated, {output_path});
    std::string compressed;
    try {
        compressed = compression::compress_with_gnu_sort(output_path, output_path + ".gz", header, records, sort_path,
                                                         settings.compression);
    } catch (const Error&) {
        try {
            plain->commit();
        } catch (const Error&) {
            // The failure being reported is the one that matters.
        }
        throw;
    }
    if (earlier && entry_identity(output_path) == earlier) remove_file(output_path);
    return compressed;
}

std::vector<std::string> present(const unifier::StructFiles& struct_files) {
    std::vector<std::string> paths;
    for (const auto& path : struct_files) {
        if (path) paths.push_back(*path);
    }
    return paths;
}
}  // namespace

unifier::StructFiles dragen_inputs(const OptionalPath& sv_path, const OptionalPath& cnv_path,
                                   const OptionalPath& repeat_path, const OptionalPath& roh_bed_path) {
    unifier::StructFiles files;
    files[unifier::kind_index(InputKind::Sv)] = sv_path;
    files[unifier::kind_index(InputKind::Cnv)] = cnv_path;
    files[unifier::kind_index(InputKind::Repeats)] = repeat_path;
    files[unifier::kind_index(InputKind::Roh)] = roh_bed_path;
    return files;
}

unifier::StructFiles long_read_inputs(const OptionalPath& sv_path, const OptionalPath& cnv_path,
                                      const OptionalPath& repeat_path) {
    // ONT and PacBio runs have no ROH input.
    return dragen_inputs(sv_path, cnv_path, repeat_path, std::nullopt);
}

unifier::UnifyOptions ont_options(std::optional<bool> modify_repeats) {
    unifier::UnifyOptions options;
    options.add_repeat_svtype = modify_repeats;
    return options;
}

unifier::UnifyOptions pacbio_options(std::vector<std::string> drop_sv_filters) {
    unifier::UnifyOptions options;
    options.drop_sv_filters = std::move(drop_sv_filters);
    return options;
}

std::vector<std::string> guarded_outputs(const std::string& output_path) {
    // A new .gz removes an earlier index beside it, or replaces it.
    const std::string compressed = output_path + ".gz";
    return {output_path, compressed, output_path + ".sorted.tmp", compressed + ".tbi", compressed + ".csi"};
}

void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths) {
    for (const std::string& output : guarded_outputs(output_path)) {
        for (const std::string& input : input_paths) {
            if (same_file(output, input)) {
                throw ValueError("The output file " + quoted(output) + " would replace the input file " +
                                 quoted(input) + "; choose another output_path");
            }
        }
    }
}

void reject_outputs_naming_inputs(const unifier::StructFiles& struct_files, const std::string& output_path) {
    reject_outputs_naming_inputs(output_path, present(struct_files));
}

std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& given) {
    reject_outputs_naming_inputs(struct_files, output_path);
    unifier::check_header_edit(given.header);
    OutputSettings settings = given;
    if (settings.stats) settings.compression.seconds = &settings.stats->written;
    const std::optional<std::string> compressed = unify_unchecked(struct_files, output_path, options, settings);
    if (settings.stats && compressed) settings.stats->output_bytes = file_size(*compressed);
    if (settings.stats && settings.stats->output.without_svtype > 0) {
        log_warning(kRecordsWithoutSvtype, {std::to_string(settings.stats->output.without_svtype), output_path});
    }
    return compressed;
}

namespace {
std::optional<std::string> unify_unchecked(const unifier::StructFiles& struct_files, const std::string& output_path,
                                           const unifier::UnifyOptions& options, const OutputSettings& settings) {
    if (replaced_by_unified_file(output_path)) {
        if (const std::optional<std::string> sort_path = compression::gnu_sort_for_default_engine()) {
            return unify_without_reading_back(struct_files, output_path, options, settings, *sort_path);
        }
    }
    std::optional<std::string> unified;
    {
        // The inputs are released before sorting, which holds the unified
        // file's lines in memory in turn.
        const unifier::FilesLines files = read_counting(struct_files, options, settings.stats);
        const Stopwatch unifying;
        try {
            unified = unifier::unify_lines(unifier::table_of(files), output_path, options, {},
                                           settings.merge_headers, settings.header, tally_of(settings));
        } catch (Error& error) {
            name_the_input_file(error, struct_files);
            throw;
        }
        if (settings.stats) {
            settle_inputs(*settings.stats, files);
            settings.stats->unify_seconds += unifying.seconds();
        }
    }
    if (!unified) return std::nullopt;
    return compression::sort_and_compress(*unified, std::nullopt, false, std::nullopt, settings.compression);
}
}  // namespace

std::optional<std::string> dragen_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        const OptionalPath& roh_bed_path, const OutputSettings& settings) {
    return unify(dragen_inputs(sv_path, cnv_path, repeat_path, roh_bed_path), output_path, unifier::UnifyOptions{},
                 settings);
}

std::optional<std::string> ont_unify(const std::string& output_path, const OptionalPath& sv_path,
                                     const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                     std::optional<bool> modify_repeats, const OutputSettings& settings) {
    return unify(long_read_inputs(sv_path, cnv_path, repeat_path), output_path, ont_options(modify_repeats),
                 settings);
}

std::optional<std::string> pacbio_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        std::vector<std::string> drop_sv_filters,
                                        const OutputSettings& settings) {
    return unify(long_read_inputs(sv_path, cnv_path, repeat_path), output_path,
                 pacbio_options(std::move(drop_sv_filters)), settings);
}

void reject_pacbio_run_collisions(const std::string& output_path, const OptionalPath& sv_path,
                                  const OptionalPath& cnv_path, const OptionalPath& full_repeat_path,
                                  const OptionalPath& repeat_bed_file_path,
                                  const OptionalPath& filtered_repeat_path) {
    // The full repeat VCF and the catalog are inputs of this run even though
    // they are not unified themselves.
    std::vector<std::string> inputs;
    for (const auto* path : {&sv_path, &cnv_path, &full_repeat_path, &repeat_bed_file_path}) {
        if (*path) inputs.push_back(**path);
    }
    reject_outputs_naming_inputs(output_path, inputs);
    if (!full_repeat_path) return;
    const std::string filtered =
        filtered_repeat_path ? *filtered_repeat_path : repeats::filtered_repeat_path(*full_repeat_path);
    auto refuse = [&](const std::string& what, const std::string& path) {
        throw ValueError("The filtered repeat VCF " + filtered + " would overwrite the " + what + " " + path);
    };
    if (sv_path && same_file(filtered, *sv_path)) refuse("SV input", *sv_path);
    if (cnv_path && same_file(filtered, *cnv_path)) refuse("CNV input", *cnv_path);
    for (const auto& output : guarded_outputs(output_path)) {
        if (same_file(filtered, output)) refuse("output", output);
    }
}

std::optional<std::string> pacbio_filter_and_unify(const std::string& output_path, const OptionalPath& sv_path,
                                                   const OptionalPath& cnv_path,
                                                   const OptionalPath& full_repeat_path,
                                                   const OptionalPath& repeat_bed_file_path,
                                                   std::vector<std::string> drop_sv_filters,
                                                   const OptionalPath& filtered_repeat_path,
                                                   const OutputSettings& settings, bool require_catalog_chromosomes) {
    reject_pacbio_run_collisions(output_path, sv_path, cnv_path, full_repeat_path, repeat_bed_file_path,
                                 filtered_repeat_path);
    unifier::check_header_edit(settings.header);
    const Stopwatch filtering;
    const std::optional<std::string> filtered =
        repeats::filter_repeats_vcf(full_repeat_path, repeat_bed_file_path, std::nullopt, filtered_repeat_path,
                                    require_catalog_chromosomes);
    // The repeat records the catalog left out: those of the full VCF that
    // the filtered one lacks.
    const std::uint64_t full_records = settings.stats && filtered ? count_file_records(*full_repeat_path) : 0;
    if (settings.stats) settings.stats->filter_seconds += filtering.seconds();
    std::optional<std::string> compressed =
        pacbio_unify(output_path, sv_path, cnv_path, filtered, std::move(drop_sv_filters), settings);
    if (settings.stats && filtered) {
        InputStats& input = settings.stats->inputs[unifier::kind_index(InputKind::Repeats)];
        input.filtered_path = std::move(input.path);
        input.path = full_repeat_path;
        input.outside_catalog = full_records - input.read;
        input.read = full_records;
    }
    return compressed;
}

}  // namespace merivane::cli
