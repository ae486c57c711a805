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
#include <utility>
#include <vector>

#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

inline constexpr const char* kConflictingDeclaration =
    "Header tag %s/%s is declared as %s by the %s input and as %s by the %s input; keeping the first";
inline constexpr const char* kUndeclaredTag =
    "Header tag %s/%s is used by records of the %s input but declared by no header; the merged header declares it";
inline constexpr const char* kChromosomeNaming =
    "The %s input names chromosomes like %s but the %s input like %s: were they called against different "
    "references?";

// One structured meta-information line, ##KEY=<ID=...,...>, of a key the
// merge handles (INFO, FORMAT, FILTER, ALT, contig). Views into the line.
struct Declaration {
    std::string_view key;
    std::string_view id;
    std::string_view number;  // empty when the line gives none
    std::string_view type;
    std::string_view length;  // of a contig
};

std::optional<Declaration> parse_declaration(std::string_view line);

// Warns once when one input's records name primary chromosomes "chr1" and
// another's "1": inputs called against references named apart never meet.
void warn_about_chromosome_naming(const KindTable<std::optional<LineSpan>>& lines);

class HeaderMerge {
public:
    // The donor's meta-information lines are the header so far.
    HeaderMerge(InputKind donor, LineSpan donor_meta);

    // Takes every declaration of another input's header lines whose ID the
    // header lacks; the first declaration of an ID wins, and one that
    // differs from it in Number or Type is warned about once per input.
    void add_input(InputKind kind, LineSpan header);
    // A meta-information line met among an input's records: taken as its
    // header lines are, and kept even when it declares nothing.
    void add_stray(InputKind kind, std::string_view line);

    // Notes the chromosome, INFO and FORMAT keys and FILTER values of a line
    // the writer puts after the header, if it is a record (it has a tab).
    void use_record(InputKind kind, std::string_view line);

    // INFO, FORMAT, FILTER and ALT lines: taken from the other inputs, then
    // the writer's own, then one for each tag used and declared by no line.
    std::string declarations() const;
    // Contig lines taken from the other inputs, then one per chromosome used
    // and declared by no line, in the order the sorted file meets them.
    std::string contigs() const;

private:
    struct Seen {
        InputKind kind;
        std::string shape;  // Number and Type, or a contig's length
        KindTable<bool> warned{};  // inputs already warned of a differing declaration
    };
    // A tag the records use that no header line declares, in the order met.
    struct Undeclared {
        std::string_view key;
        std::string id;
        bool has_value = false;  // an INFO key never given a value is a flag
    };

    bool declared(std::string_view key, std::string_view id) const;
    void use_tag(InputKind kind, std::string_view key, std::string_view id, bool has_value);
    void use_tags(InputKind kind, std::string_view line);

    std::map<std::pair<std::string, std::string>, Seen, std::less<>> declared_;
    std::string added_;
    std::string added_contigs_;
    std::set<std::string, std::less<>> used_;  // ordered as unsigned bytes, as the sorted file is
    std::string_view last_used_;
    // The keys and IDs the records use -> their place in undeclared_, or npos.
    std::map<std::pair<std::string_view, std::string>, std::size_t> used_tags_;
    std::vector<Undeclared> undeclared_;
    // The last FILTER and FORMAT texts met: records mostly repeat them.
    std::string last_filter_;
    std::string last_format_;
    // The INFO keys of the record before, and whether each had a value.
    std::vector<std::pair<std::string, bool>> last_info_;
};

}  // namespace merivane::unifier
