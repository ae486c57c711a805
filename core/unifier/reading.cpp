#include "unifier/reading.hpp"

#include <algorithm>

#include "platform/text_reader.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::unifier {

Lines get_lines(const std::string& path) {
    auto buffer = std::make_shared<LineBuffer>(read_lines_gzip_or_plain(path));
    return {buffer, buffer->lines()};
}

bool is_empty(LineSpan lines) { return std::all_of(lines.begin(), lines.end(), is_header_or_blank); }

bool ends_vcf_header(std::string_view line) { return line.find("#CHROM") != std::string_view::npos; }

std::string vcf_header_from_lines(LineSpan lines) {
    std::string header;
    for (const std::string_view line : lines) {
        header.append(line);
        if (ends_vcf_header(line)) break;
    }
    return header;
}

ReadOverrides<Lines> core_read_steps() {
    ReadOverrides<Lines> overrides;
    overrides.get_lines = [](const std::string& path) { return get_lines(path); };
    overrides.drop_sv_records = [](Lines lines, const UnifyOptions& opts) {
        if (!opts.drop_sv_filters.empty()) {
            lines.views = drop_sv_records_by_filter(lines.views, opts.drop_sv_filters);
        }
        return lines;
    };
    overrides.is_empty = [](const Lines& lines) { return is_empty(lines.views); };
    return overrides;
}

FilesLines read_struct_lines(const StructFiles& struct_files, const UnifyOptions& options) {
    return read_struct_lines_with(struct_files, options, core_read_steps());
}

}  // namespace merivane::unifier
