// The statistics of one run: per input what was read, kept and left out
// (and why), what the unified file holds, its size, and the time each step
// took. Counts add up: read = kept + every reason's count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compression/settings.hpp"
#include "unifier/reading.hpp"
#include "unifier/writer.hpp"

namespace merivane::cli {

struct InputStats {
    // The input as given (for PacBio repeats, the full VCF before the
    // catalog), and the file that was unified in its place, if another.
    std::optional<std::string> path;
    std::optional<std::string> filtered_path;
    std::uint64_t read = 0;
    std::uint64_t kept = 0;
    // Left out, by reason.
    std::uint64_t filter = 0;            // SV records with a dropped FILTER token
    std::uint64_t no_call = 0;           // CNV no-call records without SVTYPE (CNV donating the header)
    std::uint64_t outside_catalog = 0;   // repeat records on no catalog locus
    std::uint64_t header_only = 0;       // records of an input left out as having nothing to add
    std::uint64_t no_column_header = 0;  // records of an appended input before or without its #CHROM line
    bool left_out = false;               // given, but nothing to add
};

struct RunStats {
    std::string version;                 // of the package that made the run
    std::optional<std::string> command;  // the command line, when a command made it
    unifier::KindTable<InputStats> inputs;
    unifier::RecordTally output;  // what the unified file holds
    double read_seconds = 0;
    double filter_seconds = 0;
    double unify_seconds = 0;
    compression::StageSeconds written;  // sort, compress, index
};

// Once the unified file is written: each input as given, what reading saw
// of it (`read`), what the writer kept, and why the rest was left out.
void settle_inputs(RunStats& stats, const unifier::StructFiles& given,
                   const unifier::KindTable<unifier::ReadCounts>& read, const unifier::FilesLines& files);

// The statistics as one JSON document (indented by two, ASCII only, a
// byte that is no UTF-8 escaped as the host's file names decode it), with
// `output_path` the compressed file written, if any.
std::string stats_json(const RunStats& stats, const std::optional<std::string>& output_path);

// The statistics file and MultiQC's custom-content files beside it (none
// beside a device or FIFO): <stats_path less .json>.<section>_mqc.json.
std::vector<std::string> stats_paths(const std::string& stats_path);
// Their documents, in that order: a row of the cohort's table and a bar of
// each plot for `sample`. MultiQC joins the files of every sample that
// share an id into one section.
std::vector<std::string> multiqc_documents(const RunStats& stats, const std::string& sample);

}  // namespace merivane::cli
