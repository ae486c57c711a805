// Merivane.repeats: the repeat filter, its two intersection engines and the
// catalog and record-span helpers they share.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/strings.hpp"
#include "platform/text_reader.hpp"
#include "repeats/engines.hpp"
#include "repeats/intervals.hpp"
#include "repeats/repeat_filter.hpp"
#include "support.hpp"

namespace py = pybind11;

namespace {

using merivane::character_count;
using merivane::first_characters;
using namespace merivane::binding;
namespace repeats = merivane::repeats;

constexpr const char* kModuleDoc =
    "Restrict a tandem-repeat VCF to a catalog of loci before unification.\n"
    "\n"
    "A repeat caller genotypes its whole catalog of loci; filter_repeats_vcf keeps the records that\n"
    "overlap a disease-locus BED (the shipped one is at default_repeat_catalog_path()), using\n"
    "bedtools where it is installed and a built-in streaming intersection otherwise.";

// A repeat VCF as a read-only text stream on the core's reader, so a Python
// caller streams a gzip or plain file the way the built-in engine does.
class VcfTextStream {
public:
    explicit VcfTextStream(const std::string& path)
        : name_(path), reader_(std::make_unique<merivane::TextReader>(path, merivane::Compression::DetectByMagic)) {}

    const std::string& name() const { return name_; }
    bool closed() const { return reader_ == nullptr; }
    void close() { reader_.reset(); }

    py::str readline(std::int64_t size) {
        merivane::TextReader& reader = open_reader();
        if (pending_.find('\n') == std::string::npos) {
            std::string line;
            if (reader.next_line(line)) pending_ += line;
        }
        std::size_t length = pending_.find('\n');
        length = length == std::string::npos ? pending_.size() : length + 1;
        if (size >= 0) length = std::min(length, first_characters(pending_, static_cast<std::size_t>(size)).size());
        return take(length);
    }

    py::str read(std::int64_t size) {
        merivane::TextReader& reader = open_reader();
        if (size < 0) {
            pending_ += reader.read_all();
            return take(pending_.size());
        }
        std::string line;
        while (character_count(pending_) < static_cast<std::size_t>(size) && reader.next_line(line)) pending_ += line;
        return take(first_characters(pending_, static_cast<std::size_t>(size)).size());
    }

    py::list readlines(std::int64_t hint) {
        py::list lines;
        std::size_t total = 0;
        for (py::str line = readline(-1); PyUnicode_GetLength(line.ptr()) > 0; line = readline(-1)) {
            lines.append(line);
            total += static_cast<std::size_t>(PyUnicode_GetLength(line.ptr()));
            if (hint > 0 && total >= static_cast<std::size_t>(hint)) break;
        }
        return lines;
    }

private:
    merivane::TextReader& open_reader() {
        if (!reader_) throw py::value_error("I/O operation on closed file.");
        return *reader_;
    }

    py::str take(std::size_t bytes) {
        py::str out = to_str(std::string_view(pending_).substr(0, bytes));
        pending_.erase(0, bytes);
        return out;
    }

    std::string name_;
    std::unique_ptr<merivane::TextReader> reader_;
    std::string pending_;  // decoded text read ahead of what was handed out
};

// -1 for None, as Python's file objects take it.
std::int64_t size_argument(py::handle size) { return size.is_none() ? -1 : to_int64(size); }

ModuleFunctions* registry = nullptr;

py::object span_to_python(const std::optional<repeats::RecordSpan>& span) {
    if (!span) return py::none();
    return py::make_tuple(to_str(span->chromosome), span->start, span->end);
}

py::dict intervals_to_python(const repeats::CatalogIntervals& catalog) {
    py::dict table;
    for (const auto& [chromosome, indexed] : catalog.chromosomes()) {
        py::list pairs;
        for (const auto& interval : indexed.intervals) pairs.append(py::make_tuple(interval.start, interval.end));
        table[to_str(chromosome)] = pairs;
    }
    return table;
}

// Each item unpacked as Python's `for start, end in intervals` would.
std::vector<repeats::Interval> intervals_from_python(py::handle intervals) {
    std::vector<repeats::Interval> out;
    for (py::handle item : py::iter(intervals)) {
        py::object bounds[2];
        std::size_t count = 0;
        for (py::handle bound : py::iter(item)) {
            if (count == 2) throw py::value_error("too many values to unpack (expected 2)");
            bounds[count++] = py::reinterpret_borrow<py::object>(bound);
        }
        if (count != 2) {
            throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(count) + ")");
        }
        out.push_back({to_int64(bounds[0]), to_int64(bounds[1])});
    }
    return out;
}

// The filter's steps as the module has them now: a replaced one is called
// through the module (with the GIL, which the filter otherwise releases).
repeats::FilterOverrides filter_overrides() {
    repeats::FilterOverrides overrides;
    const auto through = [](auto& step, const char* name, auto read) {
        if (registry->replaced(name)) step = with_gil(*registry, name, read);
    };
    const auto ignore = [](const py::object&) {};
    through(overrides.bedtools_available, "bedtools_available", truthy);
    through(overrides.intersect_with_bedtools, "_intersect_with_bedtools", ignore);
    through(overrides.intersect_builtin, "_intersect_in_python", ignore);
    through(overrides.filtered_repeat_path, "_filtered_repeat_path",
            [](py::handle path) { return path_text(path, "_filtered_repeat_path result"); });
    return overrides;
}

// An engine called on its own, paths as given. It refuses what the filter
// refuses: an output naming an input would be emptied before it is read.
template <class Engine>
auto intersect(Engine engine) {
    return [engine](py::object repeat_path, py::object bed_path, py::object output_path) {
        const std::string repeat = path_text(repeat_path, "repeat_path");
        const std::string bed = path_text(bed_path, "bed_path");
        const std::string output = path_text(output_path, "output_path");
        without_gil([&] { engine(repeat, bed, output, false); });
    };
}

void define_stream(py::module_ m) {
    py::class_<VcfTextStream>(m, "_VcfTextStream",
                              "A repeat VCF read as text: lines with their \"\\n\", gzip or plain by its first bytes.")
        .def_property_readonly("name", &VcfTextStream::name)
        .def_property_readonly("closed", &VcfTextStream::closed)
        .def("readable", [](const VcfTextStream&) { return true; })
        .def("readline", [](VcfTextStream& s, py::object size) { return s.readline(size_argument(size)); },
             py::arg("size") = -1)
        .def("read", [](VcfTextStream& s, py::object size) { return s.read(size_argument(size)); },
             py::arg("size") = -1)
        .def("readlines", [](VcfTextStream& s, py::object hint) { return s.readlines(size_argument(hint)); },
             py::arg("hint") = -1)
        .def("close", &VcfTextStream::close)
        .def("__iter__",
             [](py::object self) {
                 if (self.cast<const VcfTextStream&>().closed()) throw py::value_error("I/O operation on closed file.");
                 return self;
             })
        .def("__next__",
             [](VcfTextStream& s) {
                 py::str line = s.readline(-1);
                 if (PyUnicode_GetLength(line.ptr()) == 0) throw py::stop_iteration();
                 return line;
             })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](VcfTextStream& s, py::args) {
            s.close();
            return false;
        });
    define(m, [](py::object path) { return VcfTextStream(path_text(path, "path")); },
           doc("_open_vcf_text(path: str) -> TextIO",
               "Open a repeat VCF as UTF-8 text, gunzipping it when it starts with the gzip magic."));
}

// The catalog and record-span helpers the engines share.
void define_helpers(py::module_ m) {
    define(
        m,
        [module = py::handle(m)] {
            return to_path_str(repeats::bundled_catalog_path(path_text(module.attr("__file__"), "__file__")));
        },
        doc("default_repeat_catalog_path() -> str", "Path to the bundled hg38 pathogenic-STR catalog."));
    define(
        m,
        [](py::object bed_path) {
            const std::string path = path_text(bed_path, "bed_path");
            return intervals_to_python(without_gil([&] { return repeats::read_bed_intervals(path); }));
        },
        doc("_read_bed_intervals(bed_path: str) -> Dict[str, List[Tuple[int, int]]]",
            "Catalog intervals per chromosome, sorted by start."));
    define(m, [](py::object line) { return span_to_python(repeats::record_span(text_view(line, "line"))); },
           doc("_record_span(line: str) -> Optional[Tuple[str, int, int]]",
               "(chromosome, start, end) of a VCF record, 0-based and half-open."));
    define(
        m,
        [](py::object info) -> py::object {
            const auto end = repeats::info_end(text_view(info, "info"));
            return end ? py::object(py::int_(*end)) : py::none();
        },
        doc("_info_end(info: str) -> Optional[int]", "The integer of the first END= entry of a VCF INFO column."));
    define(
        m,
        [](py::object intervals, py::object start, py::object end) {
            const auto list = intervals_from_python(intervals);
            return repeats::overlaps(list, to_int64(start), to_int64(end));
        },
        doc("_overlaps(intervals: Sequence[Tuple[int, int]], start: int, end: int) -> bool",
            "Whether [start, end) shares a base with any interval of a list sorted by start."));
}

// The filter and its steps, looked up by name at call time.
void define_filter() {
    registry->def([] { return without_gil(repeats::bedtools_available); },
                  doc("bedtools_available() -> bool", "Whether a ``bedtools`` binary is on PATH."));
    registry->def(
        intersect(repeats::intersect_with_bedtools),
        doc("_intersect_with_bedtools(repeat_path: str, bed_path: str, output_path: str) -> None",
            "Write the header and the catalog-overlapping records of the repeat VCF with bedtools intersect."));
    registry->def(
        intersect(repeats::intersect_builtin),
        doc("_intersect_in_python(repeat_path: str, bed_path: str, output_path: str) -> None",
            "Write the header and the catalog-overlapping records of the repeat VCF, streaming it."));
    registry->def(
        [](py::object full_repeat_path) {
            return to_path_str(repeats::filtered_repeat_path(path_text(full_repeat_path, "full_repeat_path")));
        },
        doc("_filtered_repeat_path(full_repeat_path: str) -> str",
            "Default output path: the input's name up to .vcf, with _filtered.vcf, in the same directory."));
    registry->def(
        [](py::object full_repeat_path, py::object repeat_bed_file_path, py::object engine, py::object output_path,
           py::object require_catalog_chromosomes) {
            const auto full = optional<path_text>(full_repeat_path, "full_repeat_path");
            const auto bed = optional<path_text>(repeat_bed_file_path, "repeat_bed_file_path");
            const auto engine_name = optional<require_text>(engine, "engine");
            const auto output = optional<path_text>(output_path, "output_path");
            const bool required = truthy(require_catalog_chromosomes);
            const repeats::FilterOverrides overrides = filter_overrides();
            return optional_str(without_gil([&] {
                return repeats::filter_repeats_vcf(full, bed, engine_name, output, overrides, required);
            }));
        },
        doc("filter_repeats_vcf(full_repeat_path: Optional[str] = None, repeat_bed_file_path: Optional[str] = None, "
            "engine: Optional[str] = None, output_path: Optional[str] = None, *, "
            "require_catalog_chromosomes: bool = False) -> Optional[str]",
            "Intersect the repeat VCF with the catalog BED; returns the filtered path.",
            "When the repeat VCF has records and none lies on a chromosome the catalog names (GRCh37's \"1\"\n"
            "against hg38's \"chr1\", say), a WARNING is logged and no record is kept; with\n"
            "require_catalog_chromosomes=True that raises ValueError instead, before anything is written;\n"
            "then a path that names no file is an error too (not a WARNING), and so is a catalog line that is\n"
            "no interval (by default skipped)."),
        {"bedtools_available", "_intersect_with_bedtools", "_intersect_in_python", "_filtered_repeat_path"});
}

}  // namespace

PYBIND11_MODULE(repeats, m) {
    const ModuleSetup setup(m, kModuleDoc);
    m.attr("BEDTOOLS") = std::string(repeats::kBedtools);
    m.attr("BUILTIN") = std::string(repeats::kBuiltin);
    m.attr("_BUNDLED_CATALOG") = std::string(repeats::kBundledCatalog);
    registry = &ModuleFunctions::create(m);
    define_helpers(m);
    define_stream(m);
    define_filter();
}
