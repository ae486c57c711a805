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
    RunStats* stats = nullptr;  // filled in when given
    // Whether the plain unified file is written, to be left where sorting or
    // compressing fails (false: nothing of a failed run is left).
    bool plain_file = true;
    // Where they are written as JSON, MultiQC's files beside it: outputs of
    // the run, checked with the others and put in place once the compressed
    // file is (a device or FIFO gets the document alone, written into).
    OptionalPath stats_path;
    // The command line of the merivane run this is, recorded in the
    // statistics. Such a run keeps no plain file: a stream as output_path
    // ("-" for standard output, a device, a FIFO) gets the compressed VCF
    // itself, and with nothing to unify it fails (ValueError) before
    // writing anything.
    std::optional<std::string> command;
};

// The options of the long-read doors.
unifier::UnifyOptions ont_options(std::optional<bool> modify_repeats);
unifier::UnifyOptions pacbio_options(std::vector<std::string> drop_sv_filters);

// ValueError, before anything is written, when one of the run's outputs
// would be one of its inputs: the unified file would overwrite it and
// compression remove it.
void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths);
void reject_outputs_naming_inputs(const unifier::StructFiles& struct_files, const std::string& output_path);

// The whole job, checked first as above: unifier::unify_lines of the read
// inputs at `output_path`, then compression::sort_and_compress of that file
// (which it removes); returns the ".gz" path, or nullopt when nothing could
// donate a header (the empty unified file stays, and no statistics file is
// written: there is no output to describe). A host whose caller
// replaced one of those functions calls them in this order instead.
std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings = {});

// Before the repeat filter writes anything: the run's outputs must not name
// its inputs, and the filtered repeat VCF (`filtered_repeat_path`, or the
// filter's default) must name neither the SV or CNV input nor an output.
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
