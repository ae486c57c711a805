// Reading the inputs: each given path becomes its list of lines; inputs with
// nothing to add (absent, empty, header-only) are left out with a warning.
#pragma once

#include <cstdint>
#include <type_traits>
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

// Reads each given input with `get_lines(kind, path)`, drops SV records by
// their FILTER with `drop_sv_records`, and leaves out with a warning an input
// `is_empty` finds nothing in; over any representation of a line list, so
// that a host reads its own lists the same way.
template <class GetLines, class DropSvRecords, class IsEmpty>
auto read_struct_lines_with(const StructFiles& struct_files, const UnifyOptions& options, GetLines&& get_lines,
                            DropSvRecords&& drop_sv_records, IsEmpty&& is_empty) {
    KindTable<std::optional<std::invoke_result_t<GetLines&, InputKind, const std::string&>>> result;
    for (const InputKind kind : kFileTypes) {
        const std::optional<std::string>& path = struct_files[kind_index(kind)];
        if (!path) {
            log_warning(kInputMissing, {std::string(kind_name(kind))});
            continue;
        }
        auto lines = get_lines(kind, *path);
        // The emptiness test sees the filtered SV list: an SV file whose
        // every record was dropped has nothing to add either.
        if (kind == InputKind::Sv) lines = drop_sv_records(std::move(lines), options);
        if (is_empty(lines)) {
            log_warning(kInputEmpty, {std::string(kind_name(kind))});
            continue;
        }
        result[kind_index(kind)] = std::move(lines);
    }
    return result;
}

using FilesLines = KindTable<std::optional<Lines>>;

// The records reading saw in one input, those its FILTER dropped, and those
// left out with an input that had nothing to add.
struct ReadCounts {
    std::uint64_t read = 0;
    std::uint64_t dropped = 0;
    std::uint64_t header_only = 0;
};

// The lines of each input; `counts`, when given, gets what each held.
FilesLines read_struct_lines(const StructFiles& struct_files, const UnifyOptions& options,
                             KindTable<ReadCounts>* counts = nullptr);

}  // namespace merivane::unifier
