#include "cli_commands.hpp"

#include <csignal>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace merivane::binding {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
// What a shell reports for a process ended by SIGINT.
constexpr int kExitInterrupted = 130;

// Logging levels, as the host's logging module numbers them.
constexpr int kDebug = 10;
constexpr int kInfo = 20;
constexpr int kWarning = 30;

py::module_ cli_module() { return py::module_::import("Merivane.cli"); }

py::object standard_stream(const char* name) { return py::module_::import("sys").attr(name); }

void print_line(const char* stream, const std::string& text) {
    py::print(text, "file"_a = standard_stream(stream), "flush"_a = true);
}

std::string package_version() {
    py::module_ package = py::module_::import("Merivane");
    if (py::hasattr(package, "__version__")) return py::str(package.attr("__version__"));
    return py::str(py::module_::import("importlib.metadata").attr("version")("Merivane"));
}

// For one command run, messages go to standard error as "merivane: <text>"
// at the given level; the root logger's handlers and level are put back
// afterwards, so a host that calls a command in-process keeps its set-up.
class CommandMessages {
public:
    explicit CommandMessages(int level) {
        py::module_ logging = py::module_::import("logging");
        root_ = logging.attr("getLogger")();
        previous_level_ = root_.attr("level");
        handler_ = logging.attr("StreamHandler")(standard_stream("stderr"));
        handler_.attr("setFormatter")(logging.attr("Formatter")("merivane: %(message)s"));
        root_.attr("addHandler")(handler_);
        root_.attr("setLevel")(level);
    }
    CommandMessages(const CommandMessages&) = delete;
    CommandMessages& operator=(const CommandMessages&) = delete;
    ~CommandMessages() {
        py::error_scope pending;  // an error on its way out survives the clean-up
        try {
            root_.attr("removeHandler")(handler_);
            root_.attr("setLevel")(previous_level_);
        } catch (py::error_already_set&) {
            // Nothing sensible to do about a logger that refuses; the run's
            // own outcome matters more.
        }
    }

private:
    py::object root_;
    py::object handler_;
    py::object previous_level_;
};

std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// The text after "merivane: error: ". A file error reads as the shell's
// tools put it ("<file>: <reason>"); the notes the core attaches (which file,
// which line) follow in brackets.
std::string error_text(const py::error_already_set& error) {
    const py::object exception = error.value();
    std::string text;
    if (error.matches(PyExc_OSError) && !exception.attr("filename").is_none() &&
        !exception.attr("strerror").is_none()) {
        text = py::str(exception.attr("filename"));
        if (!exception.attr("filename2").is_none()) text += " -> " + std::string(py::str(exception.attr("filename2")));
        text += ": " + std::string(py::str(exception.attr("strerror")));
    } else if (error.matches(PyExc_MemoryError)) {
        text = "out of memory";
    } else {
        text = py::str(exception);
        if (text.empty()) text = py::str(py::type::handle_of(exception).attr("__name__"));
    }
    if (py::hasattr(exception, "__notes__")) {
        std::string notes;
        for (const auto note : exception.attr("__notes__")) {
            if (!notes.empty()) notes += "; ";
            notes += py::str(note);
        }
        if (!notes.empty()) text += " (" + notes + ")";
    }
    return one_line(text);
}

// Notes a Ctrl-C during one command run. The terminal sends SIGINT to the
// whole process group, so a child program (sort, bedtools) may die of it and
// its failure reach us first, or the KeyboardInterrupt may be raised while an
// error is being translated and be lost; either way it was the user's
// interrupt. Installed only over the interpreter's default handler, on the
// main thread, and put back afterwards; it raises KeyboardInterrupt as the
// default handler does.
class InterruptWatch {
public:
    InterruptWatch() : seen_(std::make_shared<bool>(false)) {
        py::module_ signal = py::module_::import("signal");
        py::module_ threading = py::module_::import("threading");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
        previous_ = signal.attr("getsignal")(SIGINT);
        if (!previous_.is(signal.attr("default_int_handler"))) return;
        signal.attr("signal")(SIGINT, py::cpp_function([seen = seen_](py::object, py::object) {
                                  *seen = true;
                                  PyErr_SetNone(PyExc_KeyboardInterrupt);
                                  throw py::error_already_set();
                              }));
        installed_ = true;
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;
    ~InterruptWatch() {
        if (!installed_) return;
        py::error_scope pending;
        try {
            py::module_::import("signal").attr("signal")(SIGINT, previous_);
        } catch (py::error_already_set&) {
            // The interpreter is shutting down; nothing left to restore for.
        }
    }
    bool seen() const { return *seen_; }

private:
    std::shared_ptr<bool> seen_;
    py::object previous_;
    bool installed_ = false;
};

// Whether the run ended because of Ctrl-C.
bool interrupted(const py::error_already_set& error, const InterruptWatch& watch) {
    if (watch.seen() || error.matches(PyExc_KeyboardInterrupt)) return true;
    if (PyErr_CheckSignals() != 0) {
        const py::error_already_set pending;
        return pending.matches(PyExc_KeyboardInterrupt);
    }
    const py::object called_process_error = py::module_::import("subprocess").attr("CalledProcessError");
    return error.matches(called_process_error) &&
           py::int_(error.value().attr("returncode")).cast<long>() == -static_cast<long>(SIGINT);
}

// Runs one command's work. A failure becomes one line on standard error and
// an exit status; argparse's own exits (help, usage errors) pass unchanged.
int run_guarded(const std::function<void()>& work, bool show_traceback) {
    const InterruptWatch watch;
    try {
        work();
        return kExitSuccess;
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_SystemExit)) throw;
        // The core removed its partial outputs on the way here.
        if (interrupted(error, watch)) {
            print_line("stderr", "merivane: interrupted");
            return kExitInterrupted;
        }
        if (show_traceback) {
            py::module_::import("traceback")
                .attr("print_exception")(error.type(), error.value(),
                                         error.trace() ? py::object(error.trace()) : py::object(py::none()),
                                         "file"_a = standard_stream("stderr"));
        }
        print_line("stderr", "merivane: error: " + error_text(error));
        return kExitFailure;
    } catch (const std::exception& error) {
        if (watch.seen()) {
            print_line("stderr", "merivane: interrupted");
            return kExitInterrupted;
        }
        print_line("stderr", "merivane: error: " + one_line(error.what()));
        return kExitFailure;
    }
}

py::list argument_list(py::object argv) {
    if (argv.is_none()) return py::list(standard_stream("argv")[py::slice(1, std::nullopt, 1)]);
    return py::list(argv);
}

// ---- the installed per-pipeline commands -----------------------------------

// `entry` is looked up on the module at call time and given `argv` as it
// came: its parser, options and help stay exactly its own.
int installed_command(const char* command, const char* entry, py::object argv) {
    for (const auto argument : argument_list(argv)) {
        if (py::isinstance<py::str>(argument) && py::str(argument).cast<std::string>() == "--version") {
            print_line("stdout", std::string(command) + " " + package_version());
            return kExitSuccess;
        }
    }
    return run_guarded(
        [&] {
            CommandMessages messages(kInfo);
            cli_module().attr(entry)(argv);
        },
        false);
}

// ---- merivane ---------------------------------------------------------------

// argparse `type=` converters: a whole number within [low, high], `range`
// saying which when it is not.
py::cpp_function integer_between(long low, long high, std::string range) {
    return py::cpp_function([low, high, range](py::object text) -> long {
        const auto refuse = [&](const std::string& message) {
            const py::object argument_type_error = py::module_::import("argparse").attr("ArgumentTypeError");
            PyErr_SetObject(argument_type_error.ptr(), py::str(message).ptr());
            throw py::error_already_set();
        };
        const std::string given = py::str(text);
        long value = 0;
        try {
            value = py::int_(py::str(text)).cast<long>();
        } catch (py::error_already_set&) {
            refuse("'" + given + "' is not a whole number");
        } catch (py::cast_error&) {
            refuse("'" + given + "' " + range);  // beyond what a long holds
        }
        if (value < low || value > high) refuse("'" + given + "' " + range);
        return value;
    });
}

struct Pipeline {
    const char* name;
    const char* summary;
    const char* description;
    const char* example;
};

const Pipeline kDragen{
    "dragen", "unify a DRAGEN run: SV, CNV, repeats (ExpansionHunter) and ROH",
    "Unify a DRAGEN run's structural-variant, copy-number, repeat (ExpansionHunter) and runs-of-homozygosity "
    "outputs into one sorted, bgzipped VCF. Every input is optional: one not given, or with no records, is left out with a warning.",
    "example:\n  merivane dragen -o NA12878.vcf -s NA12878.sv.vcf.gz -c NA12878.cnv.vcf.gz \\\n"
    "      -r NA12878.repeats.vcf.gz -d NA12878.roh.bed\n"
    "  prints NA12878.vcf.gz"};
const Pipeline kOnt{
    "ont", "unify an Oxford Nanopore run: SV (Sniffles2), CNV and repeats (Straglr)",
    "Unify an Oxford Nanopore run's structural-variant, copy-number and repeat (Straglr) outputs into one sorted, "
    "bgzipped VCF. Every input is optional: one not given, or with no records, is left out with a warning.",
    "example:\n  merivane ont -o HG002.vcf -s HG002.sniffles.vcf.gz -c HG002.cnv.vcf.gz -r HG002.straglr.vcf.gz\n"
    "  prints HG002.vcf.gz"};
const Pipeline kPacbio{
    "pacbio", "unify a PacBio run: SV (pbsv), CNV and repeats (TRGT, cut down to a locus catalog)",
    "Unify a PacBio run's structural-variant (pbsv), copy-number and repeat (TRGT) outputs into one sorted, "
    "bgzipped VCF. The TRGT VCF covers the whole genome; only its calls at the loci of a catalog are kept "
    "(by default the bundled STRchive disease-locus catalog, hg38). SV records marked InvBreakpoint are left "
    "out unless told otherwise. Every input is optional: one not given, or with no records, is left out with a warning.",
    "example:\n  merivane pacbio -o HG003.vcf -s HG003.pbsv.vcf.gz -r HG003.trgt.vcf.gz --index tbi\n"
    "  prints HG003.vcf.gz and HG003.vcf.gz.tbi; the catalog's repeat calls are kept in\n"
    "  HG003.trgt_filtered.vcf beside the output"};

const char* kMainDescription =
    "Merge one sample's structural-variant (SV), copy-number (CNV), tandem-repeat and runs-of-homozygosity (ROH) "
    "calls into one VCF: one header, sorted by chromosome and position, bgzipped for tabix. Pick the pipeline "
    "the files came from. On success the path of the finished .vcf.gz (and of its index, when asked for) is "
    "printed on standard output; messages go to standard error. The spellings of the merivane-dragen, "
    "merivane-ont and merivane-pacbio commands (--outputPath, --svPath, -modify, ...) are accepted too.";

const char* kMainEpilog =
    "examples:\n"
    "  merivane dragen -o NA12878.vcf -s NA12878.sv.vcf.gz -c NA12878.cnv.vcf.gz -d NA12878.roh.bed\n"
    "  merivane ont    -o HG002.vcf -s HG002.sniffles.vcf.gz -r HG002.straglr.vcf.gz\n"
    "  merivane pacbio -o HG003.vcf -s HG003.pbsv.vcf.gz -r HG003.trgt.vcf.gz --index tbi\n"
    "\n"
    "Run 'merivane PIPELINE --help' for a pipeline's options.";

// The spellings of the per-pipeline commands, accepted by `merivane` as
// aliases of its own: renamed before parsing, so the help lists each option
// once and -o stays required under either name.
struct Alias {
    const char* given;
    const char* meant;
};
constexpr Alias kAliases[] = {
    {"--outputPath", "--output-path"},
    {"--svPath", "--sv-path"},
    {"--cnvPath", "--cnv-path"},
    {"--repeatPath", "--repeat-path"},
    {"--fullRepeatPath", "--full-repeat-path"},
    {"--repeatLocationsBedFilePath", "--catalog"},
    {"-modify", "--modify-repeats"},
};

py::list with_aliases_renamed(py::list arguments) {
    py::list renamed;
    bool options_ended = false;
    for (const auto argument : arguments) {
        if (options_ended || !py::isinstance<py::str>(argument)) {
            renamed.append(argument);
            continue;
        }
        std::string text = py::str(argument);
        if (text == "--") options_ended = true;
        for (const Alias& alias : kAliases) {
            const std::string given = alias.given;
            if (text == given || text.rfind(given + "=", 0) == 0) {
                text = alias.meant + text.substr(given.size());
                break;
            }
        }
        renamed.append(py::str(text));
    }
    return renamed;
}

// Descriptions wrapped as argparse would wrap them; the examples after them
// keep their own lines.
std::string wrapped(const char* text) {
    return py::str(py::module_::import("textwrap").attr("fill")(text, "width"_a = 79));
}

void add_path(py::object group, const char* short_flag, const char* long_flag, const char* dest, const char* metavar,
              const char* help, bool required = false) {
    if (short_flag == nullptr) {
        group.attr("add_argument")(long_flag, "dest"_a = dest, "metavar"_a = metavar, "help"_a = help);
        return;
    }
    group.attr("add_argument")(short_flag, long_flag, "dest"_a = dest, "metavar"_a = metavar, "help"_a = help,
                               "required"_a = required);
}

void add_input_options(py::object parser, const Pipeline& pipeline) {
    py::object inputs = parser.attr("add_argument_group")("files (plain or gzip-compressed; every input optional)");
    add_path(inputs, "-o", "--output-path", "output_path", "VCF",
             "where to write the unified VCF; the finished file is this path + .gz (required)", true);
    add_path(inputs, "-s", "--sv-path", "sv_path", "VCF", "structural-variant VCF");
    add_path(inputs, "-c", "--cnv-path", "cnv_path", "VCF", "copy-number VCF");
    const std::string name = pipeline.name;
    if (name == "pacbio") {
        add_path(inputs, "-r", "--full-repeat-path", "full_repeat_path", "VCF",
                 "TRGT repeat VCF of the whole genome, cut down to the catalog");
        add_path(inputs, "-b", "--catalog", "catalog", "BED",
                 "BED of the repeat loci to keep (default: the bundled STRchive disease-locus catalog, hg38)");
        add_path(inputs, nullptr, "--filtered-repeats", "filtered_repeats", "VCF",
                 "where to keep the catalog's repeat calls (default: beside the output, named after the -r file "
                 "with _filtered.vcf)");
        return;
    }
    add_path(inputs, "-r", "--repeat-path", "repeat_path", "VCF",
             name == "dragen" ? "tandem-repeat VCF (ExpansionHunter)" : "tandem-repeat VCF (Straglr)");
    if (name == "dragen") {
        add_path(inputs, "-d", "--roh", "roh", "BED",
                 "runs of homozygosity: the BED of DRAGEN's ROH caller, or an ROH VCF");
        return;
    }
    py::object records = parser.attr("add_argument_group")("repeat records");
    records.attr("add_argument")("--modify-repeats", "dest"_a = "modify_repeats", "action"_a = "store_const",
                                 "const"_a = true, "default"_a = py::none(),
                                 "help"_a = "mark every repeat call SVTYPE=REP, whatever it carries (default: only "
                                            "calls that carry no SVTYPE)");
    records.attr("add_argument")("--no-modify-repeats", "dest"_a = "modify_repeats", "action"_a = "store_const",
                                 "const"_a = false, "help"_a = "mark no repeat call");
}

void add_output_options(py::object parser, const Pipeline& pipeline) {
    py::object output = parser.attr("add_argument_group")("output");
    output.attr("add_argument")("--threads", "type"_a = integer_between(1, std::numeric_limits<int>::max(),
                                                         "must be from 1 to " +
                                                             std::to_string(std::numeric_limits<int>::max())),
                                "default"_a = 1, "metavar"_a = "N",
                                "help"_a = "compress with N threads (default 1); the output is the same for any N");
    output.attr("add_argument")(
        "--level", "type"_a = integer_between(0, 9, "must be from 0 (fastest) to 9 (smallest)"), "default"_a = 9,
        "metavar"_a = "L", "help"_a = "compression level, 0 (fastest, largest) to 9 (smallest; default)");
    output.attr("add_argument")("--index", "choices"_a = py::make_tuple("tbi", "csi"), "default"_a = py::none(),
                                "help"_a = "also write a tabix index beside the output: tbi, or csi for chromosomes "
                                           "longer than 512 Mbp");
    output.attr("add_argument")("--donor-header", "action"_a = "store_true",
                                "help"_a = "use the first input's header alone (SV, else CNV, else repeats) instead "
                                           "of merging every input's INFO, FORMAT, FILTER, ALT and contig lines");
    py::object filters = output.attr("add_mutually_exclusive_group")();
    const bool pacbio = std::string(pipeline.name) == "pacbio";
    filters.attr("add_argument")(
        "--drop-filter", "action"_a = "append", "dest"_a = "drop_filters", "metavar"_a = "TOKEN",
        "help"_a = pacbio ? "leave out SV records whose FILTER holds TOKEN; repeat for more tokens (default: "
                            "InvBreakpoint)"
                          : "leave out SV records whose FILTER holds TOKEN; repeat for more tokens (default: keep all)");
    filters.attr("add_argument")("--no-drop-filter", "action"_a = "store_true",
                                 "help"_a = "keep every SV record, whatever its FILTER");
}

void add_message_options(py::object parser) {
    py::object messages = parser.attr("add_argument_group")("messages");
    py::object loudness = messages.attr("add_mutually_exclusive_group")();
    loudness.attr("add_argument")("-q", "--quiet", "action"_a = "store_true",
                                  "help"_a = "show only warnings and errors");
    loudness.attr("add_argument")("-v", "--verbose", "action"_a = "store_true",
                                  "help"_a = "show every message, and the full traceback of an error");
    messages.attr("add_argument")("--version", "action"_a = "version", "version"_a = "merivane " + package_version());
}

py::object build_parser() {
    py::module_ argparse = py::module_::import("argparse");
    py::object formatter = argparse.attr("RawDescriptionHelpFormatter");
    py::object parser = argparse.attr("ArgumentParser")("prog"_a = "merivane", "description"_a = wrapped(kMainDescription),
                                                   "epilog"_a = kMainEpilog, "formatter_class"_a = formatter,
                                                   "allow_abbrev"_a = false);
    parser.attr("add_argument")("--version", "action"_a = "version", "version"_a = "merivane " + package_version());
    py::object subparsers = parser.attr("add_subparsers")("dest"_a = "pipeline", "metavar"_a = "PIPELINE",
                                                                "title"_a = "pipelines");
    subparsers.attr("required") = true;
    for (const Pipeline* pipeline : {&kDragen, &kOnt, &kPacbio}) {
        py::object pipeline_parser = subparsers.attr("add_parser")(
            pipeline->name, "help"_a = pipeline->summary, "description"_a = wrapped(pipeline->description),
            "epilog"_a = pipeline->example, "formatter_class"_a = formatter, "allow_abbrev"_a = false);
        add_input_options(pipeline_parser, *pipeline);
        add_output_options(pipeline_parser, *pipeline);
        add_message_options(pipeline_parser);
    }
    return parser;
}

std::string text_of(py::handle value) { return py::str(value); }

// The door's keywords every subcommand passes.
py::dict output_settings(py::handle args) {
    return py::dict("merge_headers"_a = !args.attr("donor_header").cast<bool>(), "threads"_a = args.attr("threads"),
                    "compresslevel"_a = args.attr("level"), "index"_a = args.attr("index"));
}

py::tuple drop_filters(py::handle args, const std::vector<std::string>& by_default) {
    if (args.attr("no_drop_filter").cast<bool>()) return py::tuple();
    if (!args.attr("drop_filters").is_none()) return py::tuple(args.attr("drop_filters"));
    py::tuple tokens(by_default.size());
    for (std::size_t i = 0; i < by_default.size(); ++i) tokens[i] = py::str(by_default[i]);
    return tokens;
}

// DRAGEN and ONT runs go through their door; with FILTER tokens to drop,
// which those doors do not take, through `_unify` with the door's inputs and
// options plus the tokens.
py::object run_short_or_ont(py::module_ m, py::handle args, bool dragen) {
    py::dict settings = output_settings(args);
    py::tuple tokens = drop_filters(args, {});
    py::object roh = dragen ? py::object(args.attr("roh")) : py::none();
    if (tokens.empty()) {
        if (dragen) {
            return m.attr("dragen_unify")("output_path"_a = args.attr("output_path"), "sv_path"_a = args.attr("sv_path"),
                                          "cnv_path"_a = args.attr("cnv_path"),
                                          "repeat_path"_a = args.attr("repeat_path"), "roh_bed_path"_a = roh,
                                          **settings);
        }
        return m.attr("ont_unify")("output_path"_a = args.attr("output_path"), "sv_path"_a = args.attr("sv_path"),
                                   "cnv_path"_a = args.attr("cnv_path"), "repeat_path"_a = args.attr("repeat_path"),
                                   "modify_repeats"_a = args.attr("modify_repeats"), **settings);
    }
    py::dict struct_files;
    struct_files[m.attr("SV")] = args.attr("sv_path");
    struct_files[m.attr("CNV")] = args.attr("cnv_path");
    struct_files[m.attr("REPEATS")] = args.attr("repeat_path");
    struct_files[m.attr("ROH")] = roh;
    py::object options = dragen ? m.attr("UnifyOptions")("drop_sv_filters"_a = tokens)
                                : m.attr("UnifyOptions")("add_repeat_svtype"_a = args.attr("modify_repeats"),
                                                         "drop_sv_filters"_a = tokens);
    return m.attr("_unify")(struct_files, args.attr("output_path"), options, **settings);
}

py::object run_pacbio(py::module_ m, py::handle args) {
    py::object catalog = args.attr("catalog");
    if (catalog.is_none()) catalog = py::module_::import("Merivane.repeats").attr("default_repeat_catalog_path")();
    py::object full = args.attr("full_repeat_path");
    py::object filtered = args.attr("filtered_repeats");
    if (filtered.is_none() && !full.is_none()) {
        filtered = py::str(cli::filtered_repeats_beside_output(text_of(args.attr("output_path")), text_of(full)));
    }
    return m.attr("pacbio_filter_and_unify")(
        "output_path"_a = args.attr("output_path"), "sv_path"_a = args.attr("sv_path"),
        "cnv_path"_a = args.attr("cnv_path"), "full_repeat_path"_a = full, "repeat_bed_file_path"_a = catalog,
        "drop_sv_filters"_a = drop_filters(args, {"InvBreakpoint"}), "filtered_repeat_path"_a = filtered,
        **output_settings(args));
}

int merivane_command(py::object argv) {
    const py::object args = build_parser().attr("parse_args")(with_aliases_renamed(argument_list(argv)));
    const std::string pipeline = text_of(args.attr("pipeline"));
    const bool verbose = args.attr("verbose").cast<bool>();
    const int level = verbose ? kDebug : args.attr("quiet").cast<bool>() ? kWarning : kInfo;
    return run_guarded(
        [&] {
            CommandMessages messages(level);
            py::module_ m = cli_module();
            const py::object result =
                pipeline == "pacbio" ? run_pacbio(m, args) : run_short_or_ont(m, args, pipeline == "dragen");
            if (result.is_none()) {
                throw py::value_error(
                    "nothing to unify: no SV, CNV or repeat input with records was given (see the warnings above)");
            }
            std::string printed = text_of(result);
            if (!args.attr("index").is_none()) {
                const std::string index_path = text_of(result) + "." + text_of(args.attr("index"));
                if (!py::module_::import("os.path").attr("isfile")(index_path).cast<bool>()) {
                    throw py::value_error("no index was written beside " + text_of(result));
                }
                printed += "\n" + index_path;
            }
            print_line("stdout", printed);
        },
        verbose);
}

}  // namespace

void add_commands(py::module_& m) {
    m.def("_main", &merivane_command,
          doc("_main(argv: Optional[Sequence[str]] = None) -> int",
              "The merivane command: its exit status (argparse exits by itself on a usage error or --help).")
              .c_str(),
          py::arg("argv") = py::none());
    struct Installed {
        const char* function;
        const char* command;
        const char* entry;
    };
    for (const Installed& installed : {Installed{"_dragen_command", "merivane-dragen", "dragen_from_cli"},
                                       Installed{"_ont_command", "merivane-ont", "ont_from_cli"},
                                       Installed{"_pacbio_command", "merivane-pacbio", "pacbio_from_cli"}}) {
        const std::string signature = std::string(installed.function) + "(argv: Optional[Sequence[str]] = None) -> int";
        const std::string summary = std::string("The ") + installed.command + " command: " + installed.entry +
                                    " with messages on standard error and a one-line error; its exit status.";
        m.def(
            installed.function,
            [command = installed.command, entry = installed.entry](py::object argv) {
                return installed_command(command, entry, std::move(argv));
            },
            doc(signature.c_str(), summary.c_str()).c_str(), py::arg("argv") = py::none());
    }
}

}  // namespace merivane::binding
