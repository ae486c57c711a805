#include "cli/front_doors.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <span>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/paths.hpp"
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

constexpr const char* kNothingToUnify = "nothing to unify: no SV, CNV or repeat input with records was given";

// Whether a command's run gives `output_path` the compressed VCF itself:
// standard output ("-"), or what a file would be written into (a device, a
// FIFO).
bool streams_into(const std::string& output_path, const OutputSettings& settings) {
    return settings.command && (output_path == "-" || written_in_place(output_path));
}

// The steps of unify_lines and then of sort_and_compress, the writer's lines
// going to the sorter instead of being read back. The plain file, when one
// is kept, is put in place only when nothing was unified, when sorting or
// compressing fails (not when the index refuses the records, which leaves
// nothing), or when it is written in place (a device, a FIFO); after a
// success an earlier file at `output_path` is removed as sort_and_compress
// removes the file it compressed. A command's run keeps no plain file, and
// with nothing to unify fails before writing anything.
std::optional<std::string> run_job(const unifier::StructFiles& struct_files, const std::string& output_path,
                                   const unifier::UnifyOptions& options, const OutputSettings& settings) {
    const std::optional<FileIdentity> earlier = entry_identity(output_path);
    const bool stream = streams_into(output_path, settings);
    const bool keep_plain = !stream && settings.plain_file && !settings.command;
    std::optional<AtomicOutput> plain;
    std::optional<compression::RecordSorter> sorter;
    {
        // The inputs are released before sorting.
        const unifier::FilesLines files = read_counting(struct_files, options, settings.stats);
        const auto donor = [&](InputKind kind) { return files[unifier::kind_index(kind)].has_value(); };
        if (settings.command && !donor(InputKind::Sv) && !donor(InputKind::Cnv) && !donor(InputKind::Repeats)) {
            throw ValueError(kNothingToUnify);
        }
        // A merivane run writes no record that does not fit its header, the
        // donor's alone included (the writer checks the other headers).
        if (settings.command && !settings.merge_headers && settings.header.empty()) {
            unifier::check_columns(unifier::table_of(files), options, {}, true);
        }
        const Stopwatch unifying;
        // Opened even when it is not kept, so that a folder taking no new file
        // fails the run, under the name the run was given, before anything is
        // written.
        if (!stream && (settings.plain_file || settings.command)) plain.emplace(output_path);
        sorter.emplace(compression::gnu_sort_for_default_engine(), settings.compression.order);
        AtomicOutput* const file = keep_plain ? &*plain : nullptr;
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
    if (stream) {
        // No plain file stands for the stream, and no index goes beside it.
        const std::string into = output_path == "-" ? std::string(kStandardOutput) : output_path;
        compression::compress_sorted("", into, *sorter, settings.compression);
        return output_path;
    }
    std::string compressed;
    try {
        compressed = compression::compress_sorted(output_path, output_path + ".gz", *sorter, settings.compression);
    } catch (const Error& error) {
        try {
            if (keep_plain && !dynamic_cast<const ValueError*>(&error)) plain->commit();
        } catch (const Error&) {
            // The failure being reported is the one that matters.
        }
        throw;
    }
    // An earlier file at `output_path` goes as the plain file would have.
    if (plain && !plain->writes_directly() && earlier && entry_identity(output_path) == earlier) {
        remove_file(output_path);
    }
    return compressed;
}

// The statistics file and MultiQC's files beside it, opened before the run
// writes anything (a folder that takes no new file fails it first) and put
// in place once the compressed file is, so they never describe a run that
// did not finish.
class StatsFiles {
public:
    StatsFiles(const std::string& path, const std::vector<std::string>& inputs,
               const std::vector<std::string>& outputs) {
        std::vector<std::string> paths{path};
        if (!written_in_place(path)) std::ranges::copy(multiqc_paths(path), std::back_inserter(paths));
        merivane::reject_outputs_naming_inputs(paths, inputs, "stats");
        merivane::reject_outputs_naming_inputs(paths, outputs, "stats", "output file");
        for (const std::string& one : paths) files_.push_back(std::make_unique<AtomicOutput>(one));
    }

    // `compressed`: the file written, or the stream written into.
    void commit(const RunStats& stats, const std::string& compressed, const std::optional<std::string>& sample) {
        std::vector<std::string> documents{stats_json(stats, compressed)};
        if (files_.size() > 1) {
            // MultiQC's sample: the output's name, or for a stream the statistics file's.
            const bool stream = compressed == "-" || written_in_place(compressed);
            // Only the file kind's ends go, so that S1.x.vcf.gz and S1.vcf.gz stay two samples.
            std::string name = file_name_of(stream ? files_.front()->destination() : compressed);
            for (const std::string_view end : {".gz", ".vcf", ".json"}) {
                if (name.ends_with(end)) name.resize(name.size() - end.size());
            }
            std::ranges::copy(multiqc_documents(stats, sample.value_or(name)),
                              std::back_inserter(documents));
        }
        // All complete and durable before any replaces an earlier file.
        for (std::size_t i = 0; i < files_.size(); ++i) {
            files_[i]->write(documents[i]);
            files_[i]->prepare();
        }
        // The document last: MultiQC's files without it describe no run.
        for (auto file = files_.rbegin(); file != files_.rend(); ++file) (*file)->commit();
    }

private:
    std::vector<std::unique_ptr<AtomicOutput>> files_;
};

std::vector<std::string> present(std::span<const OptionalPath> given) {
    std::vector<std::string> paths;
    for (const auto& path : given) {
        if (path) paths.push_back(*path);
    }
    return paths;
}

// What a run at `output_path` writes or removes: the unified file, the
// compressed file and the indexes beside it; and the name sorting once gave
// its temporary file, which an input is not to bear.
std::vector<std::string> guarded_outputs(const std::string& output_path) {
    std::vector<std::string> outputs = compression::written_beside(output_path + ".gz");
    outputs.insert(outputs.begin(), {output_path, compression::sorting_temporary_of(output_path)});
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

namespace {

// unify() once the run's outputs are checked.
std::optional<std::string> unify_checked(const unifier::StructFiles& struct_files, const std::string& output_path,
                                         const unifier::UnifyOptions& options, const OutputSettings& given) {
    OutputSettings settings = given;
    if (settings.stats) settings.compression.seconds = &settings.stats->written;
    const std::optional<std::string> compressed = run_job(struct_files, output_path, options, settings);
    if (settings.stats) settings.stats->output_bytes = settings.stats->written.bytes;
    if (settings.stats && settings.stats->output.without_svtype > 0) {
        log_warning(kRecordsWithoutSvtype, {output_path, std::to_string(settings.stats->output.without_svtype)});
    }
    return compressed;
}

// Every file the run writes at `output_path`: as guarded_outputs, or the
// stream a command's run writes into.
std::vector<std::string> run_outputs(const std::string& output_path, const OutputSettings& settings) {
    if (output_path == "-" && streams_into(output_path, settings)) return {"/dev/stdout"};
    return streams_into(output_path, settings) ? std::vector{output_path} : guarded_outputs(output_path);
}

std::optional<StatsFiles> stats_files(const OutputSettings& settings, const std::vector<std::string>& inputs,
                                      const std::vector<std::string>& outputs) {
    if (!settings.stats_path) return std::nullopt;
    return std::make_optional<StatsFiles>(*settings.stats_path, inputs, outputs);
}

void commit_stats(std::optional<StatsFiles>& files, const OutputSettings& settings,
                  const std::optional<std::string>& compressed) {
    if (files && compressed) files->commit(*settings.stats, *compressed, settings.header.sample);
}

}  // namespace

std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings) {
    reject_outputs_naming_inputs(struct_files, output_path);
    unifier::check_header_edit(settings.header);
    std::optional<StatsFiles> stats = stats_files(settings, present(struct_files), run_outputs(output_path, settings));
    const std::optional<std::string> compressed = unify_checked(struct_files, output_path, options, settings);
    commit_stats(stats, settings, compressed);
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
    std::vector<std::string> outputs = run_outputs(output_path, settings);
    if (full_repeat_path) {
        outputs.push_back(filtered_repeat_path ? *filtered_repeat_path
                                               : repeats::filtered_repeat_path(*full_repeat_path));
    }
    std::optional<StatsFiles> stats =
        stats_files(settings, present(std::array{sv_path, cnv_path, full_repeat_path, repeat_bed_file_path}), outputs);
    const Stopwatch filtering;
    const std::optional<std::string> filtered =
        repeats::filter_repeats_vcf(full_repeat_path, repeat_bed_file_path, std::nullopt, filtered_repeat_path, {},
                                    require_catalog_chromosomes);
    // The repeat records the catalog left out: those of the full VCF that
    // the filtered one lacks.
    const std::uint64_t full_records = settings.stats && filtered ? count_file_records(*full_repeat_path) : 0;
    if (settings.stats) settings.stats->filter_seconds += filtering.seconds();
    std::optional<std::string> compressed = unify_checked({sv_path, cnv_path, filtered, std::nullopt}, output_path,
                                                          pacbio_options(std::move(drop_sv_filters)), settings);
    if (settings.stats && filtered) {
        InputStats& input = settings.stats->inputs[unifier::kind_index(InputKind::Repeats)];
        input.filtered_path = std::move(input.path);
        input.path = full_repeat_path;
        input.outside_catalog = full_records - input.read;
        input.read = full_records;
    }
    commit_stats(stats, settings, compressed);
    return compressed;
}

}  // namespace merivane::cli
