// What the four extension modules share: the translation of core errors into
// the host's exceptions, the bridge from core log events to the root logger,
// and conversions between Python values and core types.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compression/settings.hpp"
#include "unifier/pipeline.hpp"

namespace merivane::binding {

namespace py = pybind11;

// Registers the error translation and the logging bridge for module `m`.
// Each module body also holds a `py::options` with
// disable_function_signatures() for as long as it defines functions, since
// the docstrings carry their own annotated signature line.
void init_module(py::module_& m);

// The UTF-8 text of a Python str; TypeError naming `what` for anything else.
std::string require_text(py::handle value, const char* what);
// None gives nullopt; otherwise as require_text.
std::optional<std::string> optional_text(py::handle value, const char* what);
// A view of a str's UTF-8 text, valid while the object lives.
std::string_view text_view(py::handle value, const char* what);

// The name of a value's type, as the host's messages spell it.
std::string type_name(py::handle value);

// Refuses a lone str or bytes where a sequence of str is wanted: iterated, it
// would give one character per item.
void reject_lone_text(py::handle value, const char* what);

// The texts of a sequence of str, refusing a lone text; an item that is no
// str is named `item_what` in the TypeError.
std::vector<std::string> text_list(py::handle sequence, const char* what, const char* item_what);
// The same, with a false value (None, an empty sequence) giving no texts.
std::vector<std::string> optional_text_list(py::handle sequence, const char* what, const char* item_what);

// bool(value), with the host's errors.
bool truthy(py::handle value);

// An Optional[bool] as callers give it: None unset, the False object false,
// anything else true.
std::optional<bool> tri_state(py::handle value);

// A Python str from UTF-8 the core produced (already known to be valid).
py::str to_str(std::string_view text);
py::list to_str_list(const std::vector<std::string_view>& lines);

// Python lines (any iterable of str) seen as core line views. The objects
// are held so the views stay valid for the lifetime of this value.
class LinesView {
public:
    explicit LinesView(py::handle iterable, const char* what = "lines");
    const std::vector<std::string_view>& views() const noexcept { return views_; }
    const std::vector<py::object>& objects() const noexcept { return objects_; }

private:
    std::vector<py::object> objects_;
    std::vector<std::string_view> views_;
};

// Whether the attribute `name` of module `m` is still the object it was when
// the module was loaded (not patched by a caller).
bool is_original(const py::module_& m, const char* name, const py::handle original);

// The object now bound to `name` on `module`, or nullopt while it is still
// `original`.
std::optional<py::object> replacement(py::handle module, const char* name, py::handle original);

// A docstring: the annotated signature line, then the summary and the
// description of the keywords, if any.
std::string doc(const char* signature, const char* summary = nullptr, const char* keywords = nullptr);

// The keyword-only parameters of the functions that write a compressed file
// (threads, compresslevel, index) and of those that also unify
// (merge_headers), read as given: ValueError for a value out of range,
// TypeError for one of the wrong type.
compression::CompressionSettings compression_settings(py::handle threads, py::handle compresslevel, py::handle index);
unifier::OutputSettings output_settings(py::handle merge_headers, py::handle threads, py::handle compresslevel,
                                        py::handle index);

// The settings that differ from their defaults, as keyword arguments for a
// call to a replaced function: at the defaults, the call is made exactly as
// it always was.
py::dict changed_keywords(const compression::CompressionSettings& settings);
py::dict changed_keywords(const unifier::OutputSettings& settings);

// Descriptions of those keywords, for the docstrings.
extern const char* const kCompressionKeywordsDoc;
extern const char* const kOutputKeywordsDoc;

}  // namespace merivane::binding
