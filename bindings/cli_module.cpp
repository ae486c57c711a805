// Merivane.cli: one front door per pipeline and the command lines that call
// them; the installed commands' entry points hand over to Merivane._command.
// A door runs in the core unless a caller has replaced a function it calls;
// then the same steps run through the module's attributes.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "cli/front_doors.hpp"
#include "platform/atomic_output.hpp"
#include "repeats/repeat_filter.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace merivane::binding;

namespace {

namespace cli = merivane::cli;
namespace unifier = merivane::unifier;

ModuleFunctions* registry = nullptr;

py::object unify_entry(py::object struct_files, py::object output_path, py::object options, py::object merge_headers,
                       py::object threads, py::object compresslevel, py::object index, py::object sort_order,
                       py::object sample, py::object header_lines, py::object stats, py::object command) {
    const RunKeywords keywords(merge_headers, threads, compresslevel, index, sort_order, sample, header_lines, stats,
                               command);
    const unifier::StructFiles files = merivane::binding::struct_files(struct_files);
    const std::string output = path_text(output_path, "output_path");
    return keywords.unify(*registry, "_unify", files, output, struct_files, output_path, options);
}

enum class Door { Dragen, Ont, Pacbio };

// A door over its paths and its one option of the pipeline's (roh_bed_path,
// modify_repeats or drop_sv_filters): in the core, which refuses colliding
// outputs itself, while `_unify` is the one loaded, else through `_unify`.
template <Door door>
py::object unify_door(py::object output_path, py::object sv_path, py::object cnv_path, py::object repeat_path,
                      py::object option, py::object merge_headers, py::object threads, py::object compresslevel,
                      py::object index, py::object sort_order, py::object sample, py::object header_lines,
                      py::object stats, py::object command) {
    const RunKeywords keywords(merge_headers, threads, compresslevel, index, sort_order, sample, header_lines, stats,
                               command);
    const unifier::KindTable<py::handle> paths = {sv_path, cnv_path, repeat_path,
                                                  door == Door::Dragen ? option : py::none()};
    const std::string output = path_text(output_path, "output_path");
    const unifier::StructFiles files = struct_files(paths);
    unifier::UnifyOptions options;
    py::dict fields;
    if constexpr (door == Door::Ont) {
        options = cli::ont_options(tri_state(option));
        fields["add_repeat_svtype"] = option;
    } else if constexpr (door == Door::Pacbio) {
        const py::tuple tokens = filter_token_tuple(option, "drop_sv_filters");
        options = cli::pacbio_options(filter_tokens(tokens, "drop_sv_filters"));
        fields["drop_sv_filters"] = tokens;
    }
    if (registry->intact("_unify")) {
        return keywords.run([&] { return cli::unify(files, output, options, keywords.settings()); });
    }
    cli::check_plan({files, output, options, {}, std::nullopt});
    return registry->attr("_unify")(struct_files_dict(paths), output_path, registry->attr("UnifyOptions")(**fields),
                                    **keywords.changed());
}

py::object pacbio_filter_and_unify(py::object output_path, py::object sv_path, py::object cnv_path,
                                   py::object full_repeat_path, py::object repeat_bed_file_path,
                                   py::object drop_sv_filters, py::object filtered_repeat_path,
                                   py::object merge_headers, py::object threads, py::object compresslevel,
                                   py::object index, py::object sort_order, py::object require_catalog_chromosomes,
                                   py::object sample, py::object header_lines, py::object stats, py::object command) {
    const RunKeywords keywords(merge_headers, threads, compresslevel, index, sort_order, sample, header_lines, stats,
                               command);
    const std::string output = path_text(output_path, "output_path");
    const auto sv = optional<path_text>(sv_path, "sv_path");
    const auto cnv = optional<path_text>(cnv_path, "cnv_path");
    const auto full = optional<path_text>(full_repeat_path, "full_repeat_path");
    const auto bed = optional<path_text>(repeat_bed_file_path, "repeat_bed_file_path");
    const auto filtered_path = optional<path_text>(filtered_repeat_path, "filtered_repeat_path");
    std::vector<std::string> tokens = filter_tokens(filter_token_tuple(drop_sv_filters, "drop_sv_filters"),
                                                    "drop_sv_filters");
    const bool required = truthy(require_catalog_chromosomes);
    if (registry->intact("filter_repeats_vcf") && registry->intact("pacbio_unify")) {
        return keywords.run([&] {
            return cli::run(cli::pacbio_plan(output, sv, cnv, full, bed, std::move(tokens), filtered_path,
                                             keywords.settings(), required));
        });
    }
    cli::check_plan(cli::pacbio_plan(output, sv, cnv, full, bed, {}, filtered_path));
    // The filter's own default output unless the caller named one.
    py::dict filter_keywords;
    if (filtered_path) filter_keywords["output_path"] = filtered_repeat_path;
    if (required) filter_keywords["require_catalog_chromosomes"] = true;
    const py::object filtered =
        registry->attr("filter_repeats_vcf")(full_repeat_path, repeat_bed_file_path, **filter_keywords);
    return registry->attr("pacbio_unify")("output_path"_a = output_path, "sv_path"_a = sv_path, "cnv_path"_a = cnv_path,
                                       "repeat_path"_a = filtered, "drop_sv_filters"_a = drop_sv_filters,
                                       **keywords.changed());
}

// The names another module gives this one, bound at load time: a failing
// import makes this module fail to load.
void import_names(py::module_ m) {
    const py::module_ unifier_module = py::module_::import("Merivane.unifier");
    for (const char* name : {"SV", "CNV", "REPEATS", "ROH", "UnifyOptions"}) m.attr(name) = unifier_module.attr(name);
    for (const char* name : {"read_struct_lines", "unify_lines", "sort_and_compress"}) {
        registry->import_from(ModuleFunctions::of(unifier_module), name);
    }
    registry->import_from(ModuleFunctions::of(py::module_::import("Merivane.repeats")), "filter_repeats_vcf");
    // The doors' warnings about an input the caller did not give, and the one
    // for a run with nothing to unify, which its error line repeats.
    m.attr("_NOT_GIVEN_WARNINGS") = py::make_tuple(unifier::kInputMissing, merivane::repeats::kFullRepeatsNotGiven,
                                                   unifier::kNothingToUnify);
}

void define_doors(py::module_ m) {
    registry->def(&unify_entry,
                  doc("_unify(struct_files: dict, output_path: str, options: UnifyOptions, *, " + kDoorSignature,
                      "Read, unify, sort and compress; the compressed file's path, or None when nothing was unified.",
                      kDoorKeywordsDoc),
                  {"read_struct_lines", "unify_lines", "sort_and_compress"});
    const std::string paths = "(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, ";
    // The three unify_door doors differ in their one option of the pipeline's.
    const auto door_doc = [&paths](const char* name, const char* option, const char* summary) {
        return doc(name + paths + "repeat_path: Optional[str] = None, " + option + ", *, " + kDoorSignature, summary,
                   kDoorKeywordsDoc);
    };
    define(m, &unify_door<Door::Dragen>,
           door_doc("dragen_unify", "roh_bed_path: Optional[str] = None",
                    "Unify a DRAGEN run's SV, CNV, repeat and ROH outputs into one sorted, bgzipped VCF."));
    define(m, &unify_door<Door::Ont>,
           door_doc("ont_unify", "modify_repeats: Optional[bool] = None",
                    "Unify an Oxford Nanopore run's SV, CNV and repeat outputs into one sorted, bgzipped VCF."));
    registry->def(
        &unify_door<Door::Pacbio>,
        door_doc("pacbio_unify", "drop_sv_filters: Sequence[str] = ()",
                 "Unify a PacBio run's SV, CNV and catalog-filtered repeat outputs into one sorted, bgzipped VCF."),
        {"_unify"});
    // The door's keywords, with the filter's own among them.
    std::string filter_signature = "filtered_repeat_path: Optional[str] = None, " + kDoorSignature;
    filter_signature.insert(filter_signature.find("sample: "), "require_catalog_chromosomes: bool = False, ");
    define(m, &pacbio_filter_and_unify,
           doc("pacbio_filter_and_unify" + paths +
                   "full_repeat_path: Optional[str] = None, "
                   "repeat_bed_file_path: Optional[str] = None, drop_sv_filters: Sequence[str] = (), *, " +
                   filter_signature,
               "Restrict the full PacBio repeat VCF to the catalog, then unify as pacbio_unify does.",
               "filtered_repeat_path: where the filtered repeat VCF is written (and left); by default\n"
               "beside full_repeat_path, its name ending in _filtered.vcf.\n" + kDoorKeywordsDoc +
               "\nrequire_catalog_chromosomes: raise ValueError, before anything is written, when the repeat VCF has\n"
               "records and none lies on a chromosome the catalog names (by default a WARNING, and no repeat call);\n"
               "then a repeat VCF or catalog that names no file is an error, and so is a catalog line that is no\n"
               "interval."));
}

// The command lines are built and run by Merivane._command, its `target`
// looked up at call time and given `leading`, then the one argument.
auto command(std::string target, py::tuple leading = py::tuple()) {
    return [target = std::move(target), leading](py::object argument) {
        return py::module_::import("Merivane._command").attr(target.c_str())(*(leading + py::make_tuple(argument)));
    };
}

void define_commands(py::module_ m) {
    define(m, command("add_common_arguments"),
           doc("_add_common_arguments(parser: argparse.ArgumentParser) -> None",
               "Add the options every pipeline's command line shares: -o, -s and -c."));
    const auto define_command = [&](const std::string& name, const char* returns, const std::string& summary,
                                    auto&& run) {
        define(m, run, doc(name + "(argv: Optional[Sequence[str]] = None) -> " + returns, summary.c_str()));
    };
    define_command("_main", "int",
                   "The merivane command: its exit status (argparse exits by itself on a usage error or --help).",
                   command("main"));
    using Pipeline = std::pair<const char*, const char*>;
    for (const auto& [pipeline, title] : {Pipeline{"dragen", "DRAGEN"}, Pipeline{"ont", "Oxford Nanopore"},
                                          Pipeline{"pacbio", "PacBio"}}) {
        const std::string from_cli = std::string(pipeline) + "_from_cli";
        define_command(from_cli, "None", std::string("Command line of the ") + title + " pipeline.", command(from_cli));
        define_command(std::string("_") + pipeline + "_command", "int",
                       std::string("The merivane-") + pipeline + " command: " + from_cli +
                           " with messages on standard error and a one-line error; its exit status.",
                       command("installed_command", py::make_tuple(std::string("merivane-") + pipeline, from_cli)));
    }
}

}  // namespace

PYBIND11_MODULE(cli, m) {
    const ModuleSetup setup(m, "Front doors for the DRAGEN, Oxford Nanopore and PacBio pipelines, and their command "
                               "lines.");
    registry = &ModuleFunctions::create(m);
    import_names(m);
    // Whether an output path names a stream to write into (the command then
    // gives it the compressed VCF) rather than a file to put in place.
    define(m, [](py::handle path) { return merivane::written_in_place(path_text(path, "path")); },
           doc("_written_in_place(path: str) -> bool",
               "Whether a file put at path would be written into what is there."));
    define(
        m,
        [](py::handle full, py::handle output, py::handle stream) {
            return to_path_str(cli::command_filtered_path(path_text(full, "full_repeat_path"),
                                                          path_text(output, "output_path"), truthy(stream)));
        },
        doc("_filtered_repeat_path_for(full_repeat_path: str, output_path: str, stream: bool) -> str",
            "Where the merivane command keeps the filtered repeat VCF unless told: beside the output."));
    define_doors(m);
    define_commands(m);
}
