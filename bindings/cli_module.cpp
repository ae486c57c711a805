// Merivane.cli: one front door per pipeline and the command lines that call
// them. The doors run entirely in the core unless a caller has replaced one of
// the functions they call (a patched module attribute); then the same steps
// run through the module's attributes, so the replacement is honoured.
#include <pybind11/pybind11.h>

#include "cli/front_doors.hpp"
#include "cli_commands.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using merivane::binding::changed_keywords;
using merivane::binding::is_original;
using merivane::binding::output_settings;
using merivane::binding::optional_text;
using merivane::binding::optional_text_list;
using merivane::binding::reject_lone_text;
using merivane::binding::require_text;
using merivane::binding::text_list;
using merivane::binding::tri_state;

namespace {

namespace cli = merivane::cli;
namespace unifier = merivane::unifier;

// The functions the doors reach, directly or through the modules they call,
// as they were when this module was loaded. Never freed: they live as long
// as the interpreter.
struct Originals {
    py::module_ cli;
    py::module_ unifier;
    py::module_ compression;
    py::module_ repeats;
    std::vector<std::pair<py::module_*, std::pair<std::string, py::object>>> watched;
    // Door helpers of this module itself, which a door calls by name.
    py::object unify;
    py::object pacbio_unify;

    void watch(py::module_& module, const char* name) {
        watched.push_back({&module, {name, module.attr(name)}});
    }

    bool untouched() const {
        for (const auto& [module, entry] : watched) {
            if (!is_original(*module, entry.first.c_str(), entry.second)) return false;
        }
        return true;
    }

    bool door_untouched() const { return untouched() && is_original(cli, "_unify", unify); }
};

Originals* originals = nullptr;

// FILTER tokens: a sequence of texts. A text on its own is refused rather
// than read one character per token.
std::vector<std::string> tokens_arg(py::handle tokens) {
    return text_list(tokens, "drop_sv_filters", "drop_sv_filters item");
}

// A UnifyOptions (or any object with its three fields) as core options, read
// as the unifier reads them: no FILTER tokens where the field is false.
unifier::UnifyOptions core_options(py::handle options) {
    unifier::UnifyOptions out;
    out.add_repeat_svtype = tri_state(options.attr("add_repeat_svtype"));
    out.roh_format = require_text(options.attr("roh_format"), "roh_format");
    out.drop_sv_filters =
        optional_text_list(options.attr("drop_sv_filters"), "drop_sv_filters", "drop_sv_filters item");
    return out;
}

unifier::StructFiles core_struct_files(py::handle struct_files) {
    unifier::StructFiles files;
    const py::dict mapping = py::reinterpret_borrow<py::dict>(struct_files);
    for (const auto kind : unifier::kFileTypes) {
        const std::string key(unifier::kind_name(kind));
        if (mapping.contains(key.c_str())) {
            files[static_cast<std::size_t>(kind)] = optional_text(mapping[key.c_str()], "struct_files value");
        }
    }
    return files;
}

py::object to_python(const std::optional<std::string>& path) {
    if (!path) return py::none();
    return py::str(*path);
}


// The mapping a door hands to `_unify`, keyed by the kind texts.
py::dict struct_files_dict(const unifier::StructFiles& files) {
    py::dict out;
    for (const auto kind : unifier::kFileTypes) {
        out[py::str(std::string(unifier::kind_name(kind)))] = to_python(files[static_cast<std::size_t>(kind)]);
    }
    return out;
}

py::object unify_through_module(py::handle struct_files, py::handle output_path, py::handle options,
                                const unifier::OutputSettings& settings) {
    py::module_& m = originals->cli;
    py::object files_lines = m.attr("read_struct_lines")(struct_files, options);
    py::dict merge;
    if (settings.merge_headers) merge["merge_headers"] = true;
    py::object unified = m.attr("unify_lines")(files_lines, output_path, options, **merge);
    if (unified.is_none()) return py::none();
    return m.attr("sort_and_compress")(unified, **changed_keywords(settings.compression));
}

py::object unify_entry(py::object struct_files, py::object output_path, py::object options, py::object merge_headers,
                       py::object threads, py::object compresslevel, py::object index) {
    const unifier::OutputSettings settings = output_settings(merge_headers, threads, compresslevel, index);
    const unifier::StructFiles files = core_struct_files(struct_files);
    const std::string output = require_text(output_path, "output_path");
    // The core path refuses outputs that name an input itself.
    if (originals->untouched()) return to_python(cli::unify(files, output, core_options(options), settings));
    cli::reject_outputs_naming_inputs(files, output);
    return unify_through_module(struct_files, output_path, options, settings);
}

// Runs a door: in the core when nothing it calls was replaced, else through
// `_unify` and the options record as the module has them now.
template <typename CoreDoor>
py::object run_door(const unifier::StructFiles& files, const std::string& output_path, py::object python_options,
                    const unifier::OutputSettings& settings, CoreDoor core_door) {
    if (originals->door_untouched()) return to_python(core_door());  // refuses colliding outputs itself
    cli::reject_outputs_naming_inputs(files, output_path);
    return originals->cli.attr("_unify")(struct_files_dict(files), py::str(output_path), python_options,
                                         **changed_keywords(settings));
}

py::object dragen_unify(py::object output_path, py::object sv_path, py::object cnv_path, py::object repeat_path,
                        py::object roh_bed_path, py::object merge_headers, py::object threads,
                        py::object compresslevel, py::object index) {
    const unifier::OutputSettings settings = output_settings(merge_headers, threads, compresslevel, index);
    const std::string output = require_text(output_path, "output_path");
    const auto files = cli::dragen_inputs(optional_text(sv_path, "sv_path"), optional_text(cnv_path, "cnv_path"),
                                          optional_text(repeat_path, "repeat_path"), optional_text(roh_bed_path, "roh_bed_path"));
    return run_door(files, output, originals->cli.attr("UnifyOptions")(), settings,
                    [&] { return cli::unify(files, output, unifier::UnifyOptions{}, settings); });
}

py::object ont_unify(py::object output_path, py::object sv_path, py::object cnv_path, py::object repeat_path,
                     py::object modify_repeats, py::object merge_headers, py::object threads, py::object compresslevel,
                     py::object index) {
    const unifier::OutputSettings settings = output_settings(merge_headers, threads, compresslevel, index);
    const std::string output = require_text(output_path, "output_path");
    const auto files = cli::long_read_inputs(optional_text(sv_path, "sv_path"), optional_text(cnv_path, "cnv_path"),
                                             optional_text(repeat_path, "repeat_path"));
    const std::optional<bool> modify = tri_state(modify_repeats);
    return run_door(files, output, originals->cli.attr("UnifyOptions")("add_repeat_svtype"_a = modify_repeats),
                    settings, [&] { return cli::unify(files, output, cli::ont_options(modify), settings); });
}

py::object pacbio_unify(py::object output_path, py::object sv_path, py::object cnv_path, py::object repeat_path,
                        py::object drop_sv_filters, py::object merge_headers, py::object threads,
                        py::object compresslevel, py::object index) {
    const unifier::OutputSettings settings = output_settings(merge_headers, threads, compresslevel, index);
    const std::string output = require_text(output_path, "output_path");
    const auto files = cli::long_read_inputs(optional_text(sv_path, "sv_path"), optional_text(cnv_path, "cnv_path"),
                                             optional_text(repeat_path, "repeat_path"));
    // A lone text is refused before it could be split into characters.
    reject_lone_text(drop_sv_filters, "drop_sv_filters");
    py::tuple tokens = py::isinstance<py::tuple>(drop_sv_filters) ? py::reinterpret_borrow<py::tuple>(drop_sv_filters)
                                                                    : py::tuple(drop_sv_filters);
    std::vector<std::string> token_texts = tokens_arg(tokens);
    return run_door(files, output, originals->cli.attr("UnifyOptions")("drop_sv_filters"_a = tokens), settings,
                    [&] { return cli::unify(files, output, cli::pacbio_options(std::move(token_texts)), settings); });
}

py::object pacbio_filter_and_unify(py::object output_path, py::object sv_path, py::object cnv_path,
                                   py::object full_repeat_path, py::object repeat_bed_file_path,
                                   py::object drop_sv_filters, py::object filtered_repeat_path,
                                   py::object merge_headers, py::object threads, py::object compresslevel,
                                   py::object index) {
    const unifier::OutputSettings settings = output_settings(merge_headers, threads, compresslevel, index);
    const auto filtered_path = optional_text(filtered_repeat_path, "filtered_repeat_path");
    const std::string output = require_text(output_path, "output_path");
    const auto sv = optional_text(sv_path, "sv_path");
    const auto cnv = optional_text(cnv_path, "cnv_path");
    const auto full = optional_text(full_repeat_path, "full_repeat_path");
    const auto bed = optional_text(repeat_bed_file_path, "repeat_bed_file_path");
    py::module_& m = originals->cli;
    if (originals->door_untouched() && is_original(m, "pacbio_unify", originals->pacbio_unify)) {
        return to_python(cli::pacbio_filter_and_unify(output, sv, cnv, full, bed, tokens_arg(drop_sv_filters),
                                                      filtered_path, settings));
    }
    cli::reject_pacbio_run_collisions(output, sv, cnv, full, bed, filtered_path);
    // The filter's own default output unless the caller named one.
    py::dict filter_keywords;
    if (filtered_path) filter_keywords["output_path"] = filtered_repeat_path;
    py::object filtered = m.attr("filter_repeats_vcf")(full_repeat_path, repeat_bed_file_path, **filter_keywords);
    return m.attr("pacbio_unify")("output_path"_a = output_path, "sv_path"_a = sv_path, "cnv_path"_a = cnv_path,
                                  "repeat_path"_a = filtered, "drop_sv_filters"_a = drop_sv_filters,
                                  **changed_keywords(settings));
}

// ---- command lines ----------------------------------------------------------

py::object new_parser(const char* description) {
    return py::module_::import("argparse").attr("ArgumentParser")("description"_a = description);
}

void add_common_arguments(py::object parser) {
    parser.attr("add_argument")("-o", "--outputPath", "required"_a = true,
                                "help"_a = "the unified output VCF path (required)");
    parser.attr("add_argument")("-s", "--svPath", "required"_a = false, "default"_a = py::none(),
                                "help"_a = "SV input file path (optional)");
    parser.attr("add_argument")("-c", "--cnvPath", "required"_a = false, "default"_a = py::none(),
                                "help"_a = "CNV input file path (optional)");
}

void add_path_option(py::object& parser, const char* short_flag, const char* long_flag, const char* help) {
    parser.attr("add_argument")(short_flag, long_flag, "required"_a = false, "default"_a = py::none(), "help"_a = help);
}

py::object parse(py::object& parser, py::object argv) { return parser.attr("parse_args")(argv); }

py::object dragen_from_cli(py::object argv) {
    py::module_& m = originals->cli;
    py::object parser = new_parser("Unify DRAGEN structural vcf files");
    m.attr("_add_common_arguments")(parser);
    add_path_option(parser, "-r", "--repeatPath", "repeats input file path (optional)");
    add_path_option(parser, "-d", "--roh", "ROH bed file (optional)");
    py::object args = parse(parser, argv);
    m.attr("dragen_unify")("output_path"_a = args.attr("outputPath"), "sv_path"_a = args.attr("svPath"),
                           "cnv_path"_a = args.attr("cnvPath"), "repeat_path"_a = args.attr("repeatPath"),
                           "roh_bed_path"_a = args.attr("roh"));
    return py::none();
}

py::object ont_from_cli(py::object argv) {
    py::module_& m = originals->cli;
    py::object parser = new_parser("Unify Oxford Nanopore structural vcf files");
    m.attr("_add_common_arguments")(parser);
    add_path_option(parser, "-r", "--repeatPath", "repeats input file path (optional)");
    parser.attr("add_argument")(
        "-modify", "action"_a = "store_true", "required"_a = false, "default"_a = py::none(),
        "help"_a = "force ;SVTYPE=REP onto every repeat call. No longer needed: a repeat call that carries no "
                   "SVTYPE is marked either way");
    py::object args = parse(parser, argv);
    m.attr("ont_unify")("output_path"_a = args.attr("outputPath"), "sv_path"_a = args.attr("svPath"),
                        "cnv_path"_a = args.attr("cnvPath"), "repeat_path"_a = args.attr("repeatPath"),
                        "modify_repeats"_a = args.attr("modify"));
    return py::none();
}

py::object pacbio_from_cli(py::object argv) {
    py::module_& m = originals->cli;
    py::object parser =
        new_parser("Filter PacBio repeats file with pre-defined bed file and unify structural vcf files");
    m.attr("_add_common_arguments")(parser);
    add_path_option(parser, "-r", "--fullRepeatPath", "Full repeats input file path (optional)");
    add_path_option(parser, "-b", "--repeatLocationsBedFilePath", "Repeats filtering bed file path (optional)");
    py::object args = parse(parser, argv);
    m.attr("pacbio_filter_and_unify")("output_path"_a = args.attr("outputPath"), "sv_path"_a = args.attr("svPath"),
                                      "cnv_path"_a = args.attr("cnvPath"),
                                      "full_repeat_path"_a = args.attr("fullRepeatPath"),
                                      "repeat_bed_file_path"_a = args.attr("repeatLocationsBedFilePath"));
    return py::none();
}

}  // namespace

PYBIND11_MODULE(cli, m) {
    py::options options;
    options.disable_function_signatures();
    merivane::binding::init_module(m);
    m.doc() = "Front doors for the DRAGEN, Oxford Nanopore and PacBio pipelines, and their command lines.";

    // Names bound at load time; a failing import makes this module fail to load.
    py::module_ unifier_module = py::module_::import("Merivane.unifier");
    for (const char* name : {"SV", "CNV", "REPEATS", "ROH", "UnifyOptions", "read_struct_lines", "unify_lines",
                             "sort_and_compress"}) {
        m.attr(name) = unifier_module.attr(name);
    }
    py::module_ repeats_module = py::module_::import("Merivane.repeats");
    m.attr("filter_repeats_vcf") = repeats_module.attr("filter_repeats_vcf");

    using merivane::binding::doc;
    using merivane::binding::kOutputKeywordsDoc;
#define OUTPUT_KEYWORDS                                                                                   \
    py::kw_only(), py::arg("merge_headers") = false, py::arg("threads") = 1, py::arg("compresslevel") = 9, \
        py::arg("index") = py::none()
    m.def("_unify", &unify_entry,
          doc("_unify(struct_files: dict, output_path: str, options: UnifyOptions, *, merge_headers: bool = False, "
              "threads: int = 1, compresslevel: int = 9, index: Optional[str] = None) -> Optional[str]",
              "Read, unify, sort and compress; the compressed file's path, or None when nothing was unified.",
              kOutputKeywordsDoc)
              .c_str(),
          py::arg("struct_files"), py::arg("output_path"), py::arg("options"), OUTPUT_KEYWORDS);
    m.def("dragen_unify", &dragen_unify,
          doc("dragen_unify(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, "
              "repeat_path: Optional[str] = None, roh_bed_path: Optional[str] = None, *, "
              "merge_headers: bool = False, threads: int = 1, compresslevel: int = 9, index: Optional[str] = None) "
              "-> Optional[str]",
              "Unify a DRAGEN run's SV, CNV, repeat and ROH outputs into one sorted, bgzipped VCF.",
              kOutputKeywordsDoc)
              .c_str(),
          py::arg("output_path"), py::arg("sv_path") = py::none(), py::arg("cnv_path") = py::none(),
          py::arg("repeat_path") = py::none(), py::arg("roh_bed_path") = py::none(), OUTPUT_KEYWORDS);
    m.def("ont_unify", &ont_unify,
          doc("ont_unify(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, "
              "repeat_path: Optional[str] = None, modify_repeats: Optional[bool] = None, *, "
              "merge_headers: bool = False, threads: int = 1, compresslevel: int = 9, index: Optional[str] = None) "
              "-> Optional[str]",
              "Unify an Oxford Nanopore run's SV, CNV and repeat outputs into one sorted, bgzipped VCF.",
              kOutputKeywordsDoc)
              .c_str(),
          py::arg("output_path"), py::arg("sv_path") = py::none(), py::arg("cnv_path") = py::none(),
          py::arg("repeat_path") = py::none(), py::arg("modify_repeats") = py::none(), OUTPUT_KEYWORDS);
    m.def("pacbio_unify", &pacbio_unify,
          doc("pacbio_unify(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, "
              "repeat_path: Optional[str] = None, drop_sv_filters: Sequence[str] = (), *, "
              "merge_headers: bool = False, threads: int = 1, compresslevel: int = 9, index: Optional[str] = None) "
              "-> Optional[str]",
              "Unify a PacBio run's SV, CNV and catalog-filtered repeat outputs into one sorted, bgzipped VCF.",
              kOutputKeywordsDoc)
              .c_str(),
          py::arg("output_path"), py::arg("sv_path") = py::none(), py::arg("cnv_path") = py::none(),
          py::arg("repeat_path") = py::none(), py::arg("drop_sv_filters") = py::tuple(), OUTPUT_KEYWORDS);
    m.def("pacbio_filter_and_unify", &pacbio_filter_and_unify,
          doc("pacbio_filter_and_unify(output_path: str, sv_path: Optional[str] = None, "
              "cnv_path: Optional[str] = None, full_repeat_path: Optional[str] = None, "
              "repeat_bed_file_path: Optional[str] = None, drop_sv_filters: Sequence[str] = (), *, "
              "filtered_repeat_path: Optional[str] = None, merge_headers: bool = False, threads: int = 1, "
              "compresslevel: int = 9, index: Optional[str] = None) -> Optional[str]",
              "Restrict the full PacBio repeat VCF to the catalog, then unify as pacbio_unify does.",
              (std::string("filtered_repeat_path: where the filtered repeat VCF is written (and left); by default\n"
                           "beside full_repeat_path, its name ending in _filtered.vcf.\n") +
               kOutputKeywordsDoc)
                  .c_str())
              .c_str(),
          py::arg("output_path"), py::arg("sv_path") = py::none(), py::arg("cnv_path") = py::none(),
          py::arg("full_repeat_path") = py::none(), py::arg("repeat_bed_file_path") = py::none(),
          py::arg("drop_sv_filters") = py::tuple(), py::kw_only(), py::arg("filtered_repeat_path") = py::none(),
          py::arg("merge_headers") = false, py::arg("threads") = 1, py::arg("compresslevel") = 9,
          py::arg("index") = py::none());

    m.def("_add_common_arguments", &add_common_arguments,
          doc("_add_common_arguments(parser: argparse.ArgumentParser) -> None",
              "Add the options every pipeline's command line shares: -o, -s and -c.")
              .c_str(),
          py::arg("parser"));
    m.def("dragen_from_cli", &dragen_from_cli,
          doc("dragen_from_cli(argv: Optional[Sequence[str]] = None) -> None",
              "Command line of the DRAGEN pipeline.")
              .c_str(),
          py::arg("argv") = py::none());
    m.def("ont_from_cli", &ont_from_cli,
          doc("ont_from_cli(argv: Optional[Sequence[str]] = None) -> None",
              "Command line of the Oxford Nanopore pipeline.")
              .c_str(),
          py::arg("argv") = py::none());
    m.def("pacbio_from_cli", &pacbio_from_cli,
          doc("pacbio_from_cli(argv: Optional[Sequence[str]] = None) -> None",
              "Command line of the PacBio pipeline.")
              .c_str(),
          py::arg("argv") = py::none());

    merivane::binding::add_commands(m);

    originals = new Originals{m, unifier_module, py::module_::import("Merivane.compression"), repeats_module, {}, {}, {}};
    originals->unify = m.attr("_unify");
    originals->pacbio_unify = m.attr("pacbio_unify");
    for (const char* name : {"read_struct_lines", "unify_lines", "sort_and_compress", "filter_repeats_vcf"}) {
        originals->watch(originals->cli, name);
    }
    for (const char* name : {"get_lines", "is_empty", "drop_sv_records_by_filter", "vcf_header_from_lines",
                             "is_valid_line", "_marked_repeat_line", "_repeat_line_needs_svtype",
                             "modify_repeat_line", "_roh_lines_are_bed", "roh_bed_line_to_vcf",
                             "_write_vcf_content"}) {
        originals->watch(originals->unifier, name);
    }
    for (const char* name : {"gnu_sort_available", "_gnu_sort_path", "sort_vcf_lines", "write_bgzf"}) {
        originals->watch(originals->compression, name);
    }
    for (const char* name : {"bedtools_available", "_intersect_with_bedtools", "_intersect_in_python",
                             "_filtered_repeat_path"}) {
        originals->watch(originals->repeats, name);
    }
}
