// The whole job in one call: read the inputs, unify them, sort and compress.
// Shared by `run` and the command-line front doors.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "compression/settings.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

// Input kind -> optional path, indexed by kind_index (also in vocabulary.hpp).
using StructFiles = std::array<std::optional<std::string>, 4>;

// How the unified file is written: its header, and how it is compressed.
// The defaults give the long-standing output.
struct OutputSettings {
    bool merge_headers = false;
    compression::CompressionSettings compression;
};

// Reads `struct_files`, writes the unified file at `output_path`, lets go of
// the input lines, then sorts and BGZF-compresses that file (which it
// removes) and returns the ".gz" path; nullopt when nothing could donate a
// header, in which case the empty unified file stays and nothing is sorted.
std::optional<std::string> unify_and_compress(const StructFiles& struct_files, const std::string& output_path,
                                              const UnifyOptions& options, const OutputSettings& settings = {});

// ValueError, before anything is written, when the unified file, the
// compressed file or the sorting step's temporary file would be one of the
// inputs: the unified file would overwrite it and compression remove it.
void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths);

}  // namespace merivane::unifier
