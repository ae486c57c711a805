// Counting records: how many lines of an input are records, and what the
// unified file holds, by input, by SVTYPE and by chromosome, as it is written.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "unifier/rules.hpp"
#include "unifier/vocabulary.hpp"

namespace merivane::unifier {

std::uint64_t count_records(LineSpan lines);

// The SVTYPE= value of a record's INFO, or empty when it has none.
std::string_view svtype_of(std::string_view record);

struct RecordTally {
    using Counts = std::map<std::string, std::uint64_t, std::less<>>;

    // Takes one record of the unified file, written for the input `kind`.
    void count(InputKind kind, std::string_view record);

    KindTable<std::uint64_t> kept{};
    std::uint64_t records = 0;
    std::uint64_t without_svtype = 0;
    Counts by_svtype;
    Counts by_chromosome;
};

}  // namespace merivane::unifier
