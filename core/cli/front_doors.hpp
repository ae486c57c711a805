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

// How the unified file is written: its header, and how it is compressed.
// The defaults give the long-standing output.
struct OutputSettings {
    bool merge_headers = false;
    compression::CompressionSettings compression;
    unifier::HeaderEdit header;
    RunStats* stats = nullptr;  // filled in when given
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

// The repeat VCF a PacBio run restricts to the catalog before unifying it,
// and where the filtered VCF goes (given, or the filter's default).
struct RepeatFilterStep {
    OptionalPath full_repeat_path;
    OptionalPath repeat_bed_file_path;
    std::string filtered_path;
    bool require_catalog_chromosomes = false;
};

// One run, decided before anything is read: the inputs it unifies (for a
// PacBio run the repeat input is the filter's output), where and how it
// writes, and the filter it runs first, if any.
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

// Where a merivane run keeps the filtered repeat VCF unless told: in the
// folder of `output_path`, the one place the command is known to write (the
// input's may be a read-only run folder), or for a stream, which has none, in
// the current one; named as the filter names it beside the full VCF.
std::string command_filtered_path(const std::string& full_repeat_path, const std::string& output_path, bool stream);

// ValueError, before anything is written: an output of the run (the unified
// file, the compressed one and its index, the filtered repeat VCF, the
// statistics files) that would replace one of its inputs or another of its
// outputs, or a header edit that would break the header.
void check_plan(const RunPlan& plan);

// Checks the plan, then runs it: the filter, if any, then
// unifier::unify_lines of the read inputs at `output_path` and
// compression::sort_and_compress of that file (which it removes); returns
// the ".gz" path, or nullopt when nothing could donate a header (the empty
// unified file stays, and no statistics file is written: there is no output
// to describe). A host whose caller replaced one of those functions checks
// the plan and calls them in this order instead.
std::optional<std::string> run(const RunPlan& plan);

// run() of the plan of those inputs and settings.
std::optional<std::string> unify(const unifier::StructFiles& struct_files, const std::string& output_path,
                                 const unifier::UnifyOptions& options, const OutputSettings& settings = {});

}  // namespace merivane::cli
