#include "unifier/pipeline.hpp"

#include "compression/sort_and_compress.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/strings.hpp"
#include "unifier/reading.hpp"
#include "unifier/text.hpp"
#include "unifier/writer.hpp"

namespace merivane::unifier {

namespace {

// The writer sees lines, not files: its notes name an input by kind ("in the
// roh input, line 3"). Here the file is known, so the note is followed by
// which file that is.
void name_the_input_file(Error& error, const StructFiles& struct_files) {
    for (const InputKind kind : kFileTypes) {
        const auto& path = struct_files[kind_index(kind)];
        if (!path) continue;
        const std::string named = "in the " + std::string(kind_name(kind)) + " input,";
        for (const std::string& note : error.notes()) {
            if (note.rfind(named, 0) == 0) {
                error.add_note("the " + std::string(kind_name(kind)) + " input is " + *path);
                return;
            }
        }
    }
}

}  // namespace

std::optional<std::string> unify_and_compress(const StructFiles& struct_files, const std::string& output_path,
                                              const UnifyOptions& options, const OutputSettings& settings) {
    std::optional<std::string> unified;
    {
        // The inputs are released before sorting, which holds the unified
        // file's lines in memory in turn.
        const FilesLines files = read_struct_lines(struct_files, options);
        try {
            unified = unify_lines(table_of(files), output_path, options, {}, settings.merge_headers);
        } catch (Error& error) {
            name_the_input_file(error, struct_files);
            throw;
        }
    }
    if (!unified) return std::nullopt;
    return compression::sort_and_compress(*unified, std::nullopt, false, std::nullopt, settings.compression);
}

void reject_outputs_naming_inputs(const std::string& output_path, const std::vector<std::string>& input_paths) {
    for (const std::string& output : {output_path, output_path + ".gz", output_path + ".sorted.tmp"}) {
        for (const std::string& input : input_paths) {
            if (same_file(output, input)) {
                throw ValueError("The output file " + quoted(output) + " would replace the input file " +
                                 quoted(input) + "; choose another output_path");
            }
        }
    }
}

}  // namespace merivane::unifier
