#include "cli/front_doors.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "platform/unique_fd.hpp"
#include "repeats/repeat_filter.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

using unifier::InputKind;

namespace {
constexpr const char* kRecordsWithoutSvtype = "Records of %s without SVTYPE: %s";

// The writer's notes name an input by kind ("in the roh input, line 3");
// here the file is known, and a note says which it is.
void name_the_input_file(Error& error, const unifier::StructFiles& struct_files) {
    for (const InputKind kind : unifier::kFileTypes) {
        const auto& path = struct_files[unifier::kind_index(kind)];
        const std::string input = "the " + std::string(unifier::kind_name(kind)) + " input";
        const auto names_input = [&](const std::string& note) { return note.starts_with("in " + input + ","); };
        if (path && std::ranges::any_of(error.notes(), names_input)) return error.add_note(input + " is " + *path);
    }
}

// Takes the unified VCF as the writer makes it, a whole line at a time: to
// the sorter, and to the plain file when one is written.
class SortingSink : public unifier::TextSink {
public:
    SortingSink(AtomicOutput* plain, compression::RecordSorter& sorter) : plain_(plain), sorter_(sorter) {}

    void write(std::string_view line) override {
        if (plain_) plain_->write(line);
        sorter_.add(line);
    }

private:
    AtomicOutput* plain_;
    compression::RecordSorter& sorter_;
};

// The steps of unify_lines and then of sort_and_compress, the writer's lines
// going to the sorter instead of being read back. The plain file, when one
// is kept, is put in place only when nothing was unified, when sorting or
// compressing fails, or when it is written in place (a device, a FIFO);
// after a success an earlier file at `output_path` is removed as
// sort_and_compress removes the file it compressed.
std::optional<std::string> run_job(const unifier::StructFiles& struct_files, const std::string& output_path,
                                   const unifier::UnifyOptions& options, const OutputSettings& settings) {
    const std::optional<FileIdentity> earlier = entry_identity(output_path);
    std::optional<AtomicOutput> plain;
    std::optional<compression::RecordSorter> sorter;
    {
        // The inputs are released before sorting.
        const unifier::FilesLines files = read_counting(struct_files, options, settings.stats);
        const Stopwatch unifying;
        if (settings.plain_file) plain.emplace(output_path);
        sorter.emplace(compression::gnu_sort_for_default_engine(), settings.compression.order);
        AtomicOutput* const file = plain ? &*plain : nullptr;
        SortingSink sink(file, *sorter);
        std::optional<std::string> unified;
        try {
            unified = unifier::unify_into(unifier::table_of(files), output_path, file, sink, options, {},
                                          settings.merge_headers, settings.header,
                                          settings.stats ? &settings.stats->output : nullptr,
                                          file && file->writes_directly());
        } catch (Error& error) {
            name_the_input_file(error, struct_files);
            throw;
        }
        if (settings.stats) {
            settle_inputs(*settings.stats, files);
            settings.stats->unify_seconds += unifying.seconds();
        }
        if (!unified) return std::nullopt;
    }
    std::string compressed;
    try {
        compressed = compression::compress_sorted(output_path, output_path + ".gz", *sorter, settings.compression);
    } catch (const Error&) {
        try {
            if (plain) plain->commit();
        } catch (const Error&) {
            // The failure being reported is the one that matters.
        }
        throw;
    }
    // Without a plain file, nothing at `output_path` is this run's to remove.
    if (plain && !plain->writes_directly() && earlier && entry_identity(output_path) == earlier) {
        remove_file(output_path);
    }
    return compressed;
}

std::vector<std::string> present(std::span<const OptionalPath> given) {
    std::vector<std::string> paths;
    for (const auto& path : given) {
        if (path) paths.push_back(*path);
    }
    return paths;
}

// What a run at `output_path` writes or removes: the unified file, the
// compressed file and the indexes beside it.
std::vector<std::string> guarded_outputs(const std::string& output_path) {
    std::vector<std::string> outputs = compression::written_beside(output_path + ".gz");
    outputs.insert(outputs.begin(), output_path);
    return outputs;
}

}  // namespace

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

void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths) {
    merivane::reject_outputs_naming_inputs(guarded_outputs(output_path), input_paths, "output_path");
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
    const std::optional<std::string> compressed = run_job(struct_files, output_path, options, settings);
    if (settings.stats && compressed) {
        settings.stats->output_bytes = size_left(UniqueFd(open_for_reading(*compressed)).get());
    }
    if (settings.stats && settings.stats->output.without_svtype > 0) {
        log_warning(kRecordsWithoutSvtype, {output_path, std::to_string(settings.stats->output.without_svtype)});
    }
    return compressed;
}

void reject_pacbio_run_collisions(const std::string& output_path, const OptionalPath& sv_path,
                                  const OptionalPath& cnv_path, const OptionalPath& full_repeat_path,
                                  const OptionalPath& repeat_bed_file_path,
                                  const OptionalPath& filtered_repeat_path) {
    // The full repeat VCF and the catalog are inputs of this run even though
    // they are not unified themselves.
    reject_outputs_naming_inputs(output_path,
                                 present(std::array{sv_path, cnv_path, full_repeat_path, repeat_bed_file_path}));
    if (!full_repeat_path) return;
    const std::string filtered =
        filtered_repeat_path ? *filtered_repeat_path : repeats::filtered_repeat_path(*full_repeat_path);
    // The filtered VCF is written first, then read as the run's repeat input.
    merivane::reject_outputs_naming_inputs({filtered}, present(std::array{sv_path, cnv_path}), "filtered_repeat_path");
    for (const std::string& output : guarded_outputs(output_path)) {
        if (!same_file(filtered, output)) continue;
        throw ValueError("The filtered repeat VCF " + quoted(filtered) + " would replace the output file " +
                         quoted(output) + "; choose another filtered_repeat_path");
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
        repeats::filter_repeats_vcf(full_repeat_path, repeat_bed_file_path, std::nullopt, filtered_repeat_path, {},
                                    require_catalog_chromosomes);
    // The repeat records the catalog left out: those of the full VCF that
    // the filtered one lacks.
    const std::uint64_t full_records = settings.stats && filtered ? count_file_records(*full_repeat_path) : 0;
    if (settings.stats) settings.stats->filter_seconds += filtering.seconds();
    std::optional<std::string> compressed = unify({sv_path, cnv_path, filtered, std::nullopt}, output_path,
                                                  pacbio_options(std::move(drop_sv_filters)), settings);
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
