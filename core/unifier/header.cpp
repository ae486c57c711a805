#include "unifier/header.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::unifier {

namespace {

constexpr std::array<std::string_view, 5> kMergedKeys{"INFO", "FORMAT", "FILTER", "ALT", "contig"};

// A name that fits in ##KEY=<ID=...> without changing the line's
// structure; htslib judges anything else on the record itself.
bool fits_header_line(std::string_view name) {
    return !name.empty() && std::ranges::none_of(name, [](const char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= ' ' || u == 0x7f || c == ',' || c == '<' || c == '>' || c == '"';
    });
}

void append_terminated(std::string& out, std::string_view line) {
    out += line;
    if (line.empty() || line.back() != '\n') out += '\n';
}

// What two declarations of one ID must agree on; a contig's length only when given.
std::string shape_of(const Declaration& declaration) {
    if (declaration.key == "contig") return declaration.length.empty() ? "" : "length=" + std::string(declaration.length);
    return "Number=" + std::string(declaration.number) + ",Type=" + std::string(declaration.type);
}

bool is_own_declaration(std::string_view key, std::string_view id) {
    return std::ranges::any_of(own_tag::kAll, [&](const OwnTag& own) { return own.key == key && own.id == id; });
}

// 1-22, X, Y, M and MT: the names that tell the two naming styles apart.
bool is_bare_primary_chromosome(std::string_view name) {
    if (name == "X" || name == "Y" || name == "M" || name == "MT") return true;
    // Two digits compare as their numbers do.
    return is_ascii_digits(name) && name[0] != '0' && (name.size() == 1 || (name.size() == 2 && name <= "22"));
}

// Visits the non-empty tokens of `text`.
template <class Visit>
void for_each_token(std::string_view text, char separator, Visit&& visit) {
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(separator, at), text.size());
        if (end > at) visit(text.substr(at, end - at));
        at = end + 1;
    }
}

}  // namespace

std::optional<Declaration> parse_declaration(std::string_view line) {
    line = without_terminator(line);
    if (!is_meta_line(line)) return std::nullopt;
    const std::size_t open = line.find("=<", 2);
    if (open == std::string_view::npos || line.back() != '>') return std::nullopt;
    Declaration declaration;
    declaration.key = line.substr(2, open - 2);
    if (std::ranges::find(kMergedKeys, declaration.key) == kMergedKeys.end()) return std::nullopt;

    // Comma-separated key=value fields; a quoted value may hold commas and escaped quotes.
    const std::string_view body = line.substr(open + 2, line.size() - open - 3);
    for (std::size_t at = 0; at < body.size();) {
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
        const std::size_t stop = std::min(body.find(',', end), body.size());
        // Quotes, if any, stay part of the value.
        const std::string_view value = body.substr(equals + 1, stop - equals - 1);
        if (name == "ID" && declaration.id.empty()) declaration.id = value;
        if (name == "Number" && declaration.number.empty()) declaration.number = value;
        if (name == "Type" && declaration.type.empty()) declaration.type = value;
        if (name == "length" && declaration.length.empty()) declaration.length = value;
        at = stop + 1;
    }
    if (declaration.id.empty()) return std::nullopt;
    return declaration;
}

void warn_about_chromosome_naming(const KindTable<std::optional<LineSpan>>& lines) {
    // Per input: the first chr-prefixed and the first bare primary name
    // among its records (or a BED's lines). Only inputs that keep to one
    // style count: one that mixes them has its reasons, and says nothing
    // about the others. The first input with a style is set against the
    // first with the other one.
    std::optional<std::pair<InputKind, std::string_view>> first;
    for (const InputKind kind : kFileTypes) {
        const auto& input = lines[kind_index(kind)];
        if (!input) continue;
        std::string_view prefixed, bare, last;
        for (const std::string_view line : *input) {
            if (line.empty() || is_header_line(line)) continue;
            const std::string_view chromosome = line.substr(0, line.find('\t'));
            if (chromosome == last || chromosome.size() == line.size()) continue;
            last = chromosome;
            if (is_bare_primary_chromosome(chromosome)) {
                if (bare.empty()) bare = chromosome;
            } else if (chromosome.starts_with("chr") && is_bare_primary_chromosome(chromosome.substr(3))) {
                if (prefixed.empty()) prefixed = chromosome;
            }
            if (!prefixed.empty() && !bare.empty()) break;
        }
        if (prefixed.empty() == bare.empty()) continue;
        const std::string_view name = prefixed.empty() ? bare : prefixed;
        if (!first) {
            first.emplace(kind, name);
        } else if (name.starts_with("chr") != first->second.starts_with("chr")) {
            return log_warning(kChromosomeNaming, {std::string(kind_name(first->first)), std::string(first->second),
                                                   std::string(kind_name(kind)), std::string(name)});
        }
    }
}

HeaderMerge::HeaderMerge(InputKind donor, LineSpan donor_meta) {
    // The donor's lines stay as they are, repeated IDs included; the first
    // declaration of an ID is the one later inputs are compared with.
    for (const std::string_view line : donor_meta) {
        if (const auto declaration = parse_declaration(line)) {
            declared_.try_emplace({std::string(declaration->key), std::string(declaration->id)},
                                  Seen{donor, shape_of(*declaration)});
        }
    }
}

bool HeaderMerge::declared(std::string_view key, std::string_view id) const {
    return declared_.find(std::pair<std::string, std::string>(key, id)) != declared_.end();
}

void HeaderMerge::add_input(InputKind kind, LineSpan header) {
    for (const std::string_view line : header) {
        const auto declaration = parse_declaration(line);
        if (!declaration) continue;
        const std::string shape = shape_of(*declaration);
        const auto [first, added] =
            declared_.try_emplace({std::string(declaration->key), std::string(declaration->id)}, Seen{kind, shape});
        if (added) {
            append_terminated(declaration->key == "contig" ? added_contigs_ : added_, line);
            continue;
        }
        auto& [tag, seen] = *first;
        if (seen.shape == shape || (tag.first == "contig" && (seen.shape.empty() || shape.empty()))) continue;
        if (std::exchange(seen.warned[kind_index(kind)], true)) continue;
        log_warning(kConflictingDeclaration, {tag.first, tag.second, seen.shape, std::string(kind_name(seen.kind)),
                                              shape, std::string(kind_name(kind))});
    }
}

void HeaderMerge::add_stray(InputKind kind, std::string_view line) {
    if (parse_declaration(line)) return add_input(kind, LineSpan(&line, 1));
    append_terminated(added_, line);
}

void HeaderMerge::use_record(InputKind kind, std::string_view line) {
    // Called once per record: the chromosome costs a tab search and, mostly,
    // one comparison. A blank line's "chromosome" is white space, which
    // gets no contig line.
    if (line.empty() || is_header_line(line)) return;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return;
    use_tags(kind, line);
    const std::string_view chromosome = line.substr(0, tab);
    if (chromosome == last_used_) return;
    auto found = used_.find(chromosome);
    if (found == used_.end()) found = used_.emplace(chromosome).first;
    // Elements of a set stay where they are.
    last_used_ = *found;
}

void HeaderMerge::use_tags(InputKind kind, std::string_view line) {
    std::string_view cells[vcf::kFormat + 1];
    const std::size_t count = leading_cells(without_terminator(line), cells, vcf::kFormat + 1);
    const auto use_column = [&](std::size_t column, std::string& last, char separator, std::string_view key) {
        if (count <= column || cells[column] == last) return;
        last.assign(cells[column]);
        for_each_token(cells[column], separator, [&](std::string_view id) {
            if (id != "." && (column != vcf::kFilter || id != "PASS")) use_tag(kind, key, id, column == vcf::kFormat);
        });
    };
    use_column(vcf::kFilter, last_filter_, ';', "FILTER");
    if (count > vcf::kInfo && cells[vcf::kInfo] != ".") {
        // Records of one caller mostly give the same keys in the same order:
        // those of the record before are passed over with a comparison each.
        std::size_t index = 0;
        for_each_token(cells[vcf::kInfo], ';', [&](std::string_view entry) {
            const std::size_t equals = entry.find('=');
            const std::string_view key = entry.substr(0, equals);
            const bool has_value = equals != std::string_view::npos;
            if (index < last_info_.size() && last_info_[index].first == key && last_info_[index].second == has_value) {
                ++index;
                return;
            }
            use_tag(kind, "INFO", key, has_value);
            if (index == last_info_.size()) last_info_.emplace_back();
            last_info_[index++] = {std::string(key), has_value};
        });
    }
    use_column(vcf::kFormat, last_format_, ':', "FORMAT");
}

void HeaderMerge::use_tag(InputKind kind, std::string_view key, std::string_view id, bool has_value) {
    const auto [found, added] = used_tags_.try_emplace({key, std::string(id)}, std::string_view::npos);
    if (added && fits_header_line(id) && !declared(key, id) && !is_own_declaration(key, id)) {
        found->second = undeclared_.size();
        undeclared_.push_back({key, std::string(id), has_value});
        log_warning(kUndeclaredTag, {std::string(key), std::string(id), std::string(kind_name(kind))});
    }
    if (has_value && found->second != std::string_view::npos) undeclared_[found->second].has_value = true;
}

std::string HeaderMerge::declarations() const {
    std::string out = added_;
    for (const OwnTag& own : own_tag::kAll) {
        if (declared(own.key, own.id)) continue;
        out += "##" + std::string(own.key) + "=<ID=" + std::string(own.id) + std::string(own.rest) + "\n";
    }
    for (const Undeclared& tag : undeclared_) {
        out += "##" + std::string(tag.key) + "=<ID=" + tag.id;
        if (tag.key != "FILTER") out += tag.has_value ? ",Number=.,Type=String" : ",Number=0,Type=Flag";
        out += ",Description=\"Not declared by the input\">\n";
    }
    return out;
}

std::string HeaderMerge::contigs() const {
    std::string out = added_contigs_;
    for (const std::string& chromosome : used_) {
        if (!fits_header_line(chromosome) || declared("contig", chromosome)) continue;
        out += "##contig=<ID=" + chromosome + ">\n";
    }
    return out;
}

}  // namespace merivane::unifier
