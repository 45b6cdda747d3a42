// Builds version-1 zone files as bytes, for tests: from the format's own table,
// with every count overridable so that a test can lie in the header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tzif {

struct type {
    std::int32_t utc_offset;
    std::uint8_t is_dst;
    std::uint8_t abbr_index;
};

struct leap {
    std::int32_t transition;
    std::int32_t correction;
};

struct zone {
    std::vector<std::pair<std::int32_t, std::uint8_t>> transitions;  // time, type index
    std::vector<type> types{{0, 0, 0}};
    std::string abbrs{"UTC", 4};
    std::vector<leap> leaps;
    std::vector<std::uint8_t> std_indicators;
    std::vector<std::uint8_t> ut_indicators;
    std::string tail;  // bytes after the version-1 block
    // Header counts that differ from the data, for files that lie.
    std::optional<std::int32_t> ut_count, std_count, leap_count, transition_count, type_count, abbr_count;
};

inline void put32(std::string& out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((u >> shift) & 0xFF));
}

// The zone file's bytes.
inline std::string bytes(const zone& z) {
    std::string out = "TZif";
    out.append(16, '\0');
    put32(out, z.ut_count.value_or(static_cast<std::int32_t>(z.ut_indicators.size())));
    put32(out, z.std_count.value_or(static_cast<std::int32_t>(z.std_indicators.size())));
    put32(out, z.leap_count.value_or(static_cast<std::int32_t>(z.leaps.size())));
    put32(out, z.transition_count.value_or(static_cast<std::int32_t>(z.transitions.size())));
    put32(out, z.type_count.value_or(static_cast<std::int32_t>(z.types.size())));
    put32(out, z.abbr_count.value_or(static_cast<std::int32_t>(z.abbrs.size())));
    for (const auto& [t, _] : z.transitions) put32(out, t);
    for (const auto& [_, k] : z.transitions) out.push_back(static_cast<char>(k));
    for (const auto& t : z.types) {
        put32(out, t.utc_offset);
        out.push_back(static_cast<char>(t.is_dst));
        out.push_back(static_cast<char>(t.abbr_index));
    }
    out += z.abbrs;
    for (const auto& l : z.leaps) {
        put32(out, l.transition);
        put32(out, l.correction);
    }
    for (auto b : z.std_indicators) out.push_back(static_cast<char>(b));
    for (auto b : z.ut_indicators) out.push_back(static_cast<char>(b));
    out += z.tail;
    return out;
}

}  // namespace tzif
