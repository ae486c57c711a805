#include "cli/front_doors.hpp"

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "repeats/repeat_filter.hpp"

namespace merivane::cli {

using unifier::InputKind;

namespace {
std::size_t slot(InputKind kind) { return static_cast<std::size_t>(kind); }

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
    files[slot(InputKind::Sv)] = sv_path;
    files[slot(InputKind::Cnv)] = cnv_path;
    files[slot(InputKind::Repeats)] = repeat_path;
    files[slot(InputKind::Roh)] = roh_bed_path;
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

void reject_outputs_naming_inputs(const unifier::StructFiles& struct_files, const std::string& output_path) {
    unifier::reject_outputs_naming_inputs(output_path, present(struct_files));
}

std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const unifier::OutputSettings& settings) {
    reject_outputs_naming_inputs(struct_files, output_path);
    return unifier::unify_and_compress(struct_files, output_path, options, settings);
}

std::optional<std::string> dragen_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        const OptionalPath& roh_bed_path, const unifier::OutputSettings& settings) {
    return unify(dragen_inputs(sv_path, cnv_path, repeat_path, roh_bed_path), output_path, unifier::UnifyOptions{},
                 settings);
}

std::optional<std::string> ont_unify(const std::string& output_path, const OptionalPath& sv_path,
                                     const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                     std::optional<bool> modify_repeats, const unifier::OutputSettings& settings) {
    return unify(long_read_inputs(sv_path, cnv_path, repeat_path), output_path, ont_options(modify_repeats),
                 settings);
}

std::optional<std::string> pacbio_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        std::vector<std::string> drop_sv_filters,
                                        const unifier::OutputSettings& settings) {
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
    unifier::reject_outputs_naming_inputs(output_path, inputs);
    if (!full_repeat_path) return;
    const std::string filtered =
        filtered_repeat_path ? *filtered_repeat_path : repeats::filtered_repeat_path(*full_repeat_path);
    const std::vector<std::string> guarded = {
        output_path, output_path + ".gz", output_path + ".sorted.tmp", output_path + ".gz.tbi", output_path + ".gz.csi"};
    auto refuse = [&](const std::string& what, const std::string& path) {
        throw ValueError("The filtered repeat VCF " + filtered + " would overwrite the " + what + " " + path);
    };
    if (sv_path && same_file(filtered, *sv_path)) refuse("SV input", *sv_path);
    if (cnv_path && same_file(filtered, *cnv_path)) refuse("CNV input", *cnv_path);
    for (const auto& output : guarded) {
        if (same_file(filtered, output)) refuse("output", output);
    }
}

std::optional<std::string> pacbio_filter_and_unify(const std::string& output_path, const OptionalPath& sv_path,
                                                   const OptionalPath& cnv_path,
                                                   const OptionalPath& full_repeat_path,
                                                   const OptionalPath& repeat_bed_file_path,
                                                   std::vector<std::string> drop_sv_filters,
                                                   const OptionalPath& filtered_repeat_path,
                                                   const unifier::OutputSettings& settings) {
    reject_pacbio_run_collisions(output_path, sv_path, cnv_path, full_repeat_path, repeat_bed_file_path,
                                 filtered_repeat_path);
    const std::optional<std::string> filtered =
        repeats::filter_repeats_vcf(full_repeat_path, repeat_bed_file_path, std::nullopt, filtered_repeat_path);
    return pacbio_unify(output_path, sv_path, cnv_path, filtered, std::move(drop_sv_filters), settings);
}

}  // namespace merivane::cli
