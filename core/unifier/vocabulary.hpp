// The words the unifier and the front doors share: the input kinds in their
// fixed order, the VCF column header, the ROH shapes and the options.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merivane::unifier {

enum class InputKind { Sv, Cnv, Repeats, Roh };
inline constexpr std::size_t kInputKinds = 4;

// One entry per input kind, indexed by kind_index.
template <class T>
using KindTable = std::array<T, kInputKinds>;

// The order in which inputs are read, warned about and tabled.
inline constexpr KindTable<InputKind> kFileTypes{InputKind::Sv, InputKind::Cnv, InputKind::Repeats, InputKind::Roh};

constexpr std::size_t kind_index(InputKind kind) { return static_cast<std::size_t>(kind); }

constexpr std::string_view kind_name(InputKind kind) {
    constexpr KindTable<std::string_view> kNames{"sv", "cnv", "repeats", "roh"};
    return kNames[kind_index(kind)];
}

constexpr std::optional<InputKind> kind_from_name(std::string_view name) {
    for (const InputKind kind : kFileTypes) {
        if (kind_name(kind) == name) return kind;
    }
    return std::nullopt;
}

// A line is the column-header line when it contains this anywhere, so sample
// columns may follow; a sites-only header (no FORMAT) does not count.
inline constexpr std::string_view kVcfColumnHeader = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

// What the rules write into records beyond the inputs' own text; the merged
// header declares each that no input declares, as "##<key>=<ID=<id><rest>".
struct OwnTag {
    std::string_view key;
    std::string_view id;
    std::string_view rest;
};
namespace own_tag {
inline constexpr OwnTag kSvtype{"INFO", "SVTYPE", ",Number=1,Type=String,Description=\"Type of structural variant\">"};
inline constexpr OwnTag kEnd{
    "INFO", "END", ",Number=1,Type=Integer,Description=\"End position of the variant described in this record\">"};
// A number, so that tag filters compare it as one.
inline constexpr OwnTag kRohScore{"INFO", "ROH_SCORE",
                                  ",Number=1,Type=Float,Description=\"Score of the run of homozygosity\">"};
inline constexpr OwnTag kRohAllele{"ALT", "ROH", ",Description=\"Run of homozygosity\">"};
inline constexpr OwnTag kGenotype{"FORMAT", "GT", ",Number=1,Type=String,Description=\"Genotype\">"};
inline constexpr std::array<OwnTag, 5> kAll{kSvtype, kEnd, kRohScore, kRohAllele, kGenotype};
}  // namespace own_tag

// How a caller's ROH input arrives; plain texts, so a caller may pass one.
namespace roh_format {
inline constexpr std::string_view kAuto = "auto";
inline constexpr std::string_view kBed = "bed";
inline constexpr std::string_view kVcf = "vcf";
}  // namespace roh_format

struct UnifyOptions {
    // nullopt: mark each repeat record that lacks SVTYPE=; true: mark every
    // well-formed one; false: mark none.
    std::optional<bool> add_repeat_svtype;
    std::string roh_format = std::string(roh_format::kAuto);
    // SV records whose FILTER carries one of these are left out.
    std::vector<std::string> drop_sv_filters;

    bool operator==(const UnifyOptions&) const = default;
};

using StructFiles = KindTable<std::optional<std::string>>;

}  // namespace merivane::unifier
