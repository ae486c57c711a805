#include "cli/front_doors.hpp"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/paths.hpp"
#include "platform/strings.hpp"
#include "repeats/repeat_filter.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

using unifier::InputKind;

namespace {
constexpr const char* kRecordsWithoutSvtype = "Records of %s without SVTYPE: %s";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

constexpr const char* kNothingToUnify = "nothing to unify: no SV, CNV or repeat input with records was given";

// Whether a command's run gives `output_path` the compressed VCF itself:
// standard output ("-"), or what a file is written into (a device, a FIFO).
bool streams_into(const std::string& output_path, const OutputSettings& settings) {
    return settings.command && (output_path == "-" || written_in_place(output_path));
}

// The sorted records compressed to `output_path`.gz. A kept plain file is put
// in place when that fails, unless the index refused the records.
std::string compress_beside(const std::string& output_path, compression::RecordSorter& sorter, AtomicOutput& plain,
                            const OutputSettings& settings, const std::optional<FileIdentity>& earlier) {
    std::string compressed;
    try {
        compressed = compression::compress_sorted(output_path, output_path + ".gz", sorter, settings.compression);
    } catch (const Error& error) {
        try {
            if (!settings.command && !dynamic_cast<const ValueError*>(&error)) plain.commit();
        } catch (const Error&) {
            // The failure being reported is the one that matters.
        }
        throw;
    }
    // An earlier file at `output_path` goes as the plain file would have.
    if (!plain.writes_directly() && earlier && entry_identity(output_path) == earlier) remove_file(output_path);
    return compressed;
}

// The steps of unify_lines, the writer's lines going to the sorter instead of
// being read back, and to the plain file when one is kept (not by a command's
// run); then those of sort_and_compress. The plain file is opened even when not
// kept, so that a folder taking no new file fails the run before anything is
// written. A kept plain file is put in place only when nothing was unified, when
// it is written in place, or when sorting or compressing fails (not when the
// index refuses the records); after a success an earlier file at `output_path`
// goes, as sort_and_compress removes the file it compressed.
std::optional<std::string> run_job(const unifier::StructFiles& inputs, const std::string& output_path,
                                   const unifier::UnifyOptions& options, const OutputSettings& settings) {
    const std::optional<FileIdentity> earlier = entry_identity(output_path);
    const bool stream = streams_into(output_path, settings);
    RunStats* const stats = settings.stats;
    std::optional<AtomicOutput> plain;
    std::optional<compression::RecordSorter> sorter;
    {
        // Read in this block, the inputs are released before sorting.
        unifier::KindTable<unifier::ReadCounts> counts;
        const Clock::time_point reading = Clock::now();
        const unifier::FilesLines files = unifier::read_struct_lines(inputs, options, stats ? &counts : nullptr);
        if (stats) stats->read_seconds += seconds_since(reading);
        const unifier::LinesTable table = unifier::table_of(files);
        // A command's run fails before writing anything.
        if (settings.command && !unifier::donor_kind(table)) throw ValueError(kNothingToUnify);
        // A merivane run writes no record that does not fit its header, the
        // donor's alone included (the writer checks the other headers).
        if (settings.command && !settings.merge_headers && settings.header.empty()) {
            unifier::check_columns(table, options, {}, true);
        }
        const Clock::time_point unifying = Clock::now();
        if (!stream) plain.emplace(output_path);
        sorter.emplace(compression::gnu_sort_for_default_engine(), settings.compression.order);
        AtomicOutput* const file = settings.command ? nullptr : &*plain;
        std::optional<std::string> unified;
        try {
            unified = unifier::unify_into(table, output_path, file, [&](std::string_view line) { sorter->add(line); },
                                          options, {}, settings.merge_headers, settings.header,
                                          stats ? &stats->output : nullptr, file && file->writes_directly());
        } catch (Error& error) {
            name_the_input_file(error, inputs);
            throw;
        }
        if (stats) {
            settle_inputs(*stats, inputs, counts, files);
            stats->unify_seconds += seconds_since(unifying);
        }
        if (!unified) return std::nullopt;
    }
    if (stream) {
        // No plain file stands for the stream, and no index goes beside it.
        const std::string into = output_path == "-" ? std::string(kStandardOutput) : output_path;
        compression::compress_sorted("", into, *sorter, settings.compression);
        return output_path;
    }
    return compress_beside(output_path, *sorter, *plain, settings, earlier);
}

// The statistics files are opened before the run writes anything (a folder that
// takes no new file fails it first) and put in place once the compressed file is
// (`compressed`: the file written, or the stream written into): never describing
// a run that did not finish.
void commit_stats(const std::vector<std::unique_ptr<AtomicOutput>>& files, const RunStats& stats,
                  const std::string& compressed, const std::optional<std::string>& sample) {
    std::vector<std::string> documents{stats_json(stats, compressed)};
    if (files.size() > 1) {
        // MultiQC's sample: the output's name, or for a stream the statistics file's.
        const bool stream = compressed == "-" || written_in_place(compressed);
        // Only the file kind's ends go, so that S1.x.vcf.gz and S1.vcf.gz stay two samples.
        std::string name = file_name_of(stream ? files.front()->destination() : compressed);
        for (const std::string_view end : {".gz", ".vcf", ".json"}) {
            if (name.ends_with(end)) name.resize(name.size() - end.size());
        }
        std::ranges::copy(multiqc_documents(stats, sample.value_or(name)), std::back_inserter(documents));
    }
    // All complete and durable before any replaces an earlier file.
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i]->write(documents[i]);
        files[i]->prepare();
    }
    // The document last: MultiQC's files without it describe no run.
    for (auto file = files.rbegin(); file != files.rend(); ++file) (*file)->commit();
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

RunPlan pacbio_plan(const std::string& output_path, const OptionalPath& sv_path, const OptionalPath& cnv_path,
                    const OptionalPath& full_repeat_path, const OptionalPath& repeat_bed_file_path,
                    std::vector<std::string> drop_sv_filters, const OptionalPath& filtered_repeat_path,
                    const OutputSettings& settings, bool require_catalog_chromosomes) {
    // An empty name, as none, leaves the filter its default.
    const bool named = filtered_repeat_path && !filtered_repeat_path->empty();
    std::string filtered;
    if (full_repeat_path) filtered = named ? *filtered_repeat_path : repeats::filtered_repeat_path(*full_repeat_path);
    return {{sv_path, cnv_path, std::nullopt, std::nullopt}, output_path, pacbio_options(std::move(drop_sv_filters)),
            settings, RepeatFilterStep{full_repeat_path, repeat_bed_file_path, filtered, require_catalog_chromosomes}};
}

std::string command_filtered_path(const std::string& full_repeat_path, const std::string& output_path, bool stream) {
    const std::string name = repeats::filtered_repeat_path(file_name_of(full_repeat_path));
    return join_path(stream ? "" : directory_of(output_path), name);
}

void check_plan(const RunPlan& plan) {
    // What the run reads: the inputs it unifies, and a PacBio run's full repeat
    // VCF and catalog, inputs of the run even though not unified themselves.
    std::vector<OptionalPath> given(plan.inputs.begin(), plan.inputs.end());
    if (plan.filter) given.insert(given.end(), {plan.filter->full_repeat_path, plan.filter->repeat_bed_file_path});
    std::vector<std::string> inputs;
    for (const OptionalPath& path : given) {
        if (path) inputs.push_back(*path);
    }
    // What a run at `output_path` writes or removes: the unified file, the
    // compressed file and the indexes beside it; and the name sorting once gave
    // its temporary file, which an input is not to bear.
    std::vector<std::string> outputs = compression::written_beside(plan.output_path + ".gz");
    outputs.insert(outputs.begin(), {plan.output_path, compression::sorting_temporary_of(plan.output_path)});
    reject_outputs_naming_inputs(outputs, inputs, "output_path");
    const bool filtering = plan.filter && plan.filter->full_repeat_path;
    if (filtering) {
        // The filtered VCF is written first, then read as the run's repeat
        // input: it names no input, and no output of the unification.
        const std::string& filtered = plan.filter->filtered_path;
        reject_outputs_naming_inputs({filtered}, inputs, "filtered_repeat_path");
        for (const std::string& output : outputs) {
            if (!same_file(filtered, output)) continue;
            throw ValueError("The filtered repeat VCF " + quoted(filtered) + " would replace the output file " +
                             quoted(output) + "; choose another filtered_repeat_path");
        }
    }
    unifier::check_header_edit(plan.settings.header);
    if (!plan.settings.stats_path) return;
    const std::vector<std::string> stats = stats_paths(*plan.settings.stats_path);
    reject_outputs_naming_inputs(stats, inputs, "stats");
    // Every file the run writes: those above, or the stream a command's run
    // writes into instead; then the filtered repeat VCF.
    if (streams_into(plan.output_path, plan.settings)) {
        outputs = {plan.output_path == "-" ? "/dev/stdout" : plan.output_path};
    }
    if (filtering) outputs.push_back(plan.filter->filtered_path);
    reject_outputs_naming_inputs(stats, outputs, "stats", "output file");
}

std::optional<std::string> run(const RunPlan& plan) {
    check_plan(plan);
    std::vector<std::unique_ptr<AtomicOutput>> stats_files;
    if (plan.settings.stats_path) {
        for (const std::string& path : stats_paths(*plan.settings.stats_path)) {
            stats_files.push_back(std::make_unique<AtomicOutput>(path));
        }
    }
    OutputSettings settings = plan.settings;
    RunStats* const stats = settings.stats;
    if (stats) settings.compression.seconds = &stats->written;
    unifier::StructFiles inputs = plan.inputs;
    std::optional<std::string> filtered;
    repeats::IntersectCounts counts;
    if (const RepeatFilterStep* const step = plan.filter ? &*plan.filter : nullptr) {
        const Clock::time_point filtering = Clock::now();
        filtered = repeats::filter_repeats_vcf(step->full_repeat_path, step->repeat_bed_file_path, std::nullopt,
                                               step->filtered_path, {}, step->require_catalog_chromosomes, &counts);
        if (stats) stats->filter_seconds += seconds_since(filtering);
    }
    if (filtered) inputs[unifier::kind_index(InputKind::Repeats)] = *filtered;
    const std::optional<std::string> compressed = run_job(inputs, plan.output_path, plan.options, settings);
    if (!stats) return compressed;
    if (stats->output.without_svtype > 0) {
        log_warning(kRecordsWithoutSvtype, {plan.output_path, std::to_string(stats->output.without_svtype)});
    }
    if (filtered) {
        // A PacBio run's repeat input as given is the full VCF: the catalog
        // left out what the filtered one lacks of the engine's count.
        InputStats& input = stats->inputs[unifier::kind_index(InputKind::Repeats)];
        const auto full_records = static_cast<std::uint64_t>(counts.kept + counts.dropped);
        input.filtered_path = std::move(input.path);
        input.path = plan.filter->full_repeat_path;
        input.outside_catalog = full_records - input.read;
        input.read = full_records;
    }
    if (!stats_files.empty() && compressed) commit_stats(stats_files, *stats, *compressed, settings.header.sample);
    return compressed;
}

std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings) {
    return run({struct_files, output_path, options, settings, std::nullopt});
}

}  // namespace merivane::cli
