// What the `merivane` command decides on its own, apart from parsing.
#pragma once

#include <string>

namespace merivane::cli {

// Where the command puts the catalog-filtered repeat VCF unless told: in the
// output's directory, under the name the repeat filter would give it beside
// its input. The input's folder may be read-only (a shared run folder); the
// output's folder is the one place the command is known to write.
std::string filtered_repeats_beside_output(const std::string& output_path, const std::string& full_repeat_path);

}  // namespace merivane::cli
