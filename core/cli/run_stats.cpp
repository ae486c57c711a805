#include "cli/run_stats.hpp"

#include <algorithm>
#include <vector>

#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::cli {

using unifier::InputKind;
using unifier::kind_index;

namespace {
std::uint64_t count_records(unifier::LineSpan lines) {
    return static_cast<std::uint64_t>(std::ranges::count_if(lines, is_record_line));
}
}  // namespace

unifier::FilesLines read_counting(const unifier::StructFiles& struct_files, const unifier::UnifyOptions& options,
                                  RunStats* stats) {
    if (!stats) return unifier::read_struct_lines(struct_files, options);
    const Stopwatch reading;
    // Each step is called for the given inputs, in their order.
    std::vector<InputKind> given;
    for (const InputKind kind : unifier::kFileTypes) {
        stats->inputs[kind_index(kind)].path = struct_files[kind_index(kind)];
        if (struct_files[kind_index(kind)]) given.push_back(kind);
    }
    std::size_t next = 0;
    InputStats* current = nullptr;
    // The core's steps, each noting what it saw.
    unifier::ReadOverrides<unifier::Lines> steps = unifier::core_read_steps();
    steps.get_lines = [&, get_lines = steps.get_lines](const std::string& path) {
        unifier::Lines lines = get_lines(path);
        current = &stats->inputs[kind_index(given[next++])];
        current->read = count_records(lines.views);
        return lines;
    };
    steps.drop_sv_records = [&, drop = steps.drop_sv_records](unifier::Lines lines, const unifier::UnifyOptions& opts) {
        lines = drop(std::move(lines), opts);
        if (!opts.drop_sv_filters.empty()) current->filter = current->read - count_records(lines.views);
        return lines;
    };
    steps.is_empty = [&, is_empty = steps.is_empty](const unifier::Lines& lines) {
        const bool empty = is_empty(lines);
        if (empty) {
            current->left_out = true;
            current->header_only = count_records(lines.views);
        }
        return empty;
    };
    unifier::FilesLines files = unifier::read_struct_lines_with(struct_files, options, steps);
    stats->read_seconds += reading.seconds();
    return files;
}

void settle_inputs(RunStats& stats, const unifier::FilesLines& files) {
    // A CNV input donates the header when no SV input does; it then keeps
    // only called records. An appended input keeps every record after its
    // column-header line.
    const bool cnv_donates = !files[kind_index(InputKind::Sv)];
    for (const InputKind kind : unifier::kFileTypes) {
        InputStats& input = stats.inputs[kind_index(kind)];
        if (!files[kind_index(kind)]) continue;
        input.kept = stats.output.kept[kind_index(kind)];
        const std::uint64_t rest = input.read - input.filter - input.kept;
        (kind == InputKind::Cnv && cnv_donates ? input.no_call : input.no_column_header) = rest;
    }
}

std::uint64_t count_file_records(const std::string& path) {
    TextReader reader(path, Compression::DetectByMagic);
    std::uint64_t records = 0;
    std::string line;
    while (reader.next_line(line)) records += is_record_line(line) ? 1 : 0;
    return records;
}

}  // namespace merivane::cli
