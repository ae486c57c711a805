// What the four extension modules share: the translation of core errors into
// the host's exceptions, the bridge from core log events to the root logger,
// Ctrl-C, conversions between Python values and core types, and the registry
// of the functions a caller may replace.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/front_doors.hpp"
#include "compression/settings.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::binding {

namespace py = pybind11;

// Held by a module's body: gives the module its docstring, registers the
// error translation (local to that module), the logging bridge and the
// interrupt check, and keeps pybind11 from writing signature lines, since the
// docstrings carry their own.
class ModuleSetup {
public:
    ModuleSetup(py::module_ module, const char* doc);

private:
    py::options options_;
};

// ---- definitions -------------------------------------------------------------

// The signature line a docstring begins with, "name(a: T, b: T = default, *,
// c: T = default) -> R", read for the name, the parameters with their
// defaults (Python literals) and where the keyword-only ones begin. Given to
// a def, it declares those parameters.
struct Signature {
    explicit Signature(const std::string& doc);
    std::string name;
    std::vector<std::pair<std::string, py::object>> parameters;  // a null object: no default
    std::size_t keyword_only = SIZE_MAX;
};

}  // namespace merivane::binding

template <>
struct pybind11::detail::process_attribute<merivane::binding::Signature>
    : process_attribute_default<merivane::binding::Signature> {
    static void init(const merivane::binding::Signature& signature, function_record* record);
};

namespace merivane::binding {

// Defines `f` on `module` as its docstring's signature line spells it.
template <class Func>
std::string define(py::module_ module, Func&& f, const std::string& doc) {
    const Signature signature(doc);
    module.def(signature.name.c_str(), std::forward<Func>(f), doc.c_str(), signature);
    return signature.name;
}

// A docstring: the annotated signature line, the summary, then the
// description of the keywords, if any.
std::string doc(const std::string& signature, const char* summary, std::string_view keywords = {});

// ---- functions looked up at call time ----------------------------------------

// The functions of a module that the package looks up by name at call time,
// so that a caller who replaces one (a test's monkeypatch) is honoured; while
// a function and all it reaches are the ones loaded, the work runs in the core.
class ModuleFunctions {
public:
    // Published on `module` for the package's other modules (see of()).
    static ModuleFunctions& create(py::module_ module);
    static const ModuleFunctions& of(const py::module_& module);

    // Defines a function as define() does, with the names of this module it looks up.
    template <class Func>
    void def(Func&& f, const std::string& doc, std::initializer_list<const char*> reaches = {}) {
        const std::string name = define(module_, std::forward<Func>(f), doc);
        std::vector<Reach> own;
        for (const char* reached : reaches) own.push_back({this, reached});
        add(name.c_str(), std::move(own));
    }
    // Binds `name` to another module's function of that name, with what it reaches there.
    void import_from(const ModuleFunctions& other, const char* name);

    // The object now bound to `name`, or nullopt while it is the one loaded.
    std::optional<py::object> replaced(const char* name) const;
    // Whether `name` and everything it reaches are still the ones loaded.
    bool intact(const char* name) const;
    // Whether everything `name` reaches is still the one loaded (a function
    // asks this of itself: its own binding does not matter once called).
    bool reaches_intact(const char* name) const;
    py::object attr(const char* name) const { return module_.attr(name); }

private:
    struct Reach {
        const ModuleFunctions* functions;
        std::string name;
    };
    struct Entry {
        std::string name;
        py::object loaded;
        std::vector<Reach> reaches;
    };
    explicit ModuleFunctions(py::module_ module) : module_(std::move(module)) {}
    void add(const char* name, std::vector<Reach> reaches);
    const Entry& entry(const char* name) const;

    py::module_ module_;
    std::vector<Entry> entries_;
};

// The GIL released for work in the core, counted so that the interpreter's
// exit can stop that work and wait for it: a thread taking the GIL back once
// the interpreter finalizes is ended by an unwind that C++ cannot let pass.
class GilReleased {
public:
    GilReleased();
    ~GilReleased();
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// Runs `work`, which calls no Python, with the GIL released; core log events
// and the interrupt check take it back for themselves.
template <class Work>
auto without_gil(Work&& work) {
    const GilReleased unlocked;
    return work();
}

// ---- values ----------------------------------------------------------------

// The UTF-8 text of a str; TypeError naming `what` for anything else. A view
// stays valid while the object lives.
std::string_view text_view(py::handle value, const char* what);
inline std::string require_text(py::handle value, const char* what) { return std::string(text_view(value, what)); }
// A file path, encoded as os.fsencode does; ValueError("embedded null byte")
// for a NUL, as open() refuses it, before any file is touched.
std::string path_text(py::handle value, const char* what);

// None gives nullopt; anything else is read by `Read`.
template <std::string (*Read)(py::handle, const char*)>
std::optional<std::string> optional(py::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return Read(value, what);
}

// An integer as the host reads one (operator.index), with its errors.
std::int64_t to_int64(py::handle value);
// The name of a value's type, as the host's messages spell it.
std::string type_name(py::handle value);
// Refuses a lone str or bytes where a sequence of str is wanted: iterated, it
// would give one character per item.
void reject_lone_text(py::handle value, const char* what);
// FILTER tokens: none for a false value (None, an empty sequence).
std::vector<std::string> filter_tokens(py::handle tokens, const char* what);
// The tokens as the options record keeps them: a tuple as given, any other
// sequence made one.
py::tuple filter_token_tuple(py::handle tokens, const char* what);

// bool(value), with the host's errors.
bool truthy(py::handle value);
// An Optional[bool] as callers give it: None unset, the False object false,
// anything else true.
inline std::optional<bool> tri_state(py::handle value) {
    return value.is_none() ? std::nullopt : std::optional<bool>(value.ptr() != Py_False);
}

// A UnifyOptions (or any object with its three fields) as core options.
unifier::UnifyOptions core_options(py::handle options);
// mapping.get(key), straight from a dict.
py::object mapping_get(py::handle mapping, py::handle key);

// The inputs of a mapping from input kind to optional path (anything with
// `get`); missing keys are absent inputs.
unifier::StructFiles struct_files(py::handle mapping);
// The inputs of a door or `run`: sv_path, cnv_path, repeat_path, roh_bed_path.
unifier::StructFiles struct_files(const unifier::KindTable<py::handle>& paths);
// Those paths as given, keyed by the kind texts, for a replaced `_unify`.
py::dict struct_files_dict(const unifier::KindTable<py::handle>& paths);

// A str from UTF-8 the core produced; to_str_list: a list of them.
py::str to_str(std::string_view text);
template <class Texts>
py::list to_str_list(const Texts& texts) {
    py::list out(std::size(texts));
    Py_ssize_t i = 0;
    for (const auto& text : texts) PyList_SET_ITEM(out.ptr(), i++, to_str(text).release().ptr());
    return out;
}
// A path as os.fsdecode gives it; optional_str: None for none.
py::str to_path_str(std::string_view path);
inline py::object optional_str(const std::optional<std::string>& path) {
    return path ? py::object(to_path_str(*path)) : py::object(py::none());
}

// A step the core may call without the GIL: the function `name` bound now,
// called with the GIL on the core's paths as str, its result read by `read`.
template <class Read>
auto with_gil(const ModuleFunctions& functions, const char* name, Read read) {
    return [&functions, name, read](const auto&... paths) {
        const py::gil_scoped_acquire gil;
        return read(functions.attr(name)(to_path_str(paths)...));
    };
}

// Python lines (any iterable of str) seen as core line views, the objects
// held so the views stay valid.
class LinesView {
public:
    explicit LinesView(py::handle iterable, const char* what);
    const std::vector<std::string_view>& views() const noexcept { return views_; }
    const std::vector<py::object>& objects() const noexcept { return objects_; }

private:
    std::vector<py::object> objects_;
    std::vector<std::string_view> views_;
};

// ---- output settings ---------------------------------------------------------

// The keywords of the functions that write a compressed file; `order` is
// left at its default when null.
compression::CompressionSettings compression_settings(py::handle threads, py::handle compresslevel, py::handle index,
                                                      py::handle order = {});

// The unifying functions' keyword-only parameters and the statistics the core
// collects for them; not copyable, as the settings point at those statistics.
class RunKeywords {
public:
    RunKeywords(py::handle merge_headers, py::handle threads, py::handle compresslevel, py::handle index,
                py::handle sort_order, py::handle sample, py::handle header_lines, py::handle stats,
                py::handle command = py::handle(Py_None));
    RunKeywords(const RunKeywords&) = delete;
    RunKeywords& operator=(const RunKeywords&) = delete;

    const cli::OutputSettings& settings() const noexcept { return settings_; }
    // The keywords that differ from their defaults, the stats dict included.
    py::dict changed() const;
    // Runs the job in the core without the GIL, filling the caller's stats
    // dict, if any; the written path, or None.
    template <class Work>
    py::object run(Work&& work) const {
        return deliver(without_gil(std::forward<Work>(work)));
    }

    // The job of `run` and `_unify` (`name`): in the core while all it reaches
    // is the one loaded, else through the functions bound now, each given only
    // the settings that differ from their defaults, the outputs checked first.
    py::object unify(const ModuleFunctions& functions, const char* name, const unifier::StructFiles& files,
                     const std::string& output, py::handle struct_files, py::handle output_path,
                     py::handle options) const;

private:
    py::object deliver(const std::optional<std::string>& written) const;

    cli::OutputSettings settings_;
    cli::RunStats stats_;
    py::object dict_;
};

// ---- how the docstrings spell the shared keywords ----------------------------

// The level keyword of a signature line, its default the core's: a
// signature's defaults are the ones Python sees.
extern const std::string kLevelKeyword;
// The keyword-only parameters of the functions that unify, to the end of the
// signature line; the doors' also take a statistics file and a command line.
extern const std::string kOutputSignature;
extern const std::string kDoorSignature;

// Descriptions of those keywords.
extern const std::string kMergeHeadersDoc;
extern const std::string kCompressionKeywordsDoc;
// Those of sort_and_compress: the compression keywords and sort_order.
extern const std::string kSortKeywordsDoc;
extern const std::string kOutputKeywordsDoc;
extern const std::string kDoorKeywordsDoc;

}  // namespace merivane::binding
