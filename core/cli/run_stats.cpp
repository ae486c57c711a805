#include "cli/run_stats.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/atomic_output.hpp"

namespace merivane::cli {

using unifier::InputKind;
using unifier::kind_index;

namespace {

// A UTF-8 sequence's code point and length at `pos`; length 0 when the
// bytes there are no valid sequence.
std::pair<char32_t, std::size_t> next_code_point(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const std::size_t length = byte(pos) < 0x80 ? 1 : byte(pos) >= 0xF0 ? 4 : byte(pos) >= 0xE0 ? 3 : 2;
    if (byte(pos) >= 0xF5 || (byte(pos) & 0xC0) == 0x80 || pos + length > text.size()) return {0, 0};
    char32_t point = byte(pos) & (0xFF >> (length + (length > 1)));
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return {0, 0};
        point = (point << 6) | (byte(pos + i) & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {0, 0};
    return {point, length};
}

// JSON values as the host's json.dump(indent=2) writes them, in ASCII.
std::string json(std::string_view text) {
    std::string out = "\"";
    const auto hex = [&out](const char* format, unsigned value) {
        char escape[16];  // room for any unsigned: an optimised build warns of truncation
        std::snprintf(escape, sizeof escape, format, value);
        out += escape;
    };
    const auto unit = [&hex](char32_t value) { hex("\\u%04x", static_cast<unsigned>(value)); };
    for (std::size_t pos = 0; pos < text.size();) {
        auto [point, length] = next_code_point(text, pos);
        if (length == 0) {
            // A byte that is no UTF-8 is written as the text \xNN, so the
            // document stays valid UTF-8 and keeps the byte readable.
            hex("\\\\x%02x", static_cast<unsigned>(text[pos++] & 0xFF));
            continue;
        }
        pos += length;
        constexpr std::string_view kShort("btn\0fr", 6);
        if (point == '"' || point == '\\') {
            (out += '\\') += static_cast<char>(point);
        } else if (point >= '\b' && point <= '\r' && kShort[point - '\b'] != '\0') {
            (out += '\\') += kShort[point - '\b'];
        } else if (point >= 0x20 && point < 0x7F) {
            out += static_cast<char>(point);
        } else if (point >= 0x10000) {
            unit(0xD800 + ((point - 0x10000) >> 10));
            unit(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            unit(point);
        }
    }
    return out + '"';
}
std::string json(const std::optional<std::string>& text) { return text ? json(std::string_view(*text)) : "null"; }
std::string json(std::uint64_t number) { return std::to_string(number); }
std::string json(bool value) { return value ? "true" : "false"; }
std::string json(double value) {
    char digits[32];
    const std::string shortest(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    // A float stays one when read back.
    return shortest.find_first_of(".en") == std::string::npos ? shortest + ".0" : shortest;
}

using Members = std::vector<std::pair<std::string, std::string>>;

// An object of rendered members, each nested one indented once more.
std::string json(const Members& members) {
    if (members.empty()) return "{}";
    std::string out = "{";
    for (const auto& [key, value] : members) {
        out += (out.size() > 1 ? ",\n  " : "\n  ") + json(std::string_view(key)) + ": ";
        for (const char c : value) c == '\n' ? out += "\n  " : out += c;
    }
    return out + "\n}";
}
std::string json(const unifier::RecordTally::Counts& counts) {
    Members members;
    for (const auto& [key, count] : counts) members.emplace_back(key, json(count));
    return json(members);
}

// round(value, 3), as MultiQC's table shows it.
double rounded(double value) { return std::round(value * 1000) / 1000; }

std::string section(std::string_view id, std::string_view name, std::string_view plot, Members head,
                    const std::string& sample, std::string data) {
    Members members{{"id", json(id)}, {"section_name", json(name)}, {"plot_type", json(plot)}};
    members.insert(members.end(), head.begin(), head.end());
    members.emplace_back("data", json(Members{{sample, std::move(data)}}));
    return json(members) + "\n";
}
}  // namespace

void settle_inputs(RunStats& stats, const unifier::StructFiles& given,
                   const unifier::KindTable<unifier::ReadCounts>& read, const unifier::FilesLines& files) {
    // A CNV input donates the header when no SV input does; it then keeps
    // only called records. An appended input keeps every record after its
    // column-header line.
    const bool cnv_donates = !files[kind_index(InputKind::Sv)];
    for (const InputKind kind : unifier::kFileTypes) {
        InputStats& input = stats.inputs[kind_index(kind)];
        const unifier::ReadCounts& seen = read[kind_index(kind)];
        input.path = given[kind_index(kind)];
        input.read = seen.read;
        input.filter = seen.dropped;
        input.header_only = seen.header_only;
        input.left_out = input.path && !files[kind_index(kind)];
        if (!files[kind_index(kind)]) continue;
        input.kept = stats.output.kept[kind_index(kind)];
        const std::uint64_t rest = input.read - input.filter - input.kept;
        (kind == InputKind::Cnv && cnv_donates ? input.no_call : input.no_column_header) = rest;
    }
}

std::string stats_json(const RunStats& stats, const std::optional<std::string>& output_path) {
    Members inputs;
    for (const InputKind kind : unifier::kFileTypes) {
        const InputStats& input = stats.inputs[kind_index(kind)];
        const Members left_out{{"filter", json(input.filter)},
                               {"no_call", json(input.no_call)},
                               {"outside_catalog", json(input.outside_catalog)},
                               {"header_only", json(input.header_only)},
                               {"no_column_header", json(input.no_column_header)}};
        inputs.emplace_back(unifier::kind_name(kind),
                            json(Members{{"path", json(input.path)},
                                         {"filtered_path", json(input.filtered_path)},
                                         {"read", json(input.read)},
                                         {"kept", json(input.kept)},
                                         {"left_out", json(left_out)},
                                         {"input_left_out", json(input.left_out)}}));
    }
    const Members output{{"path", json(output_path)},
                         {"bytes", json(stats.written.bytes)},
                         {"records", json(stats.output.records)},
                         {"without_svtype", json(stats.output.without_svtype)},
                         {"by_svtype", json(stats.output.by_svtype)},
                         {"by_chromosome", json(stats.output.by_chromosome)}};
    const Members seconds{{"read", json(stats.read_seconds)},   {"filter", json(stats.filter_seconds)},
                          {"unify", json(stats.unify_seconds)}, {"sort", json(stats.written.sort)},
                          {"compress", json(stats.written.compress)}, {"index", json(stats.written.index)}};
    return json(Members{{"version", json(std::string_view(stats.version))},
                        {"command", json(stats.command)},
                        {"inputs", json(inputs)},
                        {"output", json(output)},
                        {"seconds", json(seconds)}}) +
           "\n";
}

std::vector<std::string> stats_paths(const std::string& stats_path) {
    if (written_in_place(stats_path)) return {stats_path};
    const std::string stem = stats_path.ends_with(".json") ? stats_path.substr(0, stats_path.size() - 5) : stats_path;
    return {stats_path, stem + ".summary_mqc.json", stem + ".sources_mqc.json", stem + ".svtypes_mqc.json"};
}

std::vector<std::string> multiqc_documents(const RunStats& stats, const std::string& sample) {
    std::uint64_t read = 0;
    std::uint64_t left_out = 0;
    Members sources;
    for (const InputKind kind : unifier::kFileTypes) {
        const InputStats& input = stats.inputs[kind_index(kind)];
        read += input.read;
        left_out += input.filter + input.no_call + input.outside_catalog + input.header_only + input.no_column_header;
        sources.emplace_back(unifier::kind_name(kind), json(input.kept));
    }
    const double seconds = stats.read_seconds + stats.filter_seconds + stats.unify_seconds + stats.written.sort +
                           stats.written.compress + stats.written.index;
    const Members row{{"read", json(read)},
                      {"kept", json(stats.output.records)},
                      {"left_out", json(left_out)},
                      {"without_svtype", json(stats.output.without_svtype)},
                      {"megabytes", json(rounded(static_cast<double>(stats.written.bytes) / 1e6))},
                      {"seconds", json(rounded(seconds))}};
    unifier::RecordTally::Counts svtypes = stats.output.by_svtype;
    if (stats.output.without_svtype > 0) svtypes["(none)"] = stats.output.without_svtype;
    constexpr std::string_view kSummary = "Records each sample's inputs gave, kept in its unified VCF and left out.";
    return {section("merivane_summary", "Merivane", "table", {{"description", json(kSummary)}}, sample, json(row)),
            section("merivane_sources", "Merivane: records by source", "bargraph", {}, sample, json(sources)),
            section("merivane_svtypes", "Merivane: records by SVTYPE", "bargraph", {}, sample, json(svtypes))};
}

}  // namespace merivane::cli
