#include "unifier/tally.hpp"

#include <algorithm>

#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::unifier {

namespace {
void add(RecordTally::Counts& counts, std::string_view key) {
    if (const auto found = counts.find(key); found != counts.end()) {
        ++found->second;
    } else {
        counts.emplace(std::string(key), 1);
    }
}
}  // namespace

std::uint64_t count_records(LineSpan lines) {
    std::uint64_t records = 0;
    for (const std::string_view line : lines) records += is_record_line(line) ? 1 : 0;
    return records;
}

std::string_view svtype_of(std::string_view record) {
    std::string_view cells[vcf::kInfo + 1];
    if (leading_cells(without_terminator(record), cells, vcf::kInfo + 1) <= vcf::kInfo) return {};
    std::string_view info = cells[vcf::kInfo];
    const std::string_view key = own_tag::kSvtype.id;
    for (std::size_t start = 0; start <= info.size();) {
        const std::size_t end = std::min(info.find(';', start), info.size());
        const std::string_view entry = info.substr(start, end - start);
        if (entry.starts_with(key) && entry.substr(key.size()).starts_with('=')) return entry.substr(key.size() + 1);
        start = end + 1;
    }
    return {};
}

void RecordTally::count(InputKind kind, std::string_view record) {
    ++kept[kind_index(kind)];
    ++records;
    std::string_view chrom;
    leading_cells(without_terminator(record), &chrom, 1);
    add(by_chromosome, chrom);
    const std::string_view svtype = svtype_of(record);
    if (svtype.empty()) {
        ++without_svtype;
    } else {
        add(by_svtype, svtype);
    }
}

}  // namespace merivane::unifier
