// The merged header (opt-in): the donor's meta-information lines, then what
// the other inputs declare and the donor does not, then declarations for what
// the writer itself produces, so that htslib-based tools find every INFO,
// FORMAT, FILTER, ALT and contig of the unified file declared.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

inline constexpr const char* kConflictingDeclaration =
    "Header tag %s/%s is declared as %s by the %s input and as %s by the %s input; keeping the first";

// One structured meta-information line, ##KEY=<ID=...,...>, of a key the
// merge handles (INFO, FORMAT, FILTER, ALT, contig). Views into the line.
struct Declaration {
    std::string_view key;
    std::string_view id;
    std::string_view number;  // empty when the line gives none
    std::string_view type;
};

std::optional<Declaration> parse_declaration(std::string_view line);

// Whether a header line is meta-information ("##..."); the header's
// declarations are the leading run of such lines.
inline bool is_meta_line(std::string_view line) { return line.starts_with("##"); }

class HeaderMerge {
public:
    // The donor's meta-information lines are the header so far.
    HeaderMerge(InputKind donor, LineSpan donor_meta);

    // Takes every declaration of another input's header lines whose ID the
    // header lacks; the first declaration of an ID wins, and one that
    // differs from it in Number or Type is warned about once per input.
    void add_input(InputKind kind, LineSpan header);

    // Notes the chromosome of a line the writer puts after the header
    // (header lines, blank lines and lines without a tab are no records).
    void use_record(std::string_view line);

    // Taken from the other inputs, then the writer's own: INFO, FORMAT,
    // FILTER and ALT lines, each terminated.
    std::string declarations() const;
    // Contig lines taken from the other inputs, then one per chromosome that
    // a record uses and no line declares, in the order the sorted file
    // meets them.
    std::string contigs() const;

private:
    struct Seen {
        InputKind kind;
        std::string number;
        std::string type;
    };

    bool declared(std::string_view key, std::string_view id) const;
    void declare(const Declaration& declaration, InputKind kind);

    std::map<std::pair<std::string, std::string>, Seen, std::less<>> declared_;
    std::set<std::pair<std::pair<std::string, std::string>, InputKind>> warned_;
    std::string added_;
    std::string added_contigs_;
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_set<std::string, TextHash, std::equal_to<>> used_;
    std::string_view last_used_;
};

}  // namespace merivane::unifier
