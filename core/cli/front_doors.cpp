#include "cli/front_doors.hpp"

#include "compression/sort_and_compress.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/strings.hpp"
#include "repeats/repeat_filter.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

using unifier::InputKind;

namespace {
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
                                 const unifier::UnifyOptions& options, const OutputSettings& settings) {
    reject_outputs_naming_inputs(struct_files, output_path);
    std::optional<std::string> unified;
    {
        // The inputs are released before sorting, which holds the unified
        // file's lines in memory in turn.
        const unifier::FilesLines files = unifier::read_struct_lines(struct_files, options);
        try {
            unified =
                unifier::unify_lines(unifier::table_of(files), output_path, options, {}, settings.merge_headers);
        } catch (Error& error) {
            name_the_input_file(error, struct_files);
            throw;
        }
    }
    if (!unified) return std::nullopt;
    return compression::sort_and_compress(*unified, std::nullopt, false, std::nullopt, settings.compression);
}

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
                                                   const OutputSettings& settings) {
    reject_pacbio_run_collisions(output_path, sv_path, cnv_path, full_repeat_path, repeat_bed_file_path,
                                 filtered_repeat_path);
    const std::optional<std::string> filtered =
        repeats::filter_repeats_vcf(full_repeat_path, repeat_bed_file_path, std::nullopt, filtered_repeat_path);
    return pacbio_unify(output_path, sv_path, cnv_path, filtered, std::move(drop_sv_filters), settings);
}

}  // namespace merivane::cli
