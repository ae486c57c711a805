// The pipelines: the whole job (read, unify, sort and compress) behind one
// entry that first refuses outputs that would destroy an input; the doors
// differ only in which inputs they accept and which options they build.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/run_stats.hpp"
#include "compression/settings.hpp"
#include "unifier/vocabulary.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

using OptionalPath = std::optional<std::string>;

// How the unified file is written: its header, and how it is compressed.
// The defaults give the long-standing output.
struct OutputSettings {
    bool merge_headers = false;
    compression::CompressionSettings compression;
    unifier::HeaderEdit header;
    // Filled in when given.
    RunStats* stats = nullptr;
};

// The options of the long-read doors.
unifier::UnifyOptions ont_options(std::optional<bool> modify_repeats);
unifier::UnifyOptions pacbio_options(std::vector<std::string> drop_sv_filters);

// ValueError, before anything is written, when one of the run's outputs
// would be one of its inputs: the unified file would overwrite it and
// compression remove it.
void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths);
void reject_outputs_naming_inputs(const unifier::StructFiles& struct_files, const std::string& output_path);

// The whole job, checked first as above: reads `struct_files`, writes the
// unified file at `output_path`, lets go of the input lines, then sorts and
// BGZF-compresses that file (which it removes) and returns the ".gz" path;
// nullopt when nothing could donate a header, in which case the empty
// unified file stays and nothing is sorted. It is made of the steps of
// unifier::unify_lines and compression::sort_and_compress (unify_into,
// compress_sorted), which a host whose caller replaced one of those
// functions calls in this order instead.
std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings = {});

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
                                                   const OutputSettings& settings = {},
                                                   bool require_catalog_chromosomes = false);

}  // namespace merivane::cli
