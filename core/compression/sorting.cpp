#include "compression/sorting.hpp"

#include <algorithm>
#include <compare>
#include <map>
#include <utility>

#include "platform/interrupt.hpp"
#include "platform/log.hpp"
#include "platform/strings.hpp"
#include "platform/vcf_fields.hpp"

namespace merivane::compression {

namespace {

// An optional sign, then ASCII decimal digits only: the digits GNU sort reads.
std::optional<Position> parse_position(std::string_view field) noexcept {
    auto [negative, digits] = split_sign(strip_whitespace(field));
    if (!is_ascii_digits(digits)) return std::nullopt;
    while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
    if (const auto value = digits_to_int64(negative, digits)) return Position{0, *value, {}};
    return Position{negative ? -1 : 1, 0, digits};
}

std::strong_ordering compare_positions(const Position& a, const Position& b) noexcept {
    if (a.magnitude != b.magnitude) return a.magnitude <=> b.magnitude;
    if (a.magnitude == 0) return a.value <=> b.value;
    // Both beyond 64 bits with one sign: more digits is further from zero.
    const auto order = std::pair(a.digits.size(), a.digits) <=> std::pair(b.digits.size(), b.digits);
    return a.magnitude > 0 ? order : 0 <=> order;
}

// A record as the in-memory engine compares it. Chromosomes are few: each is
// ranked once, so that most comparisons are of two integers.
struct Entry {
    std::uint32_t chromosome;
    std::int32_t magnitude;
    std::int64_t position;  // unless beyond 64 bits: that is rare, and read from the line again
    std::size_t line;
};

// Each record's key, read once. Chromosomes are numbered as first seen,
// then ranked by contig place, then name; undeclared ones share the place
// after the others.
std::vector<Entry> read_entries(const std::vector<std::string_view>& lines, const std::vector<std::size_t>& records,
                                const ContigOrder* contigs, InterruptPoller& poller) {
    std::vector<Entry> entries;
    entries.reserve(records.size());
    std::map<std::pair<std::uint32_t, std::string_view>, std::uint32_t> ids;
    std::string_view last_name;
    std::uint32_t last_id = 0;
    for (const std::size_t index : records) {
        poller.poll_every(1023);
        const SortKey key = sort_key(lines[index]);
        if (ids.empty() || key.chromosome != last_name) {
            const std::uint32_t place = contigs ? contigs->rank(key.chromosome).value_or(contigs->size()) : 0;
            last_id = ids.try_emplace({place, key.chromosome}, static_cast<std::uint32_t>(ids.size())).first->second;
            last_name = key.chromosome;
        }
        entries.push_back({last_id, key.position.magnitude, key.position.value, index});
    }
    std::vector<std::uint32_t> rank(ids.size());
    std::uint32_t next = 0;
    for (const auto& [chromosome, id] : ids) rank[id] = next++;
    for (Entry& entry : entries) entry.chromosome = rank[entry.chromosome];
    return entries;
}

}  // namespace

SortEngine sort_engine(const std::optional<std::string>& engine) {
    if (!engine || engine->empty() || *engine == kPythonSort) return SortEngine::InMemory;
    if (*engine == kGnuSort) return SortEngine::GnuSort;
    throw UnknownSortEngine(*engine);
}

UnknownSortEngine::UnknownSortEngine(const std::string& engine) : ValueError("Unknown sort engine: " + quoted(engine)) {}

SortKey read_sort_key(std::string_view line) noexcept {
    SortKey key;
    std::string_view cells[vcf::kPos + 1];
    if (leading_cells(line, cells, vcf::kPos + 1) <= vcf::kPos) {
        key.chromosome = line;
        key.numeric = false;
        return key;
    }
    key.chromosome = cells[vcf::kChrom];
    const std::optional<Position> position = parse_position(cells[vcf::kPos]);
    key.position = position.value_or(Position{});
    key.numeric = position.has_value();
    return key;
}

SortKey sort_key(std::string_view line) {
    SortKey key = read_sort_key(line);
    if (!key.numeric) {
        log_warning("Record has no numeric POS, sorting it first: %r", {std::string(first_characters(line, 80))});
    }
    return key;
}

void ContigOrder::add_header_line(std::string_view line) {
    line = without_terminator(line);
    constexpr std::string_view kOpen = "##contig=<";
    if (!line.starts_with(kOpen) || !line.ends_with('>')) return;
    const std::string_view body = line.substr(kOpen.size(), line.size() - kOpen.size() - 1);
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t comma = std::min(body.find(',', at), body.size());
        if (const std::string_view field = body.substr(at, comma - at); field.starts_with("ID=")) {
            ranks_.try_emplace(std::string(field.substr(3)), size());
            return;
        }
        at = comma + 1;
    }
}

std::optional<std::uint32_t> ContigOrder::rank(std::string_view chromosome) const {
    const auto found = ranks_.find(chromosome);
    return found == ranks_.end() ? std::nullopt : std::optional(found->second);
}

LineSplit split_header(const std::vector<std::string_view>& lines) {
    LineSplit split;
    split.records.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const LineRole role = line_role(lines[i]);
        if (role != LineRole::Blank) (role == LineRole::Header ? split.header : split.records).push_back(i);
    }
    return split;
}

std::vector<std::size_t> sort_in_memory(const std::vector<std::string_view>& lines,
                                        const std::vector<std::size_t>& records, const ContigOrder* contigs) {
    // Only the calling thread sorts, so it polls for an interrupt here.
    InterruptPoller poller;
    std::vector<Entry> entries = read_entries(lines, records, contigs, poller);
    const auto position = [&](const Entry& e) {
        return e.magnitude == 0 ? Position{0, e.position, {}} : read_sort_key(lines[e.line]).position;
    };
    // The input position as the final tie-break makes the sort stable.
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        poller.poll_every(65535);
        if (a.chromosome != b.chromosome) return a.chromosome < b.chromosome;
        if (const auto c = compare_positions(position(a), position(b)); c != 0) return c < 0;
        if (const int c = lines[a.line].compare(lines[b.line])) return c < 0;
        return a.line < b.line;
    });
    std::vector<std::size_t> order(entries.size());
    std::ranges::transform(entries, order.begin(), &Entry::line);
    return order;
}

SortPlan plan_sort(const std::vector<std::string_view>& lines, const std::optional<std::string>& engine,
                   SortOrder order) {
    SortPlan plan{SortEngine::InMemory, split_header(lines), std::nullopt};
    plan.engine = sort_engine(engine);
    if (order == SortOrder::Contig) {
        plan.contigs.emplace();
        for (const std::size_t i : plan.split.header) plan.contigs->add_header_line(lines[i]);
    }
    if (plan.engine == SortEngine::InMemory) {
        plan.split.records = sort_in_memory(lines, plan.split.records, plan.contigs ? &*plan.contigs : nullptr);
    }
    return plan;
}

}  // namespace merivane::compression
