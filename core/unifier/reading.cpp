#include "unifier/reading.hpp"

#include <algorithm>

#include "platform/text_reader.hpp"
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
    const auto read = [&](InputKind kind, const std::string& path) {
        Lines lines = get_lines(path);
        current = &seen[kind_index(kind)];
        current->read = counts ? records(lines) : 0;
        return lines;
    };
    const auto drop = [&](Lines lines, const UnifyOptions& opts) {
        if (opts.drop_sv_filters.empty()) return lines;
        lines.views = drop_sv_records_by_filter(lines.views, opts.drop_sv_filters);
        current->dropped = counts ? current->read - records(lines) : 0;
        return lines;
    };
    const auto empty = [&](const Lines& lines) {
        const bool found = is_empty(lines.views);
        current->header_only = found && counts ? records(lines) : 0;
        return found;
    };
    FilesLines files = read_struct_lines_with(struct_files, options, read, drop, empty);
    if (counts) *counts = seen;
    return files;
}

}  // namespace merivane::unifier
