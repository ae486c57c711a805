#include "unifier/writer.hpp"

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/log.hpp"
#include "platform/overrides.hpp"
#include "platform/strings.hpp"
#include "platform/text_reader.hpp"
#include "platform/vcf_fields.hpp"
#include "unifier/header.hpp"

namespace merivane::unifier {

namespace {

// Writes one whole line per call, terminating a line left open (else the next
// input's first record would continue it). Applies the header edit, its lines
// before the first line that is no "##" line, and counts records.
class LineWriter {
public:
    LineWriter(AtomicOutput* file, const TextSink& sink, const HeaderEdit& edit, RecordTally* tally)
        : file_(file), sink_(sink), edit_(edit), tally_(tally), in_header_(!edit.empty()) {}

    // The input whose lines follow.
    void section(InputKind kind) { kind_ = kind; }

    void put(std::string_view text) {
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
            put_line(text.substr(start, end - start));
            start = end;
        }
    }

    // A header of meta-information lines alone still gets the added lines;
    // a last line without its line feed goes out as it is.
    void finish() {
        if (in_header_) end_header();
        if (!open_.empty()) write(open_);
        open_.clear();
    }

private:
    void write(std::string_view text) {
        if (file_) file_->write(text);
        if (sink_) sink_(text);
    }

    void put_raw(std::string_view line) {
        if (!open_.empty()) {
            open_.push_back('\n');
            write(open_);
            open_.clear();
        }
        if (line.back() == '\n') return write(line);
        open_.assign(line);
    }

    void end_header() {
        in_header_ = false;
        for (const std::string& line : edit_.lines) put_raw(line + "\n");
    }

    void put_line(std::string_view line) {
        if (in_header_ && !is_meta_line(line)) {
            end_header();
            if (edit_.sample && contains_column_header(line)) {
                // The sample column was checked to be the one and the last.
                const std::size_t sample = end_of_cell(line, vcf::kFormat) + 1;
                const std::string renamed = std::string(line.substr(0, sample)) + *edit_.sample +
                                            std::string(line.substr(without_terminator(line).size()));
                return put_raw(renamed);
            }
        }
        if (tally_ && is_record_line(line)) tally_->count(kind_, line);
        put_raw(line);
    }

    AtomicOutput* file_;
    const TextSink& sink_;
    const HeaderEdit& edit_;
    RecordTally* tally_;
    InputKind kind_ = InputKind::Sv;
    bool in_header_;
    std::string open_;  // a line waiting for its line feed
};

// Runs a rule on line `index` of an input; an error it raises names both.
template <class Rule>
decltype(auto) on_line(InputKind kind, std::size_t index, Rule&& rule) {
    try {
        return rule();
    } catch (Error& error) {
        error.add_note("in the " + std::string(kind_name(kind)) + " input, line " + std::to_string(index + 1));
        throw;
    }
}

// Passes the records of one input to `put`. With `marking` false repeat records
// pass unmarked: a scan before the header needs only their chromosome.
template <class Put>
void write_records(InputKind kind, LineSpan lines, const UnifyOptions& options, const WriterOverrides& overrides,
                   bool reading_bed, bool marking, bool warn, Put&& put) {
    // A BED has no header: its content starts at its first line.
    bool reading_content = reading_bed;
    std::string scratch;
    const RepeatOverrides repeat{overrides.repeat_line_needs_svtype, overrides.modify_repeat_line};
    const auto mark = [&](std::string_view text, std::optional<bool> add, std::string& out) {
        return marked_repeat_line(text, add, out, repeat);
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (reading_content) {
            if (kind == InputKind::Repeats && marking) {
                line = on_line(kind, i, [&] {
                    return run_step(overrides.marked_repeat_line, mark, line, options.add_repeat_svtype, scratch);
                });
            } else if (reading_bed) {
                if (!is_record_line(line)) continue;
                on_line(kind, i, [&] {
                    run_step(overrides.roh_bed_line_to_vcf,
                             static_cast<void (*)(std::string_view, std::string&)>(roh_bed_line_to_vcf), line, scratch);
                });
                line = scratch;
            }
            put(line);
        }
        // Tested after `put`, so the column-header line itself is never written.
        if (!reading_content && contains_column_header(line)) reading_content = true;
    }
    if (!reading_content && warn) log_warning(kNoColumnHeader, {std::string(kind_name(kind))});
}

bool reads_as_bed(InputKind kind, LineSpan lines, const UnifyOptions& options, const WriterOverrides& overrides) {
    return kind == InputKind::Roh &&
           run_step(overrides.roh_lines_are_bed, roh_lines_are_bed, lines, options.roh_format);
}

// The donor and its lines as written first: all of an SV input's, a CNV
// input's valid ones, a repeat input's header alone; its meta-information
// lines, then the rest. Not copyable: the lines may view `header_`.
class Donor {
public:
    Donor(const LinesTable& lines, const WriterOverrides& overrides) : kind(donor_kind(lines)) {
        if (!kind) return;
        input = *lines[kind_index(*kind)];
        if (*kind == InputKind::Cnv) {
            // The lines that pass the validity screen, all screened before any
            // is written, so a bad record leaves nothing of this input behind.
            held_.reserve(input.size());
            for (std::size_t i = 0; i < input.size(); ++i) {
                if (on_line(*kind, i, [&] { return run_step(overrides.is_valid_line, is_valid_line, input[i]); })) {
                    held_.push_back(input[i]);
                }
            }
        } else if (*kind == InputKind::Repeats) {
            header_ = run_step(overrides.vcf_header_from_lines, vcf_header_from_lines, input);
            held_ = split_lines(header_);
        }
        const LineSpan written = *kind == InputKind::Sv ? input : LineSpan(held_);
        // Added lines go after the meta-information lines, before the
        // column-header line (or, in a donor without one, before its first record).
        const auto meta_end = std::ranges::find_if_not(written, is_meta_line);
        meta = LineSpan(written.begin(), meta_end);
        records = LineSpan(meta_end, written.end());
    }
    Donor(const Donor&) = delete;
    Donor& operator=(const Donor&) = delete;

    std::optional<InputKind> kind;
    LineSpan input;  // as read
    LineSpan meta;
    LineSpan records;

private:
    std::vector<std::string_view> held_;
    std::string header_;
};

// An input appended after the donor's lines; `kept`, the records the header
// scan made, when making them again would run a rule twice.
struct Section {
    InputKind kind;
    LineSpan lines;
    bool bed = false;
    std::optional<std::vector<std::string>> kept;
};

// Meta-information lines among an input's records (from `from` on), where
// htslib stops reading: they join the merged header, with a warning.
void take_stray_meta_lines(HeaderMerge& merge, InputKind kind, LineSpan lines, std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (!is_meta_line(lines[i])) continue;
        log_warning(kMetaLineAmongRecords, {std::string(kind_name(kind)), static_cast<std::int64_t>(i + 1)});
        merge.add_stray(kind, lines[i]);
    }
}

// The declarations and contig lines a merged header adds to the donor's meta
// lines. The header comes first, so a scan of the lines in memory finds every
// record's chromosome beforehand, marking and converting only what it keeps.
std::pair<std::string, std::string> merged_additions(const Donor& donor, std::vector<Section>& sections,
                                                     const UnifyOptions& options, const WriterOverrides& overrides) {
    const InputKind donor_kind = *donor.kind;
    HeaderMerge merge(donor_kind, donor.meta);
    if (donor_kind != InputKind::Repeats) take_stray_meta_lines(merge, donor_kind, donor.input, donor.meta.size());
    for (Section& section : sections) section.bed = reads_as_bed(section.kind, section.lines, options, overrides);
    // Declarations come with the records they describe: an input whose
    // records are not written (no column-header line) adds none.
    for (const Section& section : sections) {
        if (section.bed) continue;
        const auto columns = std::ranges::find_if(section.lines, contains_column_header);
        if (columns == section.lines.end()) continue;
        if (section.kind != donor_kind) merge.add_input(section.kind, LineSpan(section.lines.begin(), columns));
        take_stray_meta_lines(merge, section.kind, section.lines,
                              static_cast<std::size_t>(columns - section.lines.begin()) + 1);
    }
    for (const std::string_view line : donor.records) merge.use_record(donor_kind, line);
    for (Section& section : sections) {
        // Converted ROH intervals are few and made once; repeat records are
        // kept only when a replaced rule may rewrite them, chromosome and all.
        const bool keep = section.bed || (section.kind == InputKind::Repeats && !marks_repeats_as_core(overrides));
        if (keep) section.kept.emplace();
        write_records(section.kind, section.lines, options, overrides, section.bed, keep, true,
                      [&](std::string_view line) {
                          if (is_meta_line(line)) return;  // taken into the header
                          merge.use_record(section.kind, line);
                          if (keep) section.kept->emplace_back(line);
                      });
    }
    return {merge.declarations(), merge.contigs()};
}

// The unified file; false when no input can donate a header. The records
// are the same with a merged header or without.
bool write_unified(const LinesTable& lines, LineWriter& out, const UnifyOptions& options,
                   const WriterOverrides& overrides, bool merge_headers) {
    const Donor donor(lines, overrides);
    if (!donor.kind) return false;
    std::vector<Section> sections;
    // The other inputs' records follow in sections of their own, and so do a
    // repeat donor's: the donor gave its header alone.
    for (const InputKind kind : kFileTypes) {
        const auto& input = lines[kind_index(kind)];
        if (input && (kind != *donor.kind || kind == InputKind::Repeats)) {
            sections.push_back({kind, *input, false, std::nullopt});
        }
    }
    std::string declarations;
    std::string contigs;
    if (merge_headers) std::tie(declarations, contigs) = merged_additions(donor, sections, options, overrides);
    // New contig lines join the donor's, or end the added lines when it has none.
    std::size_t last_contig = std::string_view::npos;
    for (std::size_t i = 0; i < donor.meta.size(); ++i) {
        if (donor.meta[i].starts_with("##contig=")) last_contig = i;
    }
    out.section(*donor.kind);
    for (std::size_t i = 0; i < donor.meta.size(); ++i) {
        out.put(donor.meta[i]);
        if (i == last_contig) out.put(contigs);
    }
    out.put(declarations);
    if (last_contig == std::string_view::npos) out.put(contigs);
    // A merged header has taken in the meta-information lines among the records.
    const auto put_record = [&](std::string_view line) {
        if (!merge_headers || !is_meta_line(line)) out.put(line);
    };
    for (const std::string_view line : donor.records) put_record(line);
    for (Section& section : sections) {
        if (!merge_headers) section.bed = reads_as_bed(section.kind, section.lines, options, overrides);
        out.section(section.kind);
        if (section.kept) {
            for (const std::string& line : *section.kept) out.put(line);
        } else {
            write_records(section.kind, section.lines, options, overrides, section.bed, true, !merge_headers,
                          put_record);
        }
    }
    return true;
}

// ValueError, naming the line, unless the header donor's column-header line
// has exactly one sample column.
void check_sample_column(const LinesTable& lines) {
    const std::optional<InputKind> kind = donor_kind(lines);
    if (!kind) return;
    const LineSpan donor = *lines[kind_index(*kind)];
    const auto columns = std::ranges::find_if_not(donor, is_meta_line);
    const std::size_t samples =
        columns != donor.end() && contains_column_header(*columns) ? cell_count(*columns) - vcf::kFirstSample : 0;
    if (samples == 1) return;
    on_line(*kind, static_cast<std::size_t>(columns - donor.begin()), [&] {
        throw ValueError("Only a header with exactly one sample column can have it renamed; this one has " +
                         std::to_string(samples));
    });
}

// The index of the first record of `lines` from `from` on, or npos.
std::size_t first_record(LineSpan lines, std::size_t from) {
    const auto found = std::ranges::find_if(lines.subspan(from), is_record_line);
    return found == lines.end() ? std::string_view::npos : static_cast<std::size_t>(found - lines.begin());
}

// The sample columns of an input's first #CHROM line, and the record after
// it that errors name (npos: none, so nothing to fit); nullopt for an input
// without that line (it is warned about as ever).
struct Columns {
    std::size_t record;
    bool sites_only;  // no FORMAT column
    std::vector<std::string_view> samples;
};

std::optional<Columns> columns_of(LineSpan lines) {
    const auto found = std::ranges::find_if(lines, [](std::string_view line) { return line.starts_with("#CHROM"); });
    if (found == lines.end()) return std::nullopt;
    const std::string_view line = without_terminator(*found);
    Columns columns{first_record(lines, static_cast<std::size_t>(found - lines.begin())),
                    cell_count(line) <= vcf::kFormat, {}};
    for (std::size_t tab = end_of_cell(line, vcf::kFormat); tab != std::string_view::npos;) {
        const std::size_t next = line.find('\t', tab + 1);
        columns.samples.push_back(line.substr(tab + 1, next == std::string_view::npos ? next : next - tab - 1));
        tab = next;
    }
    return columns;
}

std::string listed(const Columns& columns) {
    if (columns.sites_only) return "none (a sites-only VCF, without FORMAT)";
    std::string out;
    for (const std::string_view sample : columns.samples) out += (out.empty() ? "" : ", ") + quoted(sample);
    return "[" + out + "]";
}

}  // namespace

void check_columns(const LinesTable& lines, const UnifyOptions& options, const WriterOverrides& overrides,
                   bool refuse_appended_sites_only) {
    const std::optional<InputKind> donor = donor_kind(lines);
    if (!donor) return;
    const std::optional<Columns> header = columns_of(*lines[kind_index(*donor)]);
    if (!header) return;
    const std::string header_named = "the header, from the " + std::string(kind_name(*donor)) + " input, has ";
    for (const InputKind kind : kFileTypes) {
        const auto& input = lines[kind_index(kind)];
        if (!input) continue;
        if (reads_as_bed(kind, *input, options, overrides)) {
            const std::size_t record = first_record(*input, 0);
            if (header->samples.size() == 1 || record == std::string_view::npos) continue;
            on_line(kind, record, [&] {
                throw ValueError("The roh input's intervals become records with one sample column, but " +
                                 header_named + listed(*header));
            });
        }
        const std::optional<Columns> columns = kind == *donor ? header : columns_of(*input);
        if (!columns || columns->record == std::string_view::npos) continue;
        const std::string named = "The " + std::string(kind_name(kind)) + " input";
        on_line(kind, columns->record, [&] {
            if (columns->sites_only && kind != InputKind::Sv && (kind == *donor || refuse_appended_sites_only)) {
                throw ValueError(named + " is a sites-only VCF (no FORMAT or sample column): its records cannot "
                                 "be unified; give its VCF with the sample's column");
            }
            if (columns->sites_only) return;  // dropped with a warning, as ever
            if (header->sites_only || columns->samples.size() != header->samples.size()) {
                throw ValueError(named + " has sample columns " + listed(*columns) + " but " + header_named +
                                 listed(*header) + ": its records would not fit the header; unify one sample's "
                                 "files (bcftools merge joins samples)");
            }
        });
    }
}

void RecordTally::count(InputKind kind, std::string_view record) {
    ++kept[kind_index(kind)];
    ++records;
    std::string_view cells[vcf::kInfo + 1];
    const bool has_info = leading_cells(without_terminator(record), cells, vcf::kInfo + 1) > vcf::kInfo;
    ++by_chromosome[std::string(cells[vcf::kChrom])];
    const std::optional<std::string_view> svtype =
        has_info ? info_value(cells[vcf::kInfo], own_tag::kSvtype.id) : std::nullopt;
    if (svtype && !svtype->empty()) {
        ++by_svtype[std::string(*svtype)];
    } else {
        ++without_svtype;
    }
}

std::optional<InputKind> donor_kind(const LinesTable& lines) {
    for (const InputKind kind : {InputKind::Sv, InputKind::Cnv, InputKind::Repeats}) {
        if (lines[kind_index(kind)]) return kind;
    }
    return std::nullopt;
}

LinesTable table_of(const FilesLines& files) {
    LinesTable table;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i]) table[i] = LineSpan(files[i]->views);
    }
    return table;
}

void check_header_edit(const HeaderEdit& edit) {
    // htslib reads a sample name of white space alone as none, and a control
    // character (a tab, a NUL) splits the column or ends the text.
    const auto control = [](const char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (edit.sample && (std::ranges::any_of(*edit.sample, control) || strip_whitespace(*edit.sample).empty())) {
        throw ValueError("The sample name " + quoted(*edit.sample) +
                         " cannot name a VCF column: it must hold a visible character and no tab, line break or "
                         "other control character");
    }
    for (const std::string& line : edit.lines) {
        if (!is_meta_line(line) || line.find_first_of(std::string_view("\n\r\0", 3)) != std::string::npos) {
            throw ValueError("The header line " + quoted(line) +
                             " must be one line starting with \"##\", without its line break or a NUL");
        }
    }
}

void write_vcf_content(InputKind kind, LineSpan lines, const TextSink& out, const UnifyOptions& options,
                       const WriterOverrides& overrides) {
    // A line the rules leave open is terminated before anything follows it.
    bool open = false;
    write_records(kind, lines, options, overrides, reads_as_bed(kind, lines, options, overrides), true, true,
                  [&](std::string_view text) {
                      if (text.empty()) return;
                      if (open) out("\n");
                      out(text);
                      open = text.back() != '\n';
                  });
}

std::optional<std::string> unify_lines(const LinesTable& lines, const std::string& output_path,
                                       const UnifyOptions& options, const WriterOverrides& overrides,
                                       bool merge_headers, const HeaderEdit& edit, RecordTally* tally) {
    check_header_edit(edit);
    AtomicOutput file(output_path);
    return unify_into(lines, file.destination(), &file, {}, options, overrides, merge_headers, edit, tally, true);
}

std::optional<std::string> unify_into(const LinesTable& lines, const std::string& output_path, AtomicOutput* file,
                                      const TextSink& sink, const UnifyOptions& options,
                                      const WriterOverrides& overrides, bool merge_headers, const HeaderEdit& edit,
                                      RecordTally* tally, bool put_in_place) {
    if (edit.sample) check_sample_column(lines);
    // The plain layout copies records as they are; a merged or edited header
    // is one tools are to read.
    if (merge_headers || !edit.empty()) check_columns(lines, options, overrides, !edit.empty());
    warn_about_chromosome_naming(lines);
    LineWriter writer(file, sink, edit, tally);
    const bool written = write_unified(lines, writer, options, overrides, merge_headers);
    if (written) writer.finish();
    if (file && (!written || put_in_place)) file->commit();
    if (!written) {
        // With nothing to unify the file is still created, and left empty.
        log_warning(kNothingToUnify);
        return std::nullopt;
    }
    log_info(kUnifiedCreated, {output_path});
    return output_path;
}

}  // namespace merivane::unifier
