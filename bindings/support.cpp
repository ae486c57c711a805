#include "support.hpp"

#include <cstdint>
#include <limits>

#include "platform/error.hpp"
#include "platform/log.hpp"

namespace merivane::binding {

namespace {

py::object text_or_replacement(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(decoded);
}

py::list command_list(const std::vector<std::string>& cmd) {
    py::list out;
    for (const auto& part : cmd) out.append(text_or_replacement(part));
    return out;
}

void attach_notes(py::object& exception, const Error& error) {
    if (error.notes().empty() || !py::hasattr(exception, "add_note")) return;
    for (const auto& note : error.notes()) exception.attr("add_note")(text_or_replacement(note));
}

void raise_object(py::object exception, const Error& error) {
    attach_notes(exception, error);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
}

py::object make_exception(const Error& error) {
    const py::str message = text_or_replacement(error.what());
    if (const auto* e = dynamic_cast<const OSError*>(&error)) {
        // OSError(errno, strerror, filename) picks the subclass itself
        // (FileNotFoundError, PermissionError, IsADirectoryError, ...).
        py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError);
        return os_error(e->errnum(), e->strerror(), text_or_replacement(e->filename()));
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
        return py::module_::import("subprocess").attr("CalledProcessError")(e->returncode(), command_list(e->cmd()));
    }
    if (const auto* e = dynamic_cast<const TimeoutExpired*>(&error)) {
        return py::module_::import("subprocess").attr("TimeoutExpired")(command_list(e->cmd()), e->timeout_seconds());
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

void translate(std::exception_ptr pointer) {
    try {
        if (pointer) std::rethrow_exception(pointer);
    } catch (const Error& error) {
        raise_object(make_exception(error), error);
    }
}

py::object to_python(const LogArg& arg) {
    struct Visitor {
        py::object operator()(const NoneValue&) const { return py::none(); }
        py::object operator()(std::int64_t value) const { return py::int_(value); }
        py::object operator()(const std::string& value) const { return text_or_replacement(value); }
        py::object operator()(const std::vector<std::string>& values) const {
            py::list out;
            for (const auto& value : values) out.append(text_or_replacement(value));
            return out;
        }
    };
    return std::visit(Visitor{}, arg);
}

// Module-level calls on the root logger, looked up at the time of the event
// so that a host that reconfigures (or patches) logging is honoured.
void forward_to_logging(const LogEvent& event) {
    py::tuple args(event.args.size() + 1);
    args[0] = text_or_replacement(event.format);
    for (std::size_t i = 0; i < event.args.size(); ++i) args[i + 1] = to_python(event.args[i]);
    const char* level = event.level == LogLevel::Warning ? "warning" : "info";
    py::module_::import("logging").attr(level)(*args);
}

}  // namespace

void init_module(py::module_& m) {
    (void)m;
    py::register_local_exception_translator(translate);
    set_log_sink(forward_to_logging);
}

std::string require_text(py::handle value, const char* what) {
    const std::string_view view = text_view(value, what);
    return std::string(view);
}

std::optional<std::string> optional_text(py::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return require_text(value, what);
}

std::string_view text_view(py::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr())) throw py::type_error(std::string(what) + " must be str, not " + type_name(value));
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

std::vector<std::string> text_list(py::handle sequence, const char* what, const char* item_what) {
    reject_lone_text(sequence, what);
    std::vector<std::string> out;
    for (py::handle item : sequence) out.push_back(require_text(item, item_what));
    return out;
}

std::vector<std::string> optional_text_list(py::handle sequence, const char* what, const char* item_what) {
    if (!truthy(sequence)) return {};
    return text_list(sequence, what, item_what);
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

std::optional<bool> tri_state(py::handle value) {
    if (value.is_none()) return std::nullopt;
    return value.ptr() != Py_False;
}

py::str to_str(std::string_view text) {
    PyObject* out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

py::list to_str_list(const std::vector<std::string_view>& lines) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(lines.size()));
    if (list == nullptr) throw py::error_already_set();
    py::list out = py::reinterpret_steal<py::list>(list);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        PyObject* text = PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()), "strict");
        if (text == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), text);
    }
    return out;
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

bool is_original(const py::module_& m, const char* name, const py::handle original) {
    PyObject* current = PyObject_GetAttrString(m.ptr(), name);
    if (current == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = current == original.ptr();
    Py_DECREF(current);
    return same;
}

std::optional<py::object> replacement(py::handle module, const char* name, py::handle original) {
    const auto m = py::reinterpret_borrow<py::module_>(module);
    if (is_original(m, name, original)) return std::nullopt;
    return py::object(m.attr(name));
}

std::string doc(const char* signature, const char* summary, const char* keywords) {
    std::string out(signature);
    for (const char* part : {summary, keywords}) {
        if (part == nullptr) continue;
        out += "\n\n";
        out += part;
    }
    return out;
}

namespace {

// An integer keyword as the host reads one (operator.index), within
// [low, high]; the host's own TypeError for anything that is no integer.
int bounded_int(py::handle value, const char* name, long low, long high) {
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long result = PyLong_AsLongAndOverflow(number.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (overflow == 0 && result < low)) {
        throw py::value_error(std::string(name) + " must be at least " + std::to_string(low) + ", not " +
                              std::string(py::repr(number)));
    }
    if (overflow > 0 || result > high) {
        throw py::value_error(std::string(name) + " must be at most " + std::to_string(high) + ", not " +
                              std::string(py::repr(number)));
    }
    return static_cast<int>(result);
}

}  // namespace

compression::CompressionSettings compression_settings(py::handle threads, py::handle compresslevel, py::handle index) {
    compression::CompressionSettings settings;
    settings.threads = bounded_int(threads, "threads", 1, std::numeric_limits<int>::max());
    settings.level = bounded_int(compresslevel, "compresslevel", 0, 9);
    if (!index.is_none()) {
        if (!PyUnicode_Check(index.ptr())) {
            throw py::type_error("index must be str or None, not " + type_name(index));
        }
        const std::string_view format = text_view(index, "index");
        if (format == "tbi") {
            settings.index = compression::IndexFormat::Tbi;
        } else if (format == "csi") {
            settings.index = compression::IndexFormat::Csi;
        } else {
            throw py::value_error("index must be None, 'tbi' or 'csi', not " + std::string(py::repr(index)));
        }
    }
    return settings;
}

unifier::OutputSettings output_settings(py::handle merge_headers, py::handle threads, py::handle compresslevel,
                                        py::handle index) {
    unifier::OutputSettings settings;
    settings.merge_headers = truthy(merge_headers);
    settings.compression = compression_settings(threads, compresslevel, index);
    return settings;
}

py::dict changed_keywords(const compression::CompressionSettings& settings) {
    const compression::CompressionSettings defaults;
    py::dict out;
    if (settings.threads != defaults.threads) out["threads"] = settings.threads;
    if (settings.level != defaults.level) out["compresslevel"] = settings.level;
    if (settings.index) out["index"] = *settings.index == compression::IndexFormat::Tbi ? "tbi" : "csi";
    return out;
}

py::dict changed_keywords(const unifier::OutputSettings& settings) {
    py::dict out;
    if (settings.merge_headers) out["merge_headers"] = true;
    for (const auto& [key, value] : changed_keywords(settings.compression)) out[key] = value;
    return out;
}

#define MERIVANE_COMPRESSION_KEYWORDS                                                                   \
    "threads: the number of workers compressing blocks, written in order; the bytes are the same for\n" \
    "every count, and 1 (the default) starts no thread.\n"                                             \
    "compresslevel: the deflate level, 0 (stored) to 9 (smallest, the default), as gzip names it.\n"   \
    "index: \"tbi\" or \"csi\" also writes the tabix index beside the compressed file (its path plus\n" \
    "\".tbi\" or \".csi\"), built while compressing; None (the default) writes none."

const char* const kCompressionKeywordsDoc = MERIVANE_COMPRESSION_KEYWORDS;
const char* const kOutputKeywordsDoc =
    "merge_headers: when true, the unified header also declares the INFO, FORMAT, FILTER, ALT and\n"
    "contig lines that the other inputs and the unified records use; by default (False) it is the\n"
    "header donor's alone.\n" MERIVANE_COMPRESSION_KEYWORDS;

#undef MERIVANE_COMPRESSION_KEYWORDS

}  // namespace merivane::binding
