#include "unifier/writer.hpp"

#include <vector>

#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/strings.hpp"

namespace merivane::unifier {

namespace {

// Writes lines as held, except that a line left without its terminator is
// terminated before anything else follows it: otherwise the next input's
// first record would continue it.
class LineWriter {
public:
    explicit LineWriter(TextSink& sink) : sink_(sink) {}

    void put(std::string_view text) {
        if (text.empty()) return;
        if (open_) sink_.write("\n");
        sink_.write(text);
        open_ = text.back() != '\n';
    }

private:
    TextSink& sink_;
    bool open_ = false;
};

class FileSink : public TextSink {
public:
    explicit FileSink(OutputFile& file) : file_(file) {}
    void write(std::string_view text) override { file_.write(text); }

private:
    OutputFile& file_;
};

// Runs a rule on line `index` of an input; an error it raises names the
// input and the line.
template <class Rule>
decltype(auto) on_line(InputKind kind, std::size_t index, Rule&& rule) {
    try {
        return rule();
    } catch (Error& error) {
        error.add_note("in the " + std::string(kind_name(kind)) + " input, line " + std::to_string(index + 1));
        throw;
    }
}

void write_content(InputKind kind, LineSpan lines, LineWriter& out, const UnifyOptions& options,
                   const WriterSteps& steps) {
    bool reading_bed = false;
    if (kind == InputKind::Roh) {
        reading_bed = steps.roh_lines_are_bed ? steps.roh_lines_are_bed(lines, options.roh_format)
                                              : roh_lines_are_bed(lines, options.roh_format);
    }
    // A BED has no header: its content starts at its first line.
    bool reading_content = reading_bed;
    std::string scratch;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (reading_content) {
            if (kind == InputKind::Repeats) {
                line = on_line(kind, i, [&]() -> std::string_view {
                    if (steps.marked_repeat_line) {
                        steps.marked_repeat_line(line, scratch);
                        return scratch;
                    }
                    return marked_repeat_line(line, options.add_repeat_svtype, scratch, steps.repeat);
                });
            } else if (reading_bed) {
                if ((!line.empty() && line.front() == '#') || is_blank(line)) continue;
                on_line(kind, i, [&] {
                    if (steps.roh_bed_line_to_vcf) {
                        steps.roh_bed_line_to_vcf(line, scratch);
                    } else {
                        roh_bed_line_to_vcf(line, scratch);
                    }
                });
                line = scratch;
            }
            out.put(line);
        }
        // The column-header line itself is met before content starts, so it
        // is never written here.
        if (contains_column_header(line)) reading_content = true;
    }
    if (!reading_content) log_warning(kNoColumnHeader, {std::string(kind_name(kind))});
}

// The CNV donor's lines that pass the validity screen. All are screened
// before any is written, so a bad record leaves nothing of this input behind.
std::vector<std::string_view> valid_cnv_lines(LineSpan lines, const WriterSteps& steps) {
    std::vector<std::string_view> valid;
    valid.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool keep = on_line(InputKind::Cnv, i, [&] {
            return steps.is_valid_line ? steps.is_valid_line(lines[i]) : is_valid_line(lines[i]);
        });
        if (keep) valid.push_back(lines[i]);
    }
    return valid;
}

}  // namespace

LinesTable table_of(const FilesLines& files) {
    LinesTable table;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i]) table[i] = LineSpan(files[i]->views);
    }
    return table;
}

void write_vcf_content(InputKind kind, LineSpan lines, TextSink& out, const UnifyOptions& options,
                       const WriterSteps& steps) {
    LineWriter writer(out);
    write_content(kind, lines, writer, options, steps);
}

std::optional<std::string> unify_lines(const LinesTable& lines, const std::string& output_path,
                                       const UnifyOptions& options, const WriterSteps& steps, bool merge_headers) {
    (void)merge_headers;  // not yet applied: the donor's header alone
    const auto& sv = lines[kind_index(InputKind::Sv)];
    const auto& cnv = lines[kind_index(InputKind::Cnv)];
    const auto& repeats = lines[kind_index(InputKind::Repeats)];
    const auto& roh = lines[kind_index(InputKind::Roh)];

    // Created (or emptied) before anything is checked.
    OutputFile file(output_path);
    FileSink sink(file);
    LineWriter out(sink);
    try {
        bool cnv_printed = false;
        bool rep_printed = false;
        if (sv) {
            for (const std::string_view line : *sv) out.put(line);
        } else if (cnv) {
            for (const std::string_view line : valid_cnv_lines(*cnv, steps)) out.put(line);
            cnv_printed = true;
        } else if (repeats) {
            out.put(steps.vcf_header_from_lines ? steps.vcf_header_from_lines(*repeats)
                                                : vcf_header_from_lines(*repeats));
            write_content(InputKind::Repeats, *repeats, out, options, steps);
            rep_printed = true;
        } else {
            log_warning(kNothingToUnify);
            file.close();
            return std::nullopt;
        }
        if (cnv && !cnv_printed) write_content(InputKind::Cnv, *cnv, out, options, steps);
        if (repeats && !rep_printed) write_content(InputKind::Repeats, *repeats, out, options, steps);
        if (roh) write_content(InputKind::Roh, *roh, out, options, steps);
        file.close();
    } catch (...) {
        // What was written before the error stays in the file.
        try {
            file.close();
        } catch (...) {
        }
        throw;
    }
    log_info(kUnifiedCreated, {output_path});
    return output_path;
}

}  // namespace merivane::unifier
