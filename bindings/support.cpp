#include "support.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/error.hpp"
#include "platform/interrupt.hpp"
#include "platform/log.hpp"

namespace merivane::binding {

namespace {

py::str decoded(std::string_view text, const char* errors) {
    PyObject* out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors);
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

py::str text_or_replacement(std::string_view text) { return decoded(text, "surrogateescape"); }

py::list decoded_list(const std::vector<std::string>& texts) {
    py::list out;
    for (const auto& text : texts) out.append(text_or_replacement(text));
    return out;
}

py::object make_exception(const Error& error) {
    const py::str message = text_or_replacement(error.what());
    if (const auto* e = dynamic_cast<const OSError*>(&error)) {
        // OSError(errno, strerror, filename) picks the subclass itself
        // (FileNotFoundError, PermissionError, IsADirectoryError, ...).
        py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError);
        return os_error(e->errnum(), e->strerror(), to_path_str(e->filename()));
    }
    if (const auto* e = dynamic_cast<const UnicodeDecodeError*>(&error)) {
        PyObject* exc = PyUnicodeDecodeError_Create(e->encoding().c_str(), e->object().data(),
                                                    static_cast<Py_ssize_t>(e->object().size()),
                                                    static_cast<Py_ssize_t>(e->start()),
                                                    static_cast<Py_ssize_t>(e->end()), e->reason().c_str());
        if (exc == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(exc);
    }
    if (const auto* e = dynamic_cast<const CalledProcessError*>(&error)) {
        return py::module_::import("subprocess").attr("CalledProcessError")(e->returncode(), decoded_list(e->cmd()));
    }
    if (const auto* e = dynamic_cast<const TimeoutExpired*>(&error)) {
        return py::module_::import("subprocess").attr("TimeoutExpired")(decoded_list(e->cmd()),
                                                                        e->timeout_seconds());
    }
    if (const auto* e = dynamic_cast<const CorruptInputError*>(&error)) {
        if (e->truncated()) return py::reinterpret_borrow<py::object>(PyExc_EOFError)(message);
        return py::module_::import("gzip").attr("BadGzipFile")(message);
    }
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const ValueError*>(&error)) type = PyExc_ValueError;
    else if (dynamic_cast<const IndexError*>(&error)) type = PyExc_IndexError;
    else if (dynamic_cast<const TypeError*>(&error)) type = PyExc_TypeError;
    return py::reinterpret_borrow<py::object>(type)(message);
}

// The interpreter's exit stopping a call in the core. Translated here, in the
// module that threw it: a wheel links its own C++ runtime into each module,
// so pybind11's shared translators would not know the type.
struct InterpreterExiting : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void translate(std::exception_ptr pointer) {
    try {
        if (pointer) std::rethrow_exception(pointer);
    } catch (const InterpreterExiting& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const Error& error) {
        // A Ctrl-C that also killed a child (GNU sort, bedtools) shows up as the
        // child's failure; the caller must see the pending KeyboardInterrupt.
        if (PyErr_CheckSignals() != 0) return;
        const py::object exception = make_exception(error);
        if (!error.notes().empty() && py::hasattr(exception, "add_note")) {
            for (const auto& note : error.notes()) exception.attr("add_note")(text_or_replacement(note));
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
}

// Work in the core with the GIL released, and whether the interpreter's
// exit asked it to stop.
std::mutex work_mutex;
std::condition_variable work_done;
std::size_t works_running = 0;
std::atomic<bool> exiting{false};

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Polled by the core in long loops and child waits, on the calling thread.
void check_signals() {
    if (exiting.load() || finalizing()) {
        // Not an Error of the core: like a Ctrl-C, it leaves no partial output.
        throw InterpreterExiting("The interpreter is exiting: the call was stopped and its partial outputs removed");
    }
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// At the interpreter's exit, before it finalizes (a daemon thread, or one
// whose join a Ctrl-C cut short, may still be in the core): stops that work
// at its next interrupt check, which removes its partial outputs, and waits
// for it to return to Python. A second Ctrl-C ends the wait.
void stop_work_at_exit() {
    exiting = true;
    for (;;) {
        {
            const py::gil_scoped_release unlocked;
            std::unique_lock lock(work_mutex);
            if (work_done.wait_for(lock, std::chrono::milliseconds(100), [] { return works_running == 0; })) return;
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

py::object to_python(const LogArg& arg) {
    struct Visitor {
        py::object operator()(const NoneValue&) const { return py::none(); }
        py::object operator()(std::int64_t value) const { return py::int_(value); }
        py::object operator()(const std::string& value) const { return text_or_replacement(value); }
        py::object operator()(const std::vector<std::string>& values) const { return decoded_list(values); }
    };
    return std::visit(Visitor{}, arg);
}

// Module-level calls on the root logger, looked up at the time of the event
// so that a host that reconfigures (or patches) logging is honoured.
void forward_to_logging(const LogEvent& event) {
    if (finalizing()) return;  // nobody is left to read it
    py::gil_scoped_acquire gil;
    py::tuple args(event.args.size() + 1);
    args[0] = text_or_replacement(event.format);
    for (std::size_t i = 0; i < event.args.size(); ++i) args[i + 1] = to_python(event.args[i]);
    const char* level = event.level == LogLevel::Warning ? "warning" : "info";
    py::module_::import("logging").attr(level)(*args);
}

void require_str(py::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be str, not " + type_name(value));
    }
}

// The texts of a sequence of str; an item that is no str is named
// `item_what` in the TypeError.
std::vector<std::string> text_list(py::handle sequence, const char* what, const char* item_what) {
    reject_lone_text(sequence, what);
    std::vector<std::string> out;
    for (py::handle item : sequence) out.push_back(require_text(item, item_what));
    return out;
}

py::object index_of(py::handle value) {
    PyObject* number = PyNumber_Index(value.ptr());
    if (number == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(number);
}

// An integer keyword as the host reads one (operator.index), within
// [low, high]; the host's own TypeError for anything that is no integer.
int bounded_int(py::handle value, const char* name, long low, long high) {
    const py::object number = index_of(value);
    int overflow = 0;
    const long result = PyLong_AsLongAndOverflow(number.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool under = overflow < 0 || (overflow == 0 && result < low);
    if (under || overflow > 0 || result > high) {
        throw py::value_error(std::string(name) + (under ? " must be at least " : " must be at most ") +
                              std::to_string(under ? low : high) + ", not " + std::string(py::repr(number)));
    }
    return static_cast<int>(result);
}

// The settings that differ from their defaults, as keyword arguments for a
// replaced function: at the defaults, it is called exactly as it always was.
py::dict changed_keywords(const compression::CompressionSettings& settings) {
    const compression::CompressionSettings defaults;
    py::dict out;
    if (settings.threads != defaults.threads) out["threads"] = settings.threads;
    if (settings.level != defaults.level) out["compresslevel"] = settings.level;
    if (settings.index) out["index"] = *settings.index == compression::IndexFormat::Tbi ? "tbi" : "csi";
    if (settings.order == compression::SortOrder::Contig) out["sort_order"] = "contig";
    return out;
}

}  // namespace

ModuleSetup::ModuleSetup(py::module_ module, const char* doc) {
    options_.disable_function_signatures();
    module.doc() = doc;
    py::register_local_exception_translator(translate);
    set_log_sink(forward_to_logging);
    set_interrupt_check(check_signals);
    // Each module keeps its own count of work, and waits for it.
    py::module_::import("atexit").attr("register")(py::cpp_function(stop_work_at_exit));
}

GilReleased::GilReleased() : state_(PyEval_SaveThread()) {
    const std::lock_guard lock(work_mutex);
    ++works_running;
}

GilReleased::~GilReleased() {
    // Once the exit stopped waiting, taking the GIL would end this thread by an
    // unwind through this destructor; it waits for the process to end instead.
    while (finalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
    PyEval_RestoreThread(state_);
    const std::lock_guard lock(work_mutex);
    --works_running;
    work_done.notify_all();
}

// ---- definitions -------------------------------------------------------------

Signature::Signature(const std::string& doc) : name(doc.substr(0, doc.find('('))) {
    const py::object literal = py::module_::import("ast").attr("literal_eval");
    int depth = 0;  // within a type's brackets or a default's parentheses, where commas part nothing
    for (std::size_t i = name.size() + 1, start = i; depth >= 0; ++i) {
        if (doc[i] == '[' || doc[i] == '(') ++depth;
        if (doc[i] == ']' || doc[i] == ')') --depth;
        if (depth > 0 || (doc[i] != ',' && depth == 0)) continue;
        const std::string item = doc.substr(start, i - start);
        const std::size_t equals = item.find(" = ");
        if (item == "*") {
            keyword_only = parameters.size();
        } else if (!item.empty()) {
            const std::string value = equals == std::string::npos ? "" : item.substr(equals + 3);
            parameters.emplace_back(item.substr(0, std::min(item.find(':'), equals)),
                                    value.empty() ? py::object() : literal(value));
        }
        start = i + 2;
    }
}

}  // namespace merivane::binding

void pybind11::detail::process_attribute<merivane::binding::Signature>::init(
    const merivane::binding::Signature& signature, function_record* record) {
    if (signature.parameters.size() != record->nargs_pos) pybind11_fail("parameters unlike its own: " + signature.name);
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (i == signature.keyword_only) process_attribute<kw_only>::init(kw_only(), record);
        const auto& [name, value] = signature.parameters[i];
        if (value) {
            process_attribute<arg_v>::init(arg(name.c_str()) = value, record);
        } else {
            process_attribute<arg>::init(arg(name.c_str()), record);
        }
    }
}

namespace merivane::binding {

// ---- functions looked up at call time ----------------------------------------

constexpr const char* kCapsule = "Merivane._module_functions";

ModuleFunctions& ModuleFunctions::create(py::module_ module) {
    // Never freed: the package's other modules hold on to it.
    auto* functions = new ModuleFunctions(module);
    module.attr("_module_functions") = py::capsule(functions, kCapsule);
    return *functions;
}

const ModuleFunctions& ModuleFunctions::of(const py::module_& module) {
    void* pointer = PyCapsule_GetPointer(module.attr("_module_functions").ptr(), kCapsule);
    if (pointer == nullptr) throw py::error_already_set();
    return *static_cast<const ModuleFunctions*>(pointer);
}

void ModuleFunctions::add(const char* name, std::vector<Reach> reaches) {
    entries_.push_back({name, module_.attr(name), std::move(reaches)});
}

void ModuleFunctions::import_from(const ModuleFunctions& other, const char* name) {
    module_.attr(name) = other.module_.attr(name);
    add(name, other.entry(name).reaches);
}

const ModuleFunctions::Entry& ModuleFunctions::entry(const char* name) const {
    const auto found = std::ranges::find(entries_, std::string_view(name), &Entry::name);
    if (found == entries_.end()) throw std::logic_error(std::string("not a registered function: ") + name);
    return *found;
}

std::optional<py::object> ModuleFunctions::replaced(const char* name) const {
    py::object current = module_.attr(name);
    if (current.is(entry(name).loaded)) return std::nullopt;
    return current;
}

bool ModuleFunctions::intact(const char* name) const { return !replaced(name) && reaches_intact(name); }

bool ModuleFunctions::reaches_intact(const char* name) const {
    return std::ranges::all_of(entry(name).reaches,
                               [](const Reach& reach) { return reach.functions->intact(reach.name.c_str()); });
}

std::string path_text(py::handle value, const char* what) {
    require_str(value, what);
    // As the host's open() encodes a name: one that is not UTF-8 (legal on
    // Linux) arrives with surrogate escapes and goes on as its own bytes.
    const py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(value.ptr()));
    if (!bytes) throw py::error_already_set();
    std::string path(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return path;
}

std::string_view text_view(py::handle value, const char* what) {
    require_str(value, what);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

void reject_lone_text(py::handle value, const char* what) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be a sequence of str, not " + type_name(value));
    }
}

std::vector<std::string> filter_tokens(py::handle tokens, const char* what) {
    if (!truthy(tokens)) return {};
    return text_list(tokens, what, what);
}

py::tuple filter_token_tuple(py::handle tokens, const char* what) {
    reject_lone_text(tokens, what);
    if (PyTuple_Check(tokens.ptr())) return py::reinterpret_borrow<py::tuple>(tokens);
    return py::tuple(py::reinterpret_borrow<py::object>(tokens));
}

unifier::UnifyOptions core_options(py::handle options) {
    unifier::UnifyOptions out;
    out.add_repeat_svtype = tri_state(options.attr("add_repeat_svtype"));
    out.roh_format = require_text(options.attr("roh_format"), "roh_format");
    out.drop_sv_filters = filter_tokens(options.attr("drop_sv_filters"), "drop_sv_filters");
    return out;
}

py::object mapping_get(py::handle mapping, py::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return value ? py::reinterpret_borrow<py::object>(value) : py::none();
    }
    return mapping.attr("get")(key);
}

unifier::StructFiles struct_files(py::handle mapping) {
    unifier::StructFiles files;
    for (const unifier::InputKind kind : unifier::kFileTypes) {
        const py::str key(std::string(unifier::kind_name(kind)));
        const py::object value = mapping_get(mapping, key);
        const std::string what = "struct_files[" + std::string(py::repr(key)) + "]";
        files[unifier::kind_index(kind)] = optional<path_text>(value, what.c_str());
    }
    return files;
}

unifier::StructFiles struct_files(const unifier::KindTable<py::handle>& paths) {
    static constexpr const char* kNames[] = {"sv_path", "cnv_path", "repeat_path", "roh_bed_path"};
    unifier::StructFiles files;
    for (std::size_t i = 0; i < paths.size(); ++i) files[i] = optional<path_text>(paths[i], kNames[i]);
    return files;
}

py::dict struct_files_dict(const unifier::KindTable<py::handle>& paths) {
    py::dict out;
    for (const unifier::InputKind kind : unifier::kFileTypes) {
        out[py::str(std::string(unifier::kind_name(kind)))] = paths[unifier::kind_index(kind)];
    }
    return out;
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::str to_str(std::string_view text) { return decoded(text, "strict"); }

py::str to_path_str(std::string_view path) {
    PyObject* out = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

LinesView::LinesView(py::handle iterable, const char* what) {
    if (PyList_Check(iterable.ptr()) || PyTuple_Check(iterable.ptr())) {
        const auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(iterable.ptr()));
        objects_.reserve(size);
        views_.reserve(size);
    }
    for (py::handle item : iterable) {
        views_.push_back(text_view(item, what));
        objects_.push_back(py::reinterpret_borrow<py::object>(item));
    }
}

std::string doc(const std::string& signature, const char* summary, std::string_view keywords) {
    std::string out = signature + "\n\n" + summary;
    if (!keywords.empty()) out.append("\n\n").append(keywords);
    return out;
}

std::int64_t to_int64(py::handle value) {
    const long long result = PyLong_AsLongLong(index_of(value).ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

compression::CompressionSettings compression_settings(py::handle threads, py::handle compresslevel, py::handle index,
                                                      py::handle order) {
    compression::CompressionSettings settings;
    settings.threads = bounded_int(threads, "threads", 1, std::numeric_limits<int>::max());
    settings.level = bounded_int(compresslevel, "compresslevel", compression::kMinLevel, compression::kMaxLevel);
    if (!index.is_none()) {
        if (!PyUnicode_Check(index.ptr())) throw py::type_error("index must be str or None, not " + type_name(index));
        const std::string_view format = text_view(index, "index");
        if (format != "tbi" && format != "csi") {
            throw py::value_error("index must be None, 'tbi' or 'csi', not " + std::string(py::repr(index)));
        }
        settings.index = format == "tbi" ? compression::IndexFormat::Tbi : compression::IndexFormat::Csi;
    }
    if (!order) return settings;
    const std::string_view name = text_view(order, "sort_order");
    if (name != "text" && name != "contig") {
        throw py::value_error("sort_order must be 'text' or 'contig', not " + std::string(py::repr(order)));
    }
    if (name == "contig") settings.order = compression::SortOrder::Contig;
    return settings;
}

RunKeywords::RunKeywords(py::handle merge_headers, py::handle threads, py::handle compresslevel, py::handle index,
                         py::handle order, py::handle sample, py::handle header_lines, py::handle stats,
                         py::handle command) {
    // A text such as 'no' would count as true; a bool or a number is asked for.
    if (!PyLong_Check(merge_headers.ptr())) {
        throw py::type_error("merge_headers must be a bool, not " + type_name(merge_headers));
    }
    settings_.merge_headers = truthy(merge_headers);
    settings_.command = optional<require_text>(command, "command");
    settings_.compression = compression_settings(threads, compresslevel, index, order);
    settings_.header.sample = optional<require_text>(sample, "sample");
    settings_.header.lines = text_list(header_lines, "header_lines", "header_lines items");
    // The core's plan checks it too, but only once the paths are read: a
    // caller is told of a bad edit first, and a replaced `_unify` never gets one.
    unifier::check_header_edit(settings_.header);
    if (stats.is_none()) return;
    if (PyUnicode_Check(stats.ptr())) {
        settings_.stats_path = path_text(stats, "stats");
    } else if (PyDict_Check(stats.ptr())) {
        dict_ = py::reinterpret_borrow<py::object>(stats);
    } else {
        throw py::type_error("stats must be a dict, a path (str) or None, not " + type_name(stats));
    }
    settings_.stats = &stats_;
    stats_.version = require_text(py::module_::import("Merivane._version").attr("__version__"), "__version__");
    stats_.command = settings_.command;
}

py::dict RunKeywords::changed() const {
    py::dict out;
    if (settings_.merge_headers) out["merge_headers"] = true;
    for (const auto& [key, value] : changed_keywords(settings_.compression)) out[key] = value;
    if (settings_.header.sample) out["sample"] = to_str(*settings_.header.sample);
    if (!settings_.header.lines.empty()) out["header_lines"] = py::tuple(to_str_list(settings_.header.lines));
    if (dict_) out["stats"] = dict_;
    if (settings_.stats_path) out["stats"] = to_path_str(*settings_.stats_path);
    if (settings_.command) out["command"] = to_str(*settings_.command);
    return out;
}

py::object RunKeywords::deliver(const std::optional<std::string>& written) const {
    py::object result = optional_str(written);
    if (!dict_) return result;
    // The document the statistics file holds, filled into the caller's dict.
    const py::object document = py::module_::import("json").attr("loads")(to_str(cli::stats_json(stats_, written)));
    py::dict filled = py::reinterpret_borrow<py::dict>(dict_);
    filled.clear();
    filled.attr("update")(document);
    return result;
}

py::object RunKeywords::unify(const ModuleFunctions& functions, const char* name, const unifier::StructFiles& files,
                              const std::string& output, py::handle struct_files, py::handle output_path,
                              py::handle options) const {
    if (functions.reaches_intact(name)) {
        const unifier::UnifyOptions unify_options = core_options(options);
        return run([&] { return cli::unify(files, output, unify_options, settings_); });
    }
    cli::check_plan({files, output, {}, {}, std::nullopt});
    // Replaced steps run in Python, where the header edit and the counting
    // cannot reach.
    if (!settings_.header.empty() || settings_.stats || settings_.command) {
        throw py::value_error("sample, header_lines, command and stats need the package's own read_struct_lines, "
                              "unify_lines and sort_and_compress");
    }
    const py::object lines = functions.attr("read_struct_lines")(struct_files, options);
    py::dict merge;
    if (settings_.merge_headers) merge["merge_headers"] = true;
    const py::object unified = functions.attr("unify_lines")(lines, output_path, options, **merge);
    if (unified.is_none()) return py::none();
    return functions.attr("sort_and_compress")(unified, **changed_keywords(settings_.compression));
}

// ---- docstrings ----------------------------------------------------------------

const std::string kLevelKeyword = "compresslevel: int = " + std::to_string(compression::kDefaultLevel);
namespace {
const std::string kOutputKeywords = "merge_headers: bool = False, threads: int = 1, " + kLevelKeyword +
                                    ", index: Optional[str] = None, sort_order: str = \"text\", "
                                    "sample: Optional[str] = None, header_lines: Sequence[str] = (), ";
constexpr const char* kSortOrderDoc =
    "sort_order: \"text\" (the default) orders records by chromosome name as text (chr1, chr10, chr2);\n"
    "\"contig\" by the order of the header's ##contig lines, as bcftools sort, Picard and GATK do,\n"
    "chromosomes without a contig line following in text order.";
// The default level is named the smallest: the two must stay one.
static_assert(compression::kDefaultLevel == compression::kMaxLevel, "the default level is the smallest");
const std::string kLevelsDoc = "compresslevel: the deflate level, " + std::to_string(compression::kMinLevel) +
                               " (stored) to " + std::to_string(compression::kMaxLevel) +
                               " (smallest, the default), as gzip names it.\n";
}  // namespace

const std::string kOutputSignature = kOutputKeywords + "stats: Optional[dict] = None) -> Optional[str]";
const std::string kDoorSignature =
    kOutputKeywords + "stats: Optional[Union[dict, str]] = None, command: Optional[str] = None) -> Optional[str]";

const std::string kMergeHeadersDoc =
    "merge_headers: when true, the unified header also declares the INFO, FORMAT, FILTER, ALT and\n"
    "contig lines that the other inputs and the unified records use; by default (False) it is the\n"
    "header donor's alone.";
const std::string kCompressionKeywordsDoc =
    "threads: the number of workers compressing blocks, written in order; the bytes are the same for\n"
    "every count, and 1 (the default) starts no thread.\n" +
    kLevelsDoc +
    "index: \"tbi\" or \"csi\" also writes the tabix index beside the compressed file (its path plus\n"
    "\".tbi\" or \".csi\"), built while compressing, the same as tabix -p vcf (--csi) writes; None\n"
    "(the default) writes none. An earlier index beside the file is removed either way. Records that\n"
    "tabix could not index (a chromosome's records apart, positions going down, a position past\n"
    "2^29 in a tbi) raise ValueError naming the line, and nothing is written.";
const std::string kSortKeywordsDoc = kCompressionKeywordsDoc + "\n" + kSortOrderDoc;
const std::string kOutputKeywordsDoc =
    kMergeHeadersDoc + "\n" + kSortKeywordsDoc +
    "\nsample: renames the header's one sample column (ValueError, before anything is written, when the\n"
    "header has not exactly one); None (the default) keeps the name the caller wrote.\n"
    "header_lines: \"##\" lines (without line ends) added to the header just before #CHROM.\n"
    "stats: a dict the run fills in place with its statistics: per input what was read, kept and left\n"
    "out by reason; the output's records by SVTYPE and chromosome, and its size; seconds per step.\n"
    "A failed run leaves the dict as it was.";
const std::string kDoorKeywordsDoc =
    kOutputKeywordsDoc +
    " A path (str) instead gets that document as JSON, with MultiQC's files\n"
    "beside it (the path less .json, then .summary_mqc.json, .sources_mqc.json, .svtypes_mqc.json;\n"
    "none for a device or FIFO, which gets the document alone): outputs of the run, checked with the\n"
    "others and put in place once the compressed file is.\n"
    "command: the command line of the merivane run this is, which its statistics record. Such a run\n"
    "keeps no plain file: an output_path naming a stream (\"-\" for standard output, a device, a FIFO)\n"
    "gets the compressed VCF itself, and nothing to unify raises ValueError before anything is written.";

}  // namespace merivane::binding
