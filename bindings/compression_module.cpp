// Merivane.compression: sorting a VCF header-first and then by chromosome
// and position, and writing it as BGZF.
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compression/bgzf.hpp"
#include "compression/gnu_sort.hpp"
#include "compression/sort_and_compress.hpp"
#include "compression/sorting.hpp"
#include "platform/overrides.hpp"
#include "support.hpp"

namespace py = pybind11;
namespace core = merivane::compression;
using namespace merivane::binding;

namespace {

ModuleFunctions* registry = nullptr;

// GNU sort as the module finds it now: the core's lookup, or a replaced
// `_gnu_sort_path` called with the GIL (the finder may run without it).
core::SortOverrides sort_overrides() {
    if (registry->intact("_gnu_sort_path")) return {};
    return {with_gil(*registry, "_gnu_sort_path",
                     [](py::handle path) { return optional<path_text>(path, "_gnu_sort_path()"); })};
}

// Runs `work` without the GIL, an unknown engine named as the caller gave it.
template <class Work>
auto naming_engine(py::handle engine, Work&& work) {
    try {
        return without_gil(std::forward<Work>(work));
    } catch (const core::UnknownSortEngine&) {
        throw py::value_error("Unknown sort engine: " + py::repr(engine).cast<std::string>());
    }
}

py::object position_to_int(const core::Position& position) {
    if (position.magnitude == 0) return py::int_(position.value);
    // Through a Decimal: int() of a text past the host's limit on digits is
    // refused, int() of a Decimal is not.
    const std::string text = (position.magnitude < 0 ? "-" : "") + std::string(position.digits);
    return py::int_(py::module_::import("decimal").attr("Decimal")(text));
}

py::list list_of(const std::vector<py::object>& objects, const std::vector<std::size_t>& which, py::list out) {
    for (const std::size_t i : which) out.append(objects[i]);
    return out;
}

py::bytes bgzf_block(py::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    const std::string block = core::bgzf_block(std::string_view(static_cast<const char*>(view.buf), view.len));
    return py::bytes(block);
}

py::tuple split_header(py::handle lines) {
    const LinesView input(lines, "lines");
    const core::LineSplit split = core::split_header(input.views());
    return py::make_tuple(list_of(input.objects(), split.header, py::list()),
                          list_of(input.objects(), split.records, py::list()));
}

py::tuple sort_key(py::handle line) {
    const core::SortKey key = core::sort_key(text_view(line, "line"));
    return py::make_tuple(to_str(key.chromosome), position_to_int(key.position), line);
}

py::list sort_vcf_lines(py::handle lines, py::handle engine) {
    const std::optional<std::string> engine_name = optional<require_text>(engine, "engine");
    const LinesView input(lines, "lines");

    // The in-memory engine hands back the very objects it was given; only a
    // line that lacks its "\n" is replaced by one that has it.
    std::vector<py::object> objects = input.objects();
    std::vector<std::string_view> views = input.views();
    for (std::size_t i = 0; i < views.size(); ++i) {
        if (!core::lacks_terminator(views[i])) continue;
        objects[i] = py::reinterpret_steal<py::object>(PyUnicode_Concat(objects[i].ptr(), py::str("\n").ptr()));
        if (!objects[i]) throw py::error_already_set();
        views[i] = text_view(objects[i], "lines");
    }

    const core::SortPlan plan = naming_engine(engine, [&] { return core::plan_sort(views, engine_name); });
    py::list sorted = list_of(objects, plan.split.header, py::list());
    if (plan.engine == core::SortEngine::InMemory) return list_of(objects, plan.split.records, sorted);

    // GNU sort through the function bound now.
    const py::object records = list_of(objects, plan.split.records, py::list());
    for (py::handle line : registry->attr("_sort_records_with_gnu_sort")(records)) sorted.append(line);
    return sorted;
}

py::object write_bgzf(py::handle source_path, py::handle destination_path, py::handle threads,
                      py::handle compresslevel, py::handle index) {
    const core::CompressionSettings settings = compression_settings(threads, compresslevel, index);
    const std::string source = path_text(source_path, "source_path");
    const std::string destination = path_text(destination_path, "destination_path");
    without_gil([&] { core::write_bgzf(source, destination, settings); });
    return py::reinterpret_borrow<py::object>(destination_path);
}

py::object sort_and_compress(py::handle vcf_file_path, py::handle destination_path, py::handle keep_plain,
                             py::handle engine, py::handle threads, py::handle compresslevel, py::handle index,
                             py::handle sort_order) {
    const core::CompressionSettings settings = compression_settings(threads, compresslevel, index, sort_order);
    const std::string path = path_text(vcf_file_path, "vcf_file_path");
    const std::optional<std::string> destination = optional<path_text>(destination_path, "destination_path");
    const bool keep = truthy(keep_plain);
    std::optional<std::string> engine_name = optional<require_text>(engine, "engine");
    if (!engine_name && !registry->intact("gnu_sort_available")) {
        const bool available = truthy(registry->attr("gnu_sort_available")());
        engine_name = std::string(available ? core::kGnuSort : core::kPythonSort);
    }
    const std::string written = naming_engine(engine, [&, overrides = sort_overrides()] {
        return core::sort_and_compress(path, destination, keep, engine_name, settings, overrides);
    });
    if (destination && !destination->empty()) return py::reinterpret_borrow<py::object>(destination_path);
    return to_path_str(written);
}

void define_sorting(py::module_ m) {
    define(m, &split_header,
           doc("split_header(lines: Iterable[str]) -> Tuple[List[str], List[str]]",
               "Split lines into the header lines (starting with \"#\", wherever they stand) and the records,\n"
               "both in input order; blank lines are dropped."));
    define(m, &sort_key,
           doc("_sort_key(line: str) -> Tuple[str, int, str]",
               "Sort key of a record: its chromosome, its POS as an integer (0 with a warning when it is\n"
               "not one) and the whole line."));
    define(m, &sort_vcf_lines,
           doc("sort_vcf_lines(lines: Iterable[str], engine: Optional[str] = None) -> List[str]",
               "Header lines first, then the records by chromosome, position and whole line, sorted in\n"
               "memory (PYTHON_SORT, the default) or by GNU sort (GNU_SORT)."));
}

// GNU sort's finder and what calls it, looked up by name at call time.
void define_gnu_sort() {
    registry->def([] { return optional_str(without_gil(core::gnu_sort_path)); },
                  doc("_gnu_sort_path() -> Optional[str]",
                      "Full path of the GNU sort found on PATH, or None when there is none."));
    registry->def(
        [] {
            return without_gil([overrides = sort_overrides()] {
                       return merivane::run_step(overrides.gnu_sort_path, core::gnu_sort_path);
                   }).has_value();
        },
        doc("gnu_sort_available() -> bool", "Whether a GNU sort is installed on PATH."), {"_gnu_sort_path"});
    registry->def(
        [](py::handle records) {
            const LinesView input(records, "records");
            const merivane::LineBuffer sorted = without_gil([&, overrides = sort_overrides()] {
                return core::sort_records_with_gnu_sort(input.views(), overrides);
            });
            return to_str_list(sorted.lines());
        },
        doc("_sort_records_with_gnu_sort(records: List[str]) -> List[str]",
            "Sort records with GNU sort -k1,1 -k2,2n under LC_ALL=C; each comes back ending in a line feed."),
        {"_gnu_sort_path"});
}

void define_files(py::module_ m) {
    define(m, &bgzf_block, doc("_bgzf_block(data: bytes) -> bytes", "One BGZF block holding data."));
    define(m, &write_bgzf,
           doc("write_bgzf(source_path: str, destination_path: str, *, threads: int = 1, " + kLevelKeyword +
                   ", index: Optional[str] = None) -> str",
               "Compress a file as BGZF, ending it with the BGZF end-of-file marker; returns destination_path.",
               kCompressionKeywordsDoc));
    registry->def(&sort_and_compress,
                  doc("sort_and_compress(vcf_file_path: str, destination_path: Optional[str] = None, keep_plain: bool "
                      "= False, engine: Optional[str] = None, *, threads: int = 1, " +
                          kLevelKeyword + ", index: Optional[str] = None, sort_order: str = \"text\") -> str",
                      "Sort a VCF and write it BGZF-compressed to destination_path (default: the input path plus\n"
                      "\".gz\"), removing the plain input unless keep_plain; returns the destination.",
                      kSortKeywordsDoc),
                  {"gnu_sort_available", "_gnu_sort_path"});
}

}  // namespace

PYBIND11_MODULE(compression, m) {
    const ModuleSetup setup(m, "Sort a VCF header-first, then by chromosome and position, and write it as BGZF for "
                               "tabix.");
    m.attr("GNU_SORT") = py::str(std::string(core::kGnuSort));
    m.attr("PYTHON_SORT") = py::str(std::string(core::kPythonSort));
    m.attr("_UNCOMPRESSED_BLOCK_SIZE") = core::kUncompressedBlockSize;
    m.attr("_BGZF_EOF") = py::bytes(std::string(core::kBgzfEof));
    // The level's default and range, read by the merivane command.
    m.attr("_DEFAULT_LEVEL") = core::kDefaultLevel;
    m.attr("_LEVELS") = py::make_tuple(core::kMinLevel, core::kMaxLevel);

    define_sorting(m);
    registry = &ModuleFunctions::create(m);
    define_gnu_sort();
    define_files(m);
}
