#include "unifier/header.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "unifier/text.hpp"

namespace merivane::unifier {

namespace {

constexpr std::array<std::string_view, 5> kMergedKeys{"INFO", "FORMAT", "FILTER", "ALT", "contig"};

// What the writer itself puts in records: the INFO of converted ROH
// intervals and of marked repeats, the <ROH> allele and the genotype.
struct OwnDeclaration {
    std::string_view key;
    std::string_view id;
    std::string_view line;
};
constexpr std::array<OwnDeclaration, 5> kOwnDeclarations{{
    {"INFO", "SVTYPE", "##INFO=<ID=SVTYPE,Number=1,Type=String,Description=\"Type of structural variant\">\n"},
    {"INFO", "END",
     "##INFO=<ID=END,Number=1,Type=Integer,Description=\"End position of the variant described in this record\">\n"},
    // A number, so that tag filters compare it as one.
    {"INFO", "ROH_SCORE",
     "##INFO=<ID=ROH_SCORE,Number=1,Type=Float,Description=\"Score of the run of homozygosity\">\n"},
    {"ALT", "ROH", "##ALT=<ID=ROH,Description=\"Run of homozygosity\">\n"},
    {"FORMAT", "GT", "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"},
}};

// A chromosome name that fits in ##contig=<ID=...> without changing the
// line's structure; htslib judges anything else on the record itself.
bool fits_contig_line(std::string_view name) {
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f || c == ',' || c == '<' || c == '>' || c == '"') return false;
    }
    return !name.empty();
}

void append_terminated(std::string& out, std::string_view line) {
    out += line;
    if (line.empty() || line.back() != '\n') out += '\n';
}

std::string number_and_type(std::string_view number, std::string_view type) {
    return "Number=" + std::string(number) + ",Type=" + std::string(type);
}

}  // namespace

std::optional<Declaration> parse_declaration(std::string_view line) {
    line = without_terminator(line);
    if (!is_meta_line(line)) return std::nullopt;
    const std::size_t open = line.find("=<", 2);
    if (open == std::string_view::npos || line.back() != '>') return std::nullopt;
    Declaration declaration;
    declaration.key = line.substr(2, open - 2);
    bool merged_key = false;
    for (const std::string_view key : kMergedKeys) merged_key = merged_key || key == declaration.key;
    if (!merged_key) return std::nullopt;

    // Comma-separated key=value fields; a quoted value may hold commas and
    // escaped quotes.
    const std::string_view body = line.substr(open + 2, line.size() - open - 3);
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t equals = body.find('=', at);
        if (equals == std::string_view::npos) break;
        const std::string_view name = body.substr(at, equals - at);
        std::size_t end = equals + 1;
        if (end < body.size() && body[end] == '"') {
            for (++end; end < body.size() && body[end] != '"'; ++end) {
                if (body[end] == '\\') ++end;
            }
            end = std::min(end + 1, body.size());
        }
        const std::size_t comma = body.find(',', end);
        const std::size_t stop = comma == std::string_view::npos ? body.size() : comma;
        // Quotes, if any, stay part of the value.
        const std::string_view value = body.substr(equals + 1, stop - equals - 1);
        if (name == "ID" && declaration.id.empty()) declaration.id = value;
        if (name == "Number" && declaration.number.empty()) declaration.number = value;
        if (name == "Type" && declaration.type.empty()) declaration.type = value;
        at = stop == body.size() ? stop : stop + 1;
    }
    if (declaration.id.empty()) return std::nullopt;
    return declaration;
}

HeaderMerge::HeaderMerge(InputKind donor, LineSpan donor_meta) {
    // The donor's lines stay as they are, repeated IDs included; the first
    // declaration of an ID is the one later inputs are compared with.
    for (const std::string_view line : donor_meta) {
        if (const auto declaration = parse_declaration(line)) declare(*declaration, donor);
    }
}

bool HeaderMerge::declared(std::string_view key, std::string_view id) const {
    return declared_.find(std::pair<std::string, std::string>(key, id)) != declared_.end();
}

void HeaderMerge::declare(const Declaration& declaration, InputKind kind) {
    declared_.try_emplace({std::string(declaration.key), std::string(declaration.id)},
                          Seen{kind, std::string(declaration.number), std::string(declaration.type)});
}

void HeaderMerge::add_input(InputKind kind, LineSpan header) {
    for (const std::string_view line : header) {
        const auto declaration = parse_declaration(line);
        if (!declaration) continue;
        std::pair<std::string, std::string> tag(declaration->key, declaration->id);
        const auto first = declared_.find(tag);
        if (first == declared_.end()) {
            declare(*declaration, kind);
            append_terminated(declaration->key == "contig" ? added_contigs_ : added_, line);
            continue;
        }
        const Seen& seen = first->second;
        if (seen.number == declaration->number && seen.type == declaration->type) continue;
        if (!warned_.emplace(tag, kind).second) continue;
        log_warning(kConflictingDeclaration,
                    {tag.first, tag.second, number_and_type(seen.number, seen.type),
                     std::string(kind_name(seen.kind)), number_and_type(declaration->number, declaration->type),
                     std::string(kind_name(kind))});
    }
}

void HeaderMerge::use_record(std::string_view line) {
    // Called once per record of the unified file: kept to a tab search and,
    // mostly, one comparison. A blank line's "chromosome" is white space,
    // which no contig line is made for.
    if (line.empty() || line.front() == '#') return;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return;
    const std::string_view chromosome = line.substr(0, tab);
    if (chromosome == last_used_) return;
    auto found = used_.find(chromosome);
    if (found == used_.end()) found = used_.emplace(chromosome).first;
    // Elements of an unordered_set stay where they are.
    last_used_ = *found;
}

std::string HeaderMerge::declarations() const {
    std::string out = added_;
    for (const OwnDeclaration& own : kOwnDeclarations) {
        if (!declared(own.key, own.id)) out += own.line;
    }
    return out;
}

std::string HeaderMerge::contigs() const {
    std::vector<std::string_view> missing;
    for (const std::string& chromosome : used_) {
        if (fits_contig_line(chromosome) && !declared("contig", chromosome)) missing.emplace_back(chromosome);
    }
    // Text comparison orders as unsigned bytes, as the sorted file does.
    std::sort(missing.begin(), missing.end());
    std::string out = added_contigs_;
    for (const std::string_view chromosome : missing) out += "##contig=<ID=" + std::string(chromosome) + ">\n";
    return out;
}

}  // namespace merivane::unifier
