// Reading the inputs: each given path becomes its list of lines; inputs with
// nothing to add (absent, empty, header-only) are left out with a warning.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.hpp"
#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

inline constexpr const char* kInputMissing = "Can't unify file type \"%s\". The file does not exist.";
inline constexpr const char* kInputEmpty = "Can't unify file type \"%s\". The file is empty or contains only headers.";

// An input's lines: views into text that `owner` keeps alive.
struct Lines {
    std::shared_ptr<const void> owner;
    std::vector<std::string_view> views;
};

// The file's lines, gzip-compressed or plain (the plain reading's error is
// raised when both fail).
Lines get_lines(const std::string& path);

// True when nothing but headers and blank lines is present.
bool is_empty(LineSpan lines);

bool ends_vcf_header(std::string_view line);
// Everything up to and including the first line mentioning "#CHROM".
std::string vcf_header_from_lines(LineSpan lines);

// The steps of reading over any representation L of a line list; every
// member is set, as the core has steps only for its own lists.
template <class L>
struct ReadOverrides {
    std::function<L(const std::string& path)> get_lines;
    std::function<L(L lines, const UnifyOptions& options)> drop_sv_records;
    std::function<bool(const L& lines)> is_empty;
};

template <class L>
KindTable<std::optional<L>> read_struct_lines_with(const StructFiles& struct_files, const UnifyOptions& options,
                                                   const ReadOverrides<L>& overrides) {
    KindTable<std::optional<L>> result;
    for (const InputKind kind : kFileTypes) {
        const std::optional<std::string>& path = struct_files[kind_index(kind)];
        if (!path) {
            log_warning(kInputMissing, {std::string(kind_name(kind))});
            continue;
        }
        L lines = overrides.get_lines(*path);
        // The emptiness test sees the filtered SV list: an SV file whose
        // every record was dropped has nothing to add either.
        if (kind == InputKind::Sv) lines = overrides.drop_sv_records(std::move(lines), options);
        if (overrides.is_empty(lines)) {
            log_warning(kInputEmpty, {std::string(kind_name(kind))});
            continue;
        }
        result[kind_index(kind)] = std::move(lines);
    }
    return result;
}

using FilesLines = KindTable<std::optional<Lines>>;

ReadOverrides<Lines> core_read_steps();

FilesLines read_struct_lines(const StructFiles& struct_files, const UnifyOptions& options);

}  // namespace merivane::unifier
