// One front door per pipeline. The doors differ only in which inputs they
// accept and which unification options they build; the work is shared.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "unifier/pipeline.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::cli {

using OptionalPath = std::optional<std::string>;

// The input mapping and options of each door.
unifier::StructFiles dragen_inputs(const OptionalPath& sv_path, const OptionalPath& cnv_path,
                                   const OptionalPath& repeat_path, const OptionalPath& roh_bed_path);
unifier::StructFiles long_read_inputs(const OptionalPath& sv_path, const OptionalPath& cnv_path,
                                      const OptionalPath& repeat_path);
unifier::UnifyOptions ont_options(std::optional<bool> modify_repeats);
unifier::UnifyOptions pacbio_options(std::vector<std::string> drop_sv_filters);

// Refuses, before anything is written, a run whose outputs would overwrite
// or remove one of its inputs.
void reject_outputs_naming_inputs(const unifier::StructFiles& struct_files, const std::string& output_path);

// The shared sequence: read, unify, sort and compress. The compressed
// file's path, or nullopt when nothing could donate a header.
std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const unifier::OutputSettings& settings = {});

std::optional<std::string> dragen_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        const OptionalPath& roh_bed_path, const unifier::OutputSettings& settings = {});
std::optional<std::string> ont_unify(const std::string& output_path, const OptionalPath& sv_path,
                                     const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                     std::optional<bool> modify_repeats, const unifier::OutputSettings& settings = {});
std::optional<std::string> pacbio_unify(const std::string& output_path, const OptionalPath& sv_path,
                                        const OptionalPath& cnv_path, const OptionalPath& repeat_path,
                                        std::vector<std::string> drop_sv_filters,
                                        const unifier::OutputSettings& settings = {});

// Before the repeat filter writes anything: the run's outputs must not name
// any of its inputs, and the filtered repeat VCF (`filtered_repeat_path`, or
// the filter's default beside the full one) must not name the SV or CNV
// input nor one of the run's outputs.
void reject_pacbio_run_collisions(const std::string& output_path, const OptionalPath& sv_path,
                                  const OptionalPath& cnv_path, const OptionalPath& full_repeat_path,
                                  const OptionalPath& repeat_bed_file_path,
                                  const OptionalPath& filtered_repeat_path = std::nullopt);

std::optional<std::string> pacbio_filter_and_unify(const std::string& output_path, const OptionalPath& sv_path,
                                                   const OptionalPath& cnv_path,
                                                   const OptionalPath& full_repeat_path,
                                                   const OptionalPath& repeat_bed_file_path,
                                                   std::vector<std::string> drop_sv_filters,
                                                   const OptionalPath& filtered_repeat_path = std::nullopt,
                                                   const unifier::OutputSettings& settings = {});

}  // namespace merivane::cli
