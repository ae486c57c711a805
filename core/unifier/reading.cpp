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

FilesLines read_struct_lines(const StructFiles& struct_files, const UnifyOptions& options,
                             KindTable<ReadCounts>* counts) {
    KindTable<ReadCounts> seen;
    ReadCounts* current = nullptr;
    const auto records = [](const Lines& lines) {
        return static_cast<std::uint64_t>(std::ranges::count_if(lines.views, is_record_line));
    };
    FilesLines files = read_struct_lines_with(
        struct_files, options,
        [&](InputKind kind, const std::string& path) {
            current = &seen[kind_index(kind)];
            Lines lines = get_lines(path);
            if (counts) current->read = records(lines);
            return lines;
        },
        [&](Lines lines, const UnifyOptions& opts) {
            if (opts.drop_sv_filters.empty()) return lines;
            lines.views = drop_sv_records_by_filter(lines.views, opts.drop_sv_filters);
            if (counts) current->dropped = current->read - records(lines);
            return lines;
        },
        [&](const Lines& lines) {
            const bool empty = is_empty(lines.views);
            if (empty && counts) current->header_only = records(lines);
            return empty;
        });
    if (counts) *counts = seen;
    return files;
}

}  // namespace merivane::unifier
