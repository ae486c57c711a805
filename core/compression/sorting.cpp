#include "compression/sorting.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "compression/gnu_sort.hpp"
#include "platform/log.hpp"

namespace merivane::compression {

namespace {

// Byte length of a whitespace character (as str.isspace() counts it) that
// starts at `pos`, or 0.
std::size_t space_at(std::string_view s, std::size_t pos) noexcept {
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) ? 1 : 0;
    const auto at = [&](std::size_t i) -> unsigned char {
        return pos + i < s.size() ? static_cast<unsigned char>(s[pos + i]) : 0;
    };
    if (c == 0xc2) return (at(1) == 0x85 || at(1) == 0xa0) ? 2 : 0;
    if (c == 0xe1) return (at(1) == 0x9a && at(2) == 0x80) ? 3 : 0;
    if (c == 0xe2) {
        const unsigned char b = at(1), d = at(2);
        if (b == 0x80 && ((d >= 0x80 && d <= 0x8a) || d == 0xa8 || d == 0xa9 || d == 0xaf)) return 3;
        if (b == 0x81 && d == 0x9f) return 3;
        return 0;
    }
    if (c == 0xe3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    return 0;
}

// Byte length of a whitespace character that ends just before `end`, or 0.
std::size_t space_before(std::string_view s, std::size_t end) noexcept {
    for (std::size_t width = 1; width <= 3 && width <= end; ++width) {
        const auto c = static_cast<unsigned char>(s[end - width]);
        if ((c & 0xc0) == 0x80) continue;  // a continuation byte: the character starts earlier
        return space_at(s, end - width) == width ? width : 0;
    }
    return 0;
}

std::string_view strip(std::string_view s) noexcept {
    std::size_t begin = 0, end = s.size();
    while (begin < end) {
        const std::size_t n = space_at(s, begin);
        if (n == 0) break;
        begin += n;
    }
    while (end > begin) {
        const std::size_t n = space_before(s, end);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

// An optional sign, then ASCII decimal digits only: the digits GNU sort reads.
std::optional<Position> parse_position(std::string_view field) noexcept {
    std::string_view text = strip(field);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);

    // Fits 64 bits when the magnitude is at most 2^63 - 1 (2^63 if negative).
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    Position position;
    std::uint64_t magnitude = 0;
    bool fits = text.size() <= 19;
    for (std::size_t i = 0; fits && i < text.size(); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > (limit + 1 - digit) / 10) fits = false;
        magnitude = magnitude * 10 + digit;
    }
    if (fits && magnitude > limit + (negative ? 1 : 0)) fits = false;
    if (!fits) {
        position.magnitude = negative ? -1 : 1;
        position.digits = text;
        return position;
    }
    position.value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return position;
}

// repr() of a text, close enough for a message: the host spells it itself.
std::string quoted(std::string_view text) {
    const char quote = (text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos) ? '"' : '\'';
    std::string out(1, quote);
    static constexpr char hex[] = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == quote || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    out += quote;
    return out;
}

}  // namespace

UnknownSortEngine::UnknownSortEngine(std::string engine)
    : ValueError("Unknown sort engine: " + quoted(engine)), engine_(std::move(engine)) {}

SortEngine parse_engine(const std::optional<std::string>& engine) {
    if (!engine || engine->empty() || *engine == PYTHON_SORT) return SortEngine::InMemory;
    if (*engine == GNU_SORT) return SortEngine::GnuSort;
    throw UnknownSortEngine(*engine);
}

bool is_header_line(std::string_view line) noexcept { return !line.empty() && line[0] == '#'; }

bool is_blank_line(std::string_view line) noexcept {
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t n = space_at(line, pos);
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

int compare_positions(const Position& a, const Position& b) noexcept {
    if (a.magnitude != b.magnitude) return a.magnitude < b.magnitude ? -1 : 1;
    if (a.magnitude == 0) return a.value < b.value ? -1 : (a.value > b.value ? 1 : 0);
    // Both beyond 64 bits with one sign: more digits is further from zero.
    int by_size = 0;
    if (a.digits.size() != b.digits.size()) {
        by_size = a.digits.size() < b.digits.size() ? -1 : 1;
    } else {
        const int c = a.digits.compare(b.digits);
        by_size = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return a.magnitude > 0 ? by_size : -by_size;
}

SortKey read_sort_key(std::string_view line) noexcept {
    SortKey key;
    key.line = line;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
        key.chromosome = line;
        key.numeric = false;
        return key;
    }
    key.chromosome = line.substr(0, tab);
    const std::size_t next = line.find('\t', tab + 1);
    const std::string_view field =
        line.substr(tab + 1, next == std::string_view::npos ? std::string_view::npos : next - tab - 1);
    if (const auto position = parse_position(field)) {
        key.position = *position;
    } else {
        key.numeric = false;
    }
    return key;
}

SortKey sort_key(std::string_view line) {
    SortKey key = read_sort_key(line);
    if (!key.numeric) {
        log_warning("Record has no numeric POS, sorting it first: %r", {std::string(first_characters(line, 80))});
    }
    return key;
}

LineSplit split_header(const std::vector<std::string_view>& lines) {
    LineSplit split;
    split.records.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (is_header_line(lines[i])) {
            split.header.push_back(i);
        } else if (!is_blank_line(lines[i])) {
            split.records.push_back(i);
        }
    }
    return split;
}

std::vector<std::size_t> sort_in_memory(const std::vector<std::string_view>& lines,
                                        const std::vector<std::size_t>& records) {
    // Chromosomes are few: rank them once so that most comparisons are of two
    // integers. Positions beyond 64 bits keep their digits aside.
    struct Entry {
        std::uint32_t chromosome;
        std::int32_t magnitude;
        std::int64_t position;  // the value, or the index in `huge` when beyond 64 bits
        std::size_t line;
    };
    std::vector<Entry> entries;
    entries.reserve(records.size());
    std::vector<Position> huge;
    std::unordered_map<std::string_view, std::uint32_t> ids;
    std::vector<std::string_view> names;
    std::string_view last_name;
    std::uint32_t last_id = 0;
    for (const std::size_t index : records) {
        const SortKey key = sort_key(lines[index]);
        std::uint32_t id = last_id;
        if (names.empty() || key.chromosome != last_name) {
            const auto [it, added] = ids.try_emplace(key.chromosome, static_cast<std::uint32_t>(names.size()));
            if (added) names.push_back(key.chromosome);
            id = it->second;
            last_name = key.chromosome;
            last_id = id;
        }
        Entry entry{id, key.position.magnitude, key.position.value, index};
        if (key.position.magnitude != 0) {
            entry.position = static_cast<std::int64_t>(huge.size());
            huge.push_back(key.position);
        }
        entries.push_back(entry);
    }

    std::vector<std::uint32_t> by_name(names.size());
    for (std::uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
    std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
    std::vector<std::uint32_t> rank(names.size());
    for (std::uint32_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;
    for (Entry& entry : entries) entry.chromosome = rank[entry.chromosome];

    // The input position as the final tie-break makes the sort stable.
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        if (a.chromosome != b.chromosome) return a.chromosome < b.chromosome;
        if (a.magnitude == 0 && b.magnitude == 0) {
            if (a.position != b.position) return a.position < b.position;
        } else {
            const Position pa = a.magnitude == 0 ? Position{0, a.position, {}} : huge[a.position];
            const Position pb = b.magnitude == 0 ? Position{0, b.position, {}} : huge[b.position];
            if (const int c = compare_positions(pa, pb)) return c < 0;
        }
        if (const int c = lines[a.line].compare(lines[b.line])) return c < 0;
        return a.line < b.line;
    });

    std::vector<std::size_t> order;
    order.reserve(entries.size());
    for (const Entry& entry : entries) order.push_back(entry.line);
    return order;
}

SortPlan plan_sort(const std::vector<std::string_view>& lines, const std::optional<std::string>& engine) {
    SortPlan plan{SortEngine::InMemory, split_header(lines)};
    plan.engine = parse_engine(engine);
    if (plan.engine == SortEngine::InMemory) plan.split.records = sort_in_memory(lines, plan.split.records);
    return plan;
}

std::vector<std::string_view> terminate_lines(const std::vector<std::string_view>& lines,
                                              std::deque<std::string>& storage) {
    std::vector<std::string_view> out;
    out.reserve(lines.size());
    for (const std::string_view line : lines) {
        if (lacks_terminator(line)) {
            storage.emplace_back(line).push_back('\n');
            out.push_back(storage.back());
        } else {
            out.push_back(line);
        }
    }
    return out;
}

SortedLines sort_vcf_lines(const std::vector<std::string_view>& lines, const std::optional<std::string>& engine) {
    SortedLines sorted;
    const std::vector<std::string_view> terminated = terminate_lines(lines, sorted.terminated);
    const SortPlan plan = plan_sort(terminated, engine);
    sorted.lines.reserve(plan.split.header.size() + plan.split.records.size());
    for (const std::size_t i : plan.split.header) sorted.lines.push_back(terminated[i]);
    if (plan.engine == SortEngine::InMemory) {
        for (const std::size_t i : plan.split.records) sorted.lines.push_back(terminated[i]);
        return sorted;
    }
    std::vector<std::string_view> records;
    records.reserve(plan.split.records.size());
    for (const std::size_t i : plan.split.records) records.push_back(terminated[i]);
    sorted.external = sort_records_with_gnu_sort(records);
    sorted.lines.insert(sorted.lines.end(), sorted.external.lines().begin(), sorted.external.lines().end());
    return sorted;
}

std::string_view first_characters(std::string_view text, std::size_t count) noexcept {
    std::size_t pos = 0;
    for (std::size_t seen = 0; pos < text.size() && seen < count; ++seen) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xc0) == 0x80) ++pos;
    }
    return text.substr(0, pos);
}

}  // namespace merivane::compression
