#include "repeats/repeat_filter.hpp"

#include <cerrno>
#include <string_view>
#include <utility>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/overrides.hpp"
#include "platform/paths.hpp"

namespace merivane::repeats {

std::string filtered_repeat_path(const std::string& full_repeat_path) {
    // Split and joined again as os.path.split and os.path.join do on this
    // system: on Windows a backslash separates too, and a drive letter stays
    // with its directory.
    const SplitPath parts = split_path(full_repeat_path);
    std::string_view name = parts.name;
    // Extensions as Python's os.path.splitext sees them: from the last "." on,
    // unless only dots stand before it (".vcf" is a hidden file's name).
    for (;;) {
        const std::size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || name.find_first_not_of('.') >= dot) break;
        const bool vcf = name.substr(dot) == ".vcf";
        name.remove_suffix(name.size() - dot);
        if (vcf) break;
    }
    return join_path(parts.directory, std::string(name) + "_filtered.vcf");
}

std::optional<std::string> filter_repeats_vcf(const std::optional<std::string>& full_repeat_path,
                                              const std::optional<std::string>& repeat_bed_file_path,
                                              const std::optional<std::string>& engine,
                                              const std::optional<std::string>& output_path,
                                              const FilterOverrides& overrides, bool require_catalog_chromosomes,
                                              IntersectCounts* counts) {
    if (!full_repeat_path || !repeat_bed_file_path) {
        log_warning(full_repeat_path ? "Can't filter repeats file with \"%s\". The bed file does not exist"
                                     : kFullRepeatsNotGiven,
                    {NoneValue{}});
        return std::nullopt;
    }
    // A caller that requires the catalog to apply gets no repeat calls for
    // a path that names no file only by an error.
    using Missing = std::pair<const std::string&, const char*>;
    for (const auto& [path, missing] :
         {Missing{*full_repeat_path, "%s file doesn't exist"}, Missing{*repeat_bed_file_path, "%s doesn't exist"}}) {
        if (path_exists(path)) continue;
        if (require_catalog_chromosomes) throw OSError(ENOENT, path);
        log_warning(missing, {path});
        return std::nullopt;
    }

    const std::string chosen(
        engine ? *engine : run_step(overrides.bedtools_available, bedtools_available) ? kBedtools : kBuiltin);
    const bool use_bedtools = chosen == kBedtools;
    if (use_bedtools && !run_step(overrides.bedtools_available, bedtools_available)) {
        throw RuntimeError("bedtools was requested to filter the repeats VCF but is not on PATH");
    }

    const std::string filtered =
        output_path && !output_path->empty()
            ? *output_path
            : run_step(overrides.filtered_repeat_path, filtered_repeat_path, *full_repeat_path);
    reject_outputs_naming_inputs({filtered}, {*full_repeat_path, *repeat_bed_file_path}, "output_path");
    log_info("Filtering %s against %s with the %s engine", {*full_repeat_path, *repeat_bed_file_path, chosen});
    const auto& replaced = use_bedtools ? overrides.intersect_with_bedtools : overrides.intersect_builtin;
    if (replaced) {
        replaced(*full_repeat_path, *repeat_bed_file_path, filtered);
    } else {
        const IntersectCounts engine_counts =
            run_engine(use_bedtools, *full_repeat_path, *repeat_bed_file_path, filtered, require_catalog_chromosomes);
        if (counts) *counts = engine_counts;
    }
    return filtered;
}

}  // namespace merivane::repeats
