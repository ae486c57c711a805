// The pipelines: the whole job (read, unify, sort and compress) as one plan,
// checked before anything is written and then executed; the doors differ
// only in which inputs they accept and which options they build.
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

// How the unified file is written; the defaults give the long-standing output.
struct OutputSettings {
    bool merge_headers = false;
    compression::CompressionSettings compression;
    unifier::HeaderEdit header;
    RunStats* stats = nullptr;  // filled in when given
    // Where they are written as JSON, MultiQC's files beside it; put in place
    // once the compressed file is (a device or FIFO gets the document alone).
    OptionalPath stats_path;
    // The command line of the merivane run this is, recorded in the statistics.
    // Such a run keeps no plain file, gives a stream output_path ("-", a device,
    // a FIFO) the compressed VCF itself, and with nothing to unify raises
    // ValueError before writing anything.
    std::optional<std::string> command;
};

// The options of the long-read doors.
unifier::UnifyOptions ont_options(std::optional<bool> modify_repeats);
unifier::UnifyOptions pacbio_options(std::vector<std::string> drop_sv_filters);

// The repeat VCF a PacBio run restricts to the catalog before unifying it,
// and where the filtered VCF goes (given, or the filter's default).
struct RepeatFilterStep {
    OptionalPath full_repeat_path;
    OptionalPath repeat_bed_file_path;
    std::string filtered_path;
    bool require_catalog_chromosomes = false;
};

// One run, decided before anything is read; a PacBio run's repeat input is the
// output of the filter it runs first.
struct RunPlan {
    unifier::StructFiles inputs;
    std::string output_path;
    unifier::UnifyOptions options;
    OutputSettings settings;
    std::optional<RepeatFilterStep> filter;
};

RunPlan pacbio_plan(const std::string& output_path, const OptionalPath& sv_path, const OptionalPath& cnv_path,
                    const OptionalPath& full_repeat_path, const OptionalPath& repeat_bed_file_path,
                    std::vector<std::string> drop_sv_filters, const OptionalPath& filtered_repeat_path = std::nullopt,
                    const OutputSettings& settings = {}, bool require_catalog_chromosomes = false);

// Where a merivane run keeps the filtered repeat VCF unless told: beside
// `output_path`, the one place it is known to write (the input's folder may be
// read-only), or for a stream in the current folder; named as the filter would.
std::string command_filtered_path(const std::string& full_repeat_path, const std::string& output_path, bool stream);

// ValueError, before anything is written, for an output of the run (unified,
// compressed, index, filtered repeats, statistics) that would replace an input
// or another output, or for a header edit that would break the header.
void check_plan(const RunPlan& plan);

// Checks the plan, then runs the filter, if any, unify_lines of the inputs at
// `output_path` and sort_and_compress of that file (which it removes); returns
// the ".gz" path, or nullopt when nothing could donate a header (the empty file
// stays, and no statistics describe a run without output). A host whose caller
// replaced one of those functions checks the plan and calls them in this order.
std::optional<std::string> run(const RunPlan& plan);

// run() of the plan of those inputs and settings.
std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings = {});

}  // namespace merivane::cli
