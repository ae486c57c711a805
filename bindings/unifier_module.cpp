// Merivane.unifier: the input vocabulary and options, reading the inputs,
// the record rules, the unified writer and the one-call job `run`.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vcf_fields.hpp"
#include "support.hpp"
#include "unifier/reading.hpp"
#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"
#include "unifier/writer.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

namespace core = merivane::unifier;
using core::InputKind;
using namespace merivane::binding;

constexpr const char* kModuleDoc =
    "Unify a pipeline's SV, CNV, tandem-repeat and ROH outputs into one structural VCF.\n"
    "\n"
    "read_struct_lines reads the inputs, unify_lines writes them under one header (the first present\n"
    "of SV, CNV, REPEATS), and run does both, then sorts and BGZF-compresses the result.";

ModuleFunctions* registry = nullptr;
py::object options_type;
core::KindTable<py::handle> kinds;  // the SV, CNV, REPEATS, ROH constants

// The options record as Python sees it: the objects exactly as given, in
// the order of its fields.
struct Options {
    py::tuple fields;
};
constexpr std::pair<const char*, const char*> kOptionFields[] = {
    {"add_repeat_svtype", "Optional[bool]"}, {"roh_format", "str"}, {"drop_sv_filters", "Sequence[str]"}};

LinesView lines_view(py::handle lines, const char* what) {
    reject_lone_text(lines, what);
    return LinesView(lines, what);
}

// Visits the texts of an iterable one by one until `visit` returns false,
// so the lines after the deciding one are neither read nor checked.
template <class Visit>
void for_each_text(py::handle iterable, const char* what, Visit&& visit) {
    reject_lone_text(iterable, what);
    for (py::handle item : iterable) {
        if (!visit(text_view(item, what))) return;
    }
}

// The fields of a UnifyOptions; one made by __new__ alone has none.
const py::tuple& fields_of(py::handle options) {
    auto* instance = reinterpret_cast<py::detail::instance*>(options.ptr());
    const py::detail::value_and_holder fields =
        instance->get_value_and_holder(py::detail::get_type_info(typeid(Options)));
    if (!fields.holder_constructed()) throw py::type_error("UnifyOptions instance was never initialised");
    return fields.value_ptr<Options>()->fields;
}

void check_options(py::handle value, const char* what) {
    if (!py::isinstance(value, options_type)) {
        throw py::type_error(std::string(what) + " must be UnifyOptions, not " + type_name(value));
    }
    fields_of(value);
}

// The given options, or new default ones when none or a false value is given.
py::object options_or_default(py::handle value) {
    if (value.is_none() || !truthy(value)) return options_type();
    check_options(value, "options");
    return py::reinterpret_borrow<py::object>(value);
}

// --- record rules ----------------------------------------------------------

// A line rule the caller replaced on the module: a test of one line, or a
// rewrite of it whose result must be a str.
void replaced_test(std::function<bool(std::string_view)>& rule, const char* name) {
    if (auto test = registry->replaced(name)) {
        rule = [test = *test](std::string_view line) { return truthy(test(to_str(line))); };
    }
}

void replaced_rewrite(std::function<void(std::string_view, std::string&)>& rule, const char* name) {
    if (auto rewrite = registry->replaced(name)) {
        rule = [rewrite = *rewrite, what = std::string(name) + "()"](std::string_view line, std::string& out) {
            out = require_text(rewrite(to_str(line)), what.c_str());
        };
    }
}

py::object marked_repeat_line(py::handle repeat_line, py::handle add_repeat_svtype) {
    const std::string_view line = text_view(repeat_line, "repeat_line");
    core::RepeatOverrides overrides;
    replaced_test(overrides.needs_svtype, "_repeat_line_needs_svtype");
    replaced_rewrite(overrides.modify, "modify_repeat_line");
    std::string scratch;
    const std::string_view out = core::marked_repeat_line(line, tri_state(add_repeat_svtype), scratch, overrides);
    // A line that passes unchanged is handed back as the very object.
    if (out.data() == line.data()) return py::reinterpret_borrow<py::object>(repeat_line);
    return to_str(out);
}

py::list drop_sv_objects(py::handle lines, const std::vector<std::string>& tokens) {
    const LinesView input = lines_view(lines, "lines");
    py::list kept;
    const core::SvFilterTokens filter(tokens);
    for (std::size_t i = 0; i < input.views().size(); ++i) {
        if (!filter.drops(input.views()[i])) kept.append(input.objects()[i]);
    }
    filter.log_removed(input.views().size() - kept.size());
    return kept;
}

bool roh_objects_are_bed(py::handle roh_lines, const std::string& declared) {
    if (declared == core::roh_format::kBed) return true;
    if (declared == core::roh_format::kVcf) return false;
    bool found = false;
    for_each_text(roh_lines, "roh_lines", [&](std::string_view line) {
        found = core::contains_column_header(line);
        return !found;
    });
    return !found;
}

// --- input reading ---------------------------------------------------------

bool is_empty_objects(py::handle lines) {
    bool empty = true;
    for_each_text(lines, "lines", [&](std::string_view line) {
        empty = merivane::is_header_or_blank(line);
        return empty;
    });
    return empty;
}

py::str vcf_header_objects(py::handle lines) {
    std::string header;
    for_each_text(lines, "vcf_lines", [&](std::string_view line) {
        header.append(line);
        return !core::ends_vcf_header(line);
    });
    return to_str(header);
}

// Lines read per input kind, keyed by the kind constants; None for none.
template <class Table, class Convert>
py::dict by_kind(const Table& lines, Convert&& convert) {
    py::dict result;
    for (std::size_t i = 0; i < lines.size(); ++i) result[kinds[i]] = lines[i] ? convert(*lines[i]) : py::none();
    return result;
}

py::dict read_struct_lines(py::handle struct_files, py::handle options_arg) {
    const py::object options = options_or_default(options_arg);
    const core::UnifyOptions unify_options = core_options(options);
    const core::StructFiles files = merivane::binding::struct_files(struct_files);

    if (registry->reaches_intact("read_struct_lines")) {
        const core::FilesLines lines = without_gil([&] { return core::read_struct_lines(files, unify_options); });
        return by_kind(lines, [](const core::Lines& read) -> py::object { return to_str_list(read.views); });
    }

    // Each step through the function bound now, over the Python lists.
    const auto lines = core::read_struct_lines_with(
        files, unify_options,
        [&](InputKind, const std::string& path) { return registry->attr("get_lines")(to_path_str(path)); },
        [&](const py::object& lines, const core::UnifyOptions&) {
            return registry->attr("drop_sv_records_by_filter")(lines, options.attr("drop_sv_filters"));
        },
        [&](const py::object& lines) { return truthy(registry->attr("is_empty")(lines)); });
    return by_kind(lines, [](const py::object& read) { return read; });
}

// --- writer ----------------------------------------------------------------

core::WriterOverrides writer_overrides(py::handle options) {
    core::WriterOverrides overrides;
    replaced_test(overrides.repeat_line_needs_svtype, "_repeat_line_needs_svtype");
    replaced_rewrite(overrides.modify_repeat_line, "modify_repeat_line");
    replaced_test(overrides.is_valid_line, "is_valid_line");
    replaced_rewrite(overrides.roh_bed_line_to_vcf, "roh_bed_line_to_vcf");
    if (auto rule = registry->replaced("_marked_repeat_line")) {
        overrides.marked_repeat_line = [rule = *rule, add = py::object(options.attr("add_repeat_svtype"))](
                                           std::string_view line, std::optional<bool>, std::string& out) {
            out = require_text(rule(to_str(line), add), "_marked_repeat_line()");
            return std::string_view(out);
        };
    }
    if (auto rule = registry->replaced("_roh_lines_are_bed")) {
        overrides.roh_lines_are_bed = [rule = *rule, declared = py::object(options.attr("roh_format"))](
                                          core::LineSpan lines, std::string_view) {
            return truthy(rule(to_str_list(lines), declared));
        };
    }
    if (auto rule = registry->replaced("vcf_header_from_lines")) {
        overrides.vcf_header_from_lines = [rule = *rule](core::LineSpan lines) {
            return require_text(rule(to_str_list(lines)), "vcf_header_from_lines()");
        };
    }
    return overrides;
}

py::object unify_lines(py::handle files_lines, py::handle output_path, py::handle options_arg,
                       py::handle merge_headers_arg) {
    const bool merge_headers = truthy(merge_headers_arg);
    const py::object options = options_or_default(options_arg);
    const core::UnifyOptions unify_options = core_options(options);
    const std::string path = path_text(output_path, "output_path");

    core::KindTable<std::optional<LinesView>> held;
    core::LinesTable table;
    for (const InputKind kind : core::kFileTypes) {
        const std::size_t i = core::kind_index(kind);
        const py::object value = mapping_get(files_lines, kinds[i]);
        if (value.is_none()) continue;
        held[i].emplace(lines_view(value, "files_lines values"));
        table[i] = core::LineSpan(held[i]->views());
    }
    // Replaced rules are Python functions: the GIL stays held for them.
    const core::WriterOverrides overrides = writer_overrides(options);
    const auto write = [&] { return core::unify_lines(table, path, unify_options, overrides, merge_headers); };
    if (!(registry->reaches_intact("unify_lines") ? without_gil(write) : write())) return py::none();
    return py::reinterpret_borrow<py::object>(output_path);
}

void write_vcf_content(py::handle file_type, py::handle lines_dict, py::handle output_h, py::handle options_arg) {
    const std::string kind_text = require_text(file_type, "file_type");
    const std::optional<InputKind> kind = core::kind_from_name(kind_text);
    if (!kind) throw py::value_error("Unknown input kind: " + std::string(py::repr(file_type)));
    check_options(options_arg, "options");
    const py::object lines = lines_dict[file_type];
    if (lines.is_none()) {
        throw py::type_error("the " + kind_text + " entry of lines_dict must be a list of str, not None");
    }
    const LinesView input = lines_view(lines, "lines");
    // Writes through the object's `write`, one text per call.
    const auto sink = [write = py::object(output_h.attr("write"))](std::string_view text) { write(to_str(text)); };
    core::write_vcf_content(*kind, input.views(), sink, core_options(options_arg), writer_overrides(options_arg));
}

// --- run -------------------------------------------------------------------

py::object run(py::handle output_path, py::handle sv_path, py::handle cnv_path, py::handle repeat_path,
               py::handle roh_bed_path, py::handle skip_svtype, py::handle drop_sv_filters, py::handle merge_headers,
               py::handle threads, py::handle compresslevel, py::handle index, py::handle sort_order,
               py::handle sample, py::handle header_lines, py::handle stats) {
    const RunKeywords keywords(merge_headers, threads, compresslevel, index, sort_order, sample, header_lines, stats);
    const std::string output = path_text(output_path, "output_path");
    const core::KindTable<py::handle> paths = {sv_path, cnv_path, repeat_path, roh_bed_path};
    const core::StructFiles files = struct_files(paths);
    // Through run a caller can only switch repeat marking off, never force it.
    const py::object add_repeat_svtype = truthy(skip_svtype) ? py::object(py::bool_(false)) : py::object(py::none());
    const py::object options = options_type(add_repeat_svtype, py::str(std::string(core::roh_format::kAuto)),
                                            filter_token_tuple(drop_sv_filters, "drop_sv_filters"));
    return keywords.unify(*registry, "run", files, output, struct_files_dict(paths), output_path, options);
}

// --- options record --------------------------------------------------------

Options make_options(py::object add, py::object roh_format, py::object drop) {
    require_text(roh_format, "roh_format");
    reject_lone_text(drop, "drop_sv_filters");
    return Options{py::make_tuple(std::move(add), std::move(roh_format), std::move(drop))};
}

void define_options(py::module_& m) {
    py::class_<Options> cls(
        m, "UnifyOptions",
        "UnifyOptions(add_repeat_svtype: Optional[bool] = None, roh_format: str = RohFormat.AUTO, "
        "drop_sv_filters: Sequence[str] = ())\n"
        "\n"
        "How a caller's inputs are read: repeat marking (None: per record, True: every record, False: none),\n"
        "the ROH input's shape (RohFormat), and the FILTER tokens whose SV records are left out. Immutable.");
    cls.def(py::init(&make_options), py::arg("add_repeat_svtype") = py::none(),
            py::arg("roh_format") = py::str(core::roh_format::kAuto.data()), py::arg("drop_sv_filters") = py::tuple(),
            "__init__(self, add_repeat_svtype: Optional[bool] = None, roh_format: str = RohFormat.AUTO, "
            "drop_sv_filters: Sequence[str] = ()) -> None");
    py::dict annotations;
    py::list names;
    for (std::size_t i = 0; i < std::size(kOptionFields); ++i) {
        const auto [name, annotation] = kOptionFields[i];
        cls.def_property_readonly(name, [i](py::handle self) { return fields_of(self)[i]; });
        annotations[name] = annotation;
        names.append(name);
    }
    for (const auto& [name, equal] : {std::pair{"__eq__", true}, std::pair{"__ne__", false}}) {
        cls.def(name, [equal](py::handle self, py::handle other) -> py::object {
            if (!py::isinstance(other, options_type)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(fields_of(self).equal(fields_of(other)) == equal);
        });
    }
    cls.def("__hash__", [](py::handle self) { return py::hash(fields_of(self)); });
    cls.def("__repr__", [](py::handle self) {
        std::string out = "UnifyOptions(";
        for (std::size_t i = 0; i < std::size(kOptionFields); ++i) {
            out += std::string(i > 0 ? ", " : "") + kOptionFields[i].first + "=";
            out += std::string(py::repr(fields_of(self)[i]));
        }
        return out + ")";
    });
    cls.def(py::pickle([](py::handle self) { return fields_of(self); },
                       [](const py::tuple& state) {
                           if (state.size() != 3) throw py::value_error("UnifyOptions state must hold three fields");
                           return make_options(state[0], state[1], state[2]);
                       }));
    cls.attr("__annotations__") = annotations;
    cls.attr("__match_args__") = py::tuple(names);
    options_type = cls;
}

void define_vocabulary(py::module_& m) {
    // The module's constants are the keys of every mapping it returns.
    py::tuple file_types(core::kFileTypes.size());
    const char* const constants[] = {"SV", "CNV", "REPEATS", "ROH"};
    for (const InputKind kind : core::kFileTypes) {
        const std::size_t i = core::kind_index(kind);
        const py::str name(std::string(core::kind_name(kind)));
        kinds[i] = name;  // held by FILE_TYPES for good
        file_types[i] = name;
        m.attr(constants[i]) = name;
    }
    m.attr("FILE_TYPES") = file_types;
    m.attr("_VCF_COLUMN_HEADER") = py::str(std::string(core::kVcfColumnHeader));

    const py::dict members("AUTO"_a = std::string(core::roh_format::kAuto),
                           "BED"_a = std::string(core::roh_format::kBed), "VCF"_a = std::string(core::roh_format::kVcf),
                           "__doc__"_a = "How a caller's ROH input arrives.", "__module__"_a = m.attr("__name__"),
                           "__qualname__"_a = "RohFormat");
    m.attr("RohFormat") = py::handle(reinterpret_cast<PyObject*>(&PyType_Type))("RohFormat", py::make_tuple(), members);
}

void define_rules() {
    registry->def([](py::handle line) { return core::is_valid_line(text_view(line, "line")); },
                  doc("is_valid_line(line: str) -> bool",
                      "Whether a CNV line is carried into the unified file: headers and records with SVTYPE= are,\n"
                      "records whose first genotype is the no-call ./. are not."));
    registry->def(
        [](py::handle repeat_line) { return to_str(core::modify_repeat_line(text_view(repeat_line, "repeat_line"))); },
        doc("modify_repeat_line(repeat_line: str) -> str",
            "The ten-cell repeat record with \";SVTYPE=REP\" appended to its INFO."));
    registry->def(
        [](py::handle repeat_line) { return core::repeat_line_needs_svtype(text_view(repeat_line, "repeat_line")); },
        doc("_repeat_line_needs_svtype(repeat_line: str) -> bool", "Whether a repeat record is missing SVTYPE=."));
    registry->def(&marked_repeat_line,
                  doc("_marked_repeat_line(repeat_line: str, add_repeat_svtype: Optional[bool]) -> str",
                      "The repeat line as it should be written."),
                  {"_repeat_line_needs_svtype", "modify_repeat_line"});
    registry->def(
        [](py::handle lines, py::handle tokens) {
            return drop_sv_objects(lines, filter_tokens(tokens, "filter_tokens"));
        },
        doc("drop_sv_records_by_filter(lines: Sequence[str], filter_tokens: Sequence[str]) -> List[str]",
            "A new list without the SV records whose FILTER carries one of the tokens."));
    registry->def(
        [](py::handle roh_lines, py::handle declared) {
            return roh_objects_are_bed(roh_lines, require_text(declared, "declared"));
        },
        doc("_roh_lines_are_bed(roh_lines: Sequence[str], declared: str) -> bool",
            "Whether the ROH input is a BED needing conversion."));
    registry->def(
        [](py::handle bed_line) { return to_str(core::roh_bed_line_to_vcf(text_view(bed_line, "bed_line"))); },
        doc("roh_bed_line_to_vcf(bed_line: str) -> str", "One DRAGEN ROH BED interval as an <ROH> VCF record."));
}

void define_reading() {
    registry->def(
        [](py::handle file_path) {
            const std::string path = path_text(file_path, "file_path");
            const core::Lines lines = without_gil([&] { return core::get_lines(path); });
            return to_str_list(lines.views);
        },
        doc("get_lines(file_path: str) -> List[str]", "The file's lines, whether or not it is gzipped."));
    registry->def(&is_empty_objects, doc("is_empty(lines: Iterable[str]) -> bool",
                                         "True when nothing but headers and blank lines is present."));
    registry->def(&vcf_header_objects, doc("vcf_header_from_lines(vcf_lines: Iterable[str]) -> str",
                                           "Everything up to and including the #CHROM column header."));
    registry->def(&read_struct_lines,
                  doc("read_struct_lines(struct_files: Dict[str, Optional[str]], "
                      "options: Optional[UnifyOptions] = None) -> Dict[str, Optional[List[str]]]",
                      "Read each input path into lines, dropping the ones with nothing to add."),
                  {"get_lines", "is_empty", "drop_sv_records_by_filter"});
}

void define_writing(py::module_ m) {
    registry->def(&unify_lines,
                  doc("unify_lines(files_lines: Dict[str, Optional[List[str]]], output_path: str, "
                      "options: Optional[UnifyOptions] = None, *, merge_headers: bool = False) -> Optional[str]",
                      "Write the unified, unsorted VCF: one header, then the other inputs' records.", kMergeHeadersDoc),
                  {"is_valid_line", "_marked_repeat_line", "_roh_lines_are_bed", "roh_bed_line_to_vcf",
                   "vcf_header_from_lines"});
    define(m, &write_vcf_content,
           doc("_write_vcf_content(file_type: str, lines_dict: Dict[str, Optional[List[str]]], output_h, "
               "options: UnifyOptions) -> None",
               "Append one input's records (never its header) to output_h."));
    registry->def(&run,
                  doc("run(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, "
                      "repeat_path: Optional[str] = None, roh_bed_path: Optional[str] = None, "
                      "skip_svtype: bool = False, drop_sv_filters: Sequence[str] = (), *, " +
                          kOutputSignature,
                      "Read, unify, sort and BGZF-compress the inputs; return the compressed file's path, or None\n"
                      "when there was nothing to unify.",
                      kOutputKeywordsDoc),
                  {"read_struct_lines", "unify_lines", "sort_and_compress"});
}

}  // namespace

PYBIND11_MODULE(unifier, m) {
    const ModuleSetup setup(m, kModuleDoc);
    registry = &ModuleFunctions::create(m);
    // Bound when the module loads: if compression cannot be imported, neither
    // can this module.
    registry->import_from(ModuleFunctions::of(py::module_::import("Merivane.compression")), "sort_and_compress");
    define_vocabulary(m);
    define_options(m);
    define_rules();
    define_reading();
    define_writing(m);
}
