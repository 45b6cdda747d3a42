// Inside the time-zone library: the zone record and the loaders that fill it.
// Only the library and its tests include this.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

namespace tzlib {

inline constexpr int MAX_TRANSITIONS = 370;
inline constexpr int MAX_TYPES = 256;
inline constexpr int MAX_ABBR_CHARS = 50;
inline constexpr int MAX_LEAPS = 50;
inline constexpr int ABBR_AREA_SIZE = 512;

inline constexpr const char* ZONE_DIR = "/var/hack/zoneinfo";
inline constexpr const char* DEFAULT_ZONE_FILE = "/etc/localtime";
inline constexpr const char* RULES_FILE = "posixrules";

// One local time type of a zone.
struct zone_type {
    std::int32_t utc_offset;  // seconds east of UT
    std::int32_t is_dst;
    std::int32_t abbr_index;  // into zone_state::abbr_chars
    std::int32_t is_std;      // transitions into this type are given in standard time
    std::int32_t is_ut;       // transitions into this type are given in UT
};

// One leap-second correction, in force from `transition` on.
struct leap_record {
    std::int32_t transition;
    std::int32_t correction;
};

// Everything the library knows of one time zone; fixed size, filled in place.
struct zone_state {
    std::int32_t leap_count;
    std::int32_t transition_count;
    std::int32_t type_count;
    std::int32_t abbr_char_count;
    std::array<std::int32_t, MAX_TRANSITIONS> transition_times;
    std::array<std::uint8_t, MAX_TRANSITIONS> transition_types;
    std::array<zone_type, MAX_TYPES> zone_types;
    std::array<char, ABBR_AREA_SIZE> abbr_chars;
    std::array<leap_record, MAX_LEAPS> leaps;
};

inline constexpr int RULE_JULIAN_NO_LEAP = 0;
inline constexpr int RULE_DAY_OF_YEAR = 1;
inline constexpr int RULE_MONTH_WEEK_DAY = 2;

// One start or end rule of a TZ string.
struct zone_rule {
    std::int32_t kind;
    std::int32_t day;
    std::int32_t week;
    std::int32_t month;
    std::int32_t time;  // seconds after local midnight
};

// Days per month, common [0] and leap [1] years; days per year.
inline constexpr std::array<std::array<std::int32_t, 12>, 2> mon_lengths{{
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
}};
inline constexpr std::array<std::int32_t, 2> year_lengths{365, 366};

// 1 when the Gregorian year has 366 days.
constexpr int isleap(std::int32_t y) { return (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 1 : 0; }

extern zone_state lclmem;
extern zone_state gmtmem;

// Four bytes, big-endian two's complement.
std::int32_t detzcode(const unsigned char* p);

// Fills sp from the zone file that name designates; 0 or -1.
int tzload(const char* name, zone_state& sp);

// Fills sp from a POSIX TZ string; 0 or -1. last_resort: the whole string names a zone at UT.
int tzparse(const char* name, zone_state& sp, int last_resort);

// The scanners of tzparse: each returns the position after what it read, or null.
const char* getzname(const char* strp);
const char* getnum(const char* strp, std::int32_t* nump, std::int32_t min, std::int32_t max);
const char* getsecs(const char* strp, std::int32_t* secsp);
const char* getoffset(const char* strp, std::int32_t* offsetp);
const char* getrule(const char* strp, zone_rule* rulep);

// The UT instant at which rule takes effect in year, read on a clock offset seconds west of UT.
std::int32_t transtime(std::int32_t janfirst, std::int32_t year, const zone_rule& rule, std::int32_t offset);

// Breaks t + offset into tmp, applying sp's leap seconds; tm_zone is left to the caller.
void timesub(const std::int32_t* timep, std::int32_t offset, const zone_state& sp, struct tm* tmp);

}  // namespace tzlib
