#include "repeats/repeat_filter.hpp"

#include <cerrno>
#include <string_view>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/overrides.hpp"
#include "platform/paths.hpp"

namespace merivane::repeats {

namespace {

// The last extension of a file name, as Python's os.path.splitext sees it:
// from the last "." on, unless only dots stand before it (".vcf" is a hidden
// file's name, not an extension).
std::string_view last_extension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    const std::size_t first_other = name.find_first_not_of('.');
    if (first_other == std::string_view::npos || first_other >= dot) return {};
    return name.substr(dot);
}

}  // namespace

std::string filtered_repeat_path(const std::string& full_repeat_path) {
    // Split and joined again as os.path.split and os.path.join do on this
    // system: on Windows a backslash separates too, and a drive letter stays
    // with its directory.
    const SplitPath parts = split_path(full_repeat_path);
    std::string_view name = parts.name;
    for (;;) {
        const std::string_view extension = last_extension(name);
        if (extension.empty()) break;
        name.remove_suffix(extension.size());
        if (extension == ".vcf") break;
    }
    const std::string filtered = std::string(name) + "_filtered.vcf";
    if (parts.directory.empty()) return filtered;
    return join_path(parts.directory, filtered);
}

namespace {

// Whether both inputs are there to filter; a missing one is logged, or an
// error when the catalog is required.
bool inputs_present(const std::optional<std::string>& full_repeat_path,
                    const std::optional<std::string>& repeat_bed_file_path, bool require_catalog_chromosomes) {
    if (!full_repeat_path) {
        log_warning(kFullRepeatsNotGiven, {NoneValue{}});
        return false;
    }
    if (!repeat_bed_file_path) {
        log_warning("Can't filter repeats file with \"%s\". The bed file does not exist", {NoneValue{}});
        return false;
    }
    // A caller that requires the catalog to apply gets no repeat calls for
    // a path that names no file only by an error.
    for (const std::string& path : {*full_repeat_path, *repeat_bed_file_path}) {
        if (require_catalog_chromosomes && !path_exists(path)) throw OSError(ENOENT, path);
    }
    if (!path_exists(*full_repeat_path)) {
        log_warning("%s file doesn't exist", {*full_repeat_path});
        return false;
    }
    if (!path_exists(*repeat_bed_file_path)) {
        log_warning("%s doesn't exist", {*repeat_bed_file_path});
        return false;
    }
    return true;
}

std::string chosen_engine(const std::optional<std::string>& engine, const FilterOverrides& overrides) {
    const std::string chosen(
        engine ? *engine : run_step(overrides.bedtools_available, bedtools_available) ? kBedtools : kBuiltin);
    if (chosen == kBedtools && !run_step(overrides.bedtools_available, bedtools_available)) {
        throw RuntimeError("bedtools was requested to filter the repeats VCF but is not on PATH");
    }
    return chosen;
}

std::optional<IntersectCounts> intersect(const std::string& chosen, const std::string& full, const std::string& bed,
                                         const std::string& out, const FilterOverrides& overrides, bool required) {
    log_info("Filtering %s against %s with the %s engine", {full, bed, chosen});
    const auto& replaced = chosen == kBedtools ? overrides.intersect_with_bedtools : overrides.intersect_builtin;
    if (replaced) {
        replaced(full, bed, out);
        return std::nullopt;
    }
    if (chosen == kBedtools) {
        intersect_with_bedtools(full, bed, out, required);
        return std::nullopt;
    }
    return intersect_builtin(full, bed, out, required);
}

}  // namespace

std::optional<std::string> filter_repeats_vcf(const std::optional<std::string>& full_repeat_path,
                                              const std::optional<std::string>& repeat_bed_file_path,
                                              const std::optional<std::string>& engine,
                                              const std::optional<std::string>& output_path,
                                              const FilterOverrides& overrides, bool require_catalog_chromosomes) {
    if (!inputs_present(full_repeat_path, repeat_bed_file_path, require_catalog_chromosomes)) return std::nullopt;
    const std::string chosen = chosen_engine(engine, overrides);
    const std::string filtered_path = output_path && !output_path->empty()
                                          ? *output_path
                                          : run_step(overrides.filtered_repeat_path, filtered_repeat_path, *full_repeat_path);
    reject_outputs_naming_inputs({filtered_path}, {*full_repeat_path, *repeat_bed_file_path}, "output_path");
    intersect(chosen, *full_repeat_path, *repeat_bed_file_path, filtered_path, overrides, require_catalog_chromosomes);
    return filtered_path;
}

std::optional<FilteredRepeats> filter_repeats_unchecked(const std::optional<std::string>& full_repeat_path,
                                                      const std::optional<std::string>& repeat_bed_file_path,
                                                      const std::string& output_path,
                                                      bool require_catalog_chromosomes) {
    if (!inputs_present(full_repeat_path, repeat_bed_file_path, require_catalog_chromosomes)) return std::nullopt;
    const std::string chosen = chosen_engine(std::nullopt, {});
    return FilteredRepeats{output_path, intersect(chosen, *full_repeat_path, *repeat_bed_file_path, output_path, {},
                                                  require_catalog_chromosomes)};
}

}  // namespace merivane::repeats
