// Zone selection through TZ, and conversion to broken-down time, leap seconds included.
#include "tzlib/localtime.h"
#include "tzlib/tzfile.h"

#include "fs_helpers.h"
#include "tzif_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using box::utc;

struct fields {
    int year, mon, mday, hour, min, sec, wday, yday, isdst;
    long gmtoff;
};

fields of(const struct tm& t) {
    return {t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday, t.tm_yday, t.tm_isdst,
            t.tm_gmtoff};
}

bool operator==(const fields& a, const fields& b) {
    return a.year == b.year && a.mon == b.mon && a.mday == b.mday && a.hour == b.hour && a.min == b.min &&
           a.sec == b.sec && a.wday == b.wday && a.yday == b.yday && a.isdst == b.isdst && a.gmtoff == b.gmtoff;
}

std::ostream& operator<<(std::ostream& os, const fields& f) {
    return os << (f.year + 1900) << '-' << (f.mon + 1) << '-' << f.mday << ' ' << f.hour << ':' << f.min << ':'
              << f.sec << " wday " << f.wday << " yday " << f.yday << " dst " << f.isdst << " gmtoff " << f.gmtoff;
}

struct tm* local(std::int32_t t) { return tzlib::localtime(&t); }
struct tm* utc_tm(std::int32_t t) { return tzlib::gmtime(&t); }

void set_tz(const char* value) {
    if (value == nullptr) {
        unsetenv("TZ");
    } else {
        setenv("TZ", value, 1);
    }
}

// A fixed zone file with one type.
std::string fixed_zone(std::int32_t offset, const char* abbr) {
    tzif::zone z;
    z.types = {{offset, 0, 0}};
    z.abbrs = std::string(abbr) + '\0';
    return tzif::bytes(z);
}

class ConvertTest : public testing::Test {
protected:
    void TearDown() override {
        box::remove(box::zoneinfo);
        box::remove("/etc/localtime");
        unsetenv("TZ");
    }
};

// Runs body in a child process, so that it sees the library as a fresh process does.
#define IN_FRESH_PROCESS(body) \
    EXPECT_EXIT({ body; std::exit(testing::Test::HasFailure() ? 1 : 0); }, testing::ExitedWithCode(0), "")

TEST_F(ConvertTest, FreshProcess) {
    IN_FRESH_PROCESS({
        EXPECT_STREQ(tzlib::tzname[0], "WILDABBR");
        EXPECT_STREQ(tzlib::tzname[1], "WILDABBR");
        const struct tm* t = utc_tm(0);  // no GMT zone file: the last-resort zone
        EXPECT_EQ(of(*t), (fields{70, 0, 1, 0, 0, 0, 4, 0, 0, 0}));
        EXPECT_STREQ(t->tm_zone, "GMT");
    });
}

TEST_F(ConvertTest, GmtimeAtTheEdges) {
    struct edge {
        std::int32_t t;
        fields f;
    };
    const edge edges[] = {
        {-1, {69, 11, 31, 23, 59, 59, 3, 364, 0, 0}},
        {INT32_MAX, {138, 0, 19, 3, 14, 7, 2, 18, 0, 0}},
        {INT32_MIN, {1, 11, 13, 20, 45, 52, 5, 346, 0, 0}},
        {static_cast<std::int32_t>(utc(2000, 2, 29, 12)), {100, 1, 29, 12, 0, 0, 2, 59, 0, 0}},
    };
    for (const auto& e : edges) EXPECT_EQ(of(*utc_tm(e.t)), e.f) << e.t;

    // The platform's gmtime_r as an independent reference, over the whole 32-bit range.
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX);
    for (int i = 0; i < 20000; ++i) {
        const std::int32_t t = i < 2 ? (i ? INT32_MIN : INT32_MAX) : any(rng);
        const time_t tt = t;
        struct tm ref {};
        gmtime_r(&tt, &ref);
        struct tm mine {};
        ASSERT_EQ(of(*tzlib::gmtime_r(&t, &mine)), of(ref)) << t;
    }
}

TEST_F(ConvertTest, OffsetsCarryAcrossMidnightAndYears) {
    tzlib::zone_state none{};
    struct tm t {};
    const auto late = static_cast<std::int32_t>(utc(2026, 12, 31, 23, 30));
    tzlib::timesub(&late, 3600, none, &t);
    EXPECT_EQ(of(t), (fields{127, 0, 1, 0, 30, 0, 5, 0, 0, 3600}));
    const auto early = static_cast<std::int32_t>(utc(2026, 1, 1, 0, 30));
    tzlib::timesub(&early, -3600, none, &t);
    EXPECT_EQ(of(t), (fields{125, 11, 31, 23, 30, 0, 3, 364, 0, -3600}));
    const std::int32_t top = INT32_MAX;
    tzlib::timesub(&top, 604800, none, &t);  // a week past the end of the 32-bit range
    EXPECT_EQ(of(t), (fields{138, 0, 26, 3, 14, 7, 2, 25, 0, 604800}));
}

TEST_F(ConvertTest, AnyOffsetAgreesWithThePlatformCalendar) {
    tzlib::zone_state none{};
    std::mt19937 rng(42);
    std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX);
    for (int i = 0; i < 20000; ++i) {
        const std::int32_t t = any(rng);
        const std::int32_t offset = i % 2 ? any(rng) : any(rng) % 700000;
        struct tm mine {};
        tzlib::timesub(&t, offset, none, &mine);
        const time_t shifted = time_t{t} + offset;
        struct tm ref {};
        gmtime_r(&shifted, &ref);
        ref.tm_gmtoff = offset;
        ASSERT_EQ(of(mine), of(ref)) << t << " + " << offset;
    }
}

TEST_F(ConvertTest, LeapSeconds) {
    const auto day = static_cast<std::int32_t>(utc(1972, 7, 1));
    tzlib::zone_state sp{};
    sp.leap_count = 1;
    sp.leaps[0] = {day, 1};
    struct tm t {};
    auto at = [&](std::int32_t s) {
        tzlib::timesub(&s, 0, sp, &t);
        return fields{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0, 0, 0, 0};
    };
    EXPECT_EQ(at(day - 1), (fields{72, 5, 30, 23, 59, 59, 0, 0, 0, 0}));
    EXPECT_EQ(at(day), (fields{72, 5, 30, 23, 59, 60, 0, 0, 0, 0}));
    EXPECT_EQ(at(day + 1), (fields{72, 6, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(at(day + 3601), (fields{72, 6, 1, 1, 0, 0, 0, 0, 0, 0}));

    sp.leap_count = 2;
    sp.leaps[1] = {day + 1, 2};
    EXPECT_EQ(at(day), (fields{72, 5, 30, 23, 59, 60, 0, 0, 0, 0}));
    EXPECT_EQ(at(day + 1), (fields{72, 5, 30, 23, 59, 61, 0, 0, 0, 0}));
    EXPECT_EQ(at(day + 2), (fields{72, 6, 1, 0, 0, 0, 0, 0, 0, 0}));

    sp.leap_count = 1;
    sp.leaps[0] = {day, -1};  // a removed second is no hit
    EXPECT_EQ(at(day), (fields{72, 7 - 1, 1, 0, 0, 1, 0, 0, 0, 0}));
}

TEST_F(ConvertTest, LocalTypeChoice) {
    tzif::zone z;
    z.types = {{7200, 1, 0}, {3600, 0, 5}, {10800, 1, 0}};
    z.abbrs = std::string("CEST\0CET\0", 9);
    z.transitions = {{1000, 2}, {2000, 1}, {3000, 0}};
    box::write_zone("Choice", tzif::bytes(z));
    set_tz("Choice");
    struct probe {
        std::int32_t t;
        long gmtoff;
        int isdst;
        const char* zone;
    };
    const probe probes[] = {
        {INT32_MIN, 3600, 0, "CET"},  // before the first transition: the first standard type
        {999, 3600, 0, "CET"},      {1000, 10800, 1, "CEST"}, {1999, 10800, 1, "CEST"},
        {2000, 3600, 0, "CET"},     {3000, 7200, 1, "CEST"},  {INT32_MAX, 7200, 1, "CEST"},
    };
    for (const auto& p : probes) {
        const struct tm* t = local(p.t);
        EXPECT_EQ(t->tm_gmtoff, p.gmtoff) << p.t;
        EXPECT_EQ(t->tm_isdst, p.isdst) << p.t;
        EXPECT_STREQ(t->tm_zone, p.zone) << p.t;
    }
    z.transitions.clear();
    z.types = {{7200, 1, 0}, {10800, 1, 0}};
    box::write_zone("AllDst", tzif::bytes(z));
    set_tz("AllDst");
    EXPECT_EQ(local(0)->tm_gmtoff, 7200);  // every type daylight-saving: type 0
}

TEST_F(ConvertTest, TzCacheReloadsOnlyOnChange) {
    box::write_zone("Cache/A", fixed_zone(3600, "AAA"));
    box::write_zone("Cache/B", fixed_zone(7200, "BBB"));
    box::write("/etc/localtime", fixed_zone(-3600, "DEF"));
    set_tz("Cache/A");
    EXPECT_EQ(local(0)->tm_gmtoff, 3600);
    box::write_zone("Cache/A", fixed_zone(1800, "AAA"));
    EXPECT_EQ(local(0)->tm_gmtoff, 3600) << "unchanged TZ: not reloaded";
    set_tz("Cache/B");
    EXPECT_EQ(local(0)->tm_gmtoff, 7200);
    set_tz(nullptr);
    EXPECT_EQ(local(0)->tm_gmtoff, -3600) << "TZ removed: the default zone";
    box::write("/etc/localtime", fixed_zone(-7200, "DEF"));
    EXPECT_EQ(local(0)->tm_gmtoff, -3600) << "still absent: not reloaded";
    set_tz("Cache/A");
    EXPECT_EQ(local(0)->tm_gmtoff, 1800) << "back again: reloaded";

    // A value of 256 characters or more can't be cached and is loaded on every call.
    for (std::size_t len : {std::size_t{255}, std::size_t{256}}) {
        const std::string name = "Cache/" + std::string(200, 'x') + "/" + std::string(len - 207, 'y');
        ASSERT_EQ(name.size(), len);
        box::write_zone(name, fixed_zone(100, "LLL"));
        set_tz(name.c_str());
        EXPECT_EQ(local(0)->tm_gmtoff, 100);
        box::write_zone(name, fixed_zone(200, "LLL"));
        EXPECT_EQ(local(0)->tm_gmtoff, len == 256 ? 200 : 100) << len;
    }
}

TEST_F(ConvertTest, WhichZoneTzNames) {
    struct choice {
        const char* tz;
        bool default_valid;
        long gmtoff;
        const char* zone;
    };
    box::write_zone("Etc/Plus3", fixed_zone(10800, "P3"));
    const choice choices[] = {
        {"", true, 0, "GMT"},
        {"Etc/Plus3", true, 10800, "P3"},
        {":Etc/Plus3", true, 10800, "P3"},
        {"EST5", true, -18000, "EST"},
        {":EST5", true, 0, "GMT"},         // a colon never falls back to the rule parser
        {":Missing", false, 0, "GMT"},
        {"EST5EDT,M4.1.0,M10.5.0", true, -1800, "DEF"},  // dotted: the default zone file
        {"EST5EDT,M4.1.0,M10.5.0", false, -18000, "EST"},
        {"/usr/share/zone", true, -1800, "DEF"},
        {"/usr/share/zone", false, 0, "GMT"},  // no digit, sign or comma: no rule string either
        {"Missing", false, 0, "GMT"},
    };
    for (const auto& c : choices) {
        if (c.default_valid) {
            box::write("/etc/localtime", fixed_zone(-1800, "DEF"));
        } else {
            box::remove("/etc/localtime");
        }
        set_tz("Reset");  // a different value in between, so that the cache never answers
        local(0);
        set_tz(c.tz);
        const struct tm* t = local(0);
        EXPECT_EQ(t->tm_gmtoff, c.gmtoff) << c.tz << (c.default_valid ? " with" : " without") << " default";
        EXPECT_STREQ(t->tm_zone, c.zone) << c.tz;
    }
    set_tz("");
    local(0);
    EXPECT_STREQ(tzlib::tzname[0], "GMT");
    EXPECT_STREQ(tzlib::tzname[1], "WILDABBR");
    EXPECT_EQ(local(0)->tm_isdst, 0);
}

TEST_F(ConvertTest, TznameFollowsTheLatestTransitionOfEachKind) {
    tzif::zone z;
    z.types = {{0, 0, 0}, {3600, 1, 4}, {0, 0, 8}, {7200, 1, 12}};
    z.abbrs = std::string("AAA\0BBB\0CCC\0DDD\0", 16);
    z.transitions = {{10, 3}, {20, 2}, {30, 1}, {40, 0}};
    box::write_zone("Names", tzif::bytes(z));
    set_tz("Names");
    tzlib::tzset();
    EXPECT_STREQ(tzlib::tzname[0], "AAA");
    EXPECT_STREQ(tzlib::tzname[1], "BBB");
    local(15);  // a conversion points its kind's entry at the type it used
    EXPECT_STREQ(tzlib::tzname[1], "DDD");
    z.transitions.clear();
    box::write_zone("Names2", tzif::bytes(z));
    set_tz("Names2");
    tzlib::tzset();
    EXPECT_STREQ(tzlib::tzname[0], "CCC");  // no transitions: the highest type of each kind
    EXPECT_STREQ(tzlib::tzname[1], "DDD");
}

TEST_F(ConvertTest, OneSharedRecord) {
    set_tz("EST5");
    struct tm* l = local(0);
    EXPECT_EQ(l->tm_hour, 19);
    struct tm* g = utc_tm(0);
    EXPECT_EQ(l, g);
    EXPECT_EQ(l->tm_hour, 0);
    local(0);
    EXPECT_EQ(g->tm_hour, 19);
}

// ---- agreement with the platform's C library reading the same bytes ----

// Transitions of a zone with daylight saving from rule dates, computed without the library.
std::vector<std::pair<std::int32_t, std::uint8_t>> rule_transitions(bool southern) {
    std::vector<std::pair<std::int32_t, std::uint8_t>> out;
    auto last_sunday = [](long y, unsigned m) {
        const unsigned days_in[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        unsigned d = days_in[m - 1] + (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)));
        while ((box::days_from_civil(y, m, d) + 4) % 7 != 0) --d;
        return d;
    };
    for (long y = 1970; y <= 2037; ++y) {
        const long march = utc(y, 3, last_sunday(y, 3), 1);
        const long october = utc(y, 10, last_sunday(y, 10), 1);
        if (southern) {
            out.push_back({static_cast<std::int32_t>(march), 0});
            out.push_back({static_cast<std::int32_t>(october), 1});
        } else {
            out.push_back({static_cast<std::int32_t>(march), 1});
            out.push_back({static_cast<std::int32_t>(october), 0});
        }
    }
    return out;
}

struct reference_zone {
    const char* name;
    tzif::zone z;
};

std::vector<reference_zone> reference_zones() {
    std::vector<reference_zone> zones;
    tzif::zone north;
    north.types = {{3600, 0, 0}, {7200, 1, 4}};
    north.abbrs = std::string("CET\0CEST\0", 9);
    north.transitions = rule_transitions(false);
    north.transitions.resize(120);
    zones.push_back({"Ref/North", north});

    tzif::zone south;
    south.types = {{36000, 0, 0}, {39600, 1, 5}};
    south.abbrs = std::string("AEST\0AEDT\0", 10);
    south.transitions = rule_transitions(true);
    south.transitions.resize(100);
    zones.push_back({"Ref/South", south});

    tzif::zone leaps;
    leaps.types = {{-18000, 0, 0}};
    leaps.abbrs = std::string("EST\0", 4);
    std::int32_t corr = 0;
    for (long y : {1972L, 1973L, 1974L, 1975L, 1976L, 1977L, 1978L, 1979L, 1981L, 1990L, 2005L, 2016L}) {
        ++corr;
        leaps.leaps.push_back({static_cast<std::int32_t>(utc(y, 7, 1) + corr - 1), corr});
    }
    zones.push_back({"Ref/Leaps", leaps});
    return zones;
}

TEST_F(ConvertTest, AgreesWithThePlatform) {
    for (const auto& rz : reference_zones()) {
        box::write_zone(rz.name, tzif::bytes(rz.z));
        const std::string absolute = std::string(box::zoneinfo) + "/" + rz.name;
        std::vector<std::int32_t> instants;
        for (const auto& [t, _] : rz.z.transitions) instants.insert(instants.end(), {t - 1, t, t + 1});
        for (const auto& l : rz.z.leaps) instants.insert(instants.end(), {l.transition - 1, l.transition, l.transition + 1});
        instants.insert(instants.end(), {INT32_MIN + 86400, 0, static_cast<std::int32_t>(utc(2026, 12, 11))});
        for (const std::int32_t t : instants) {
            setenv("TZ", absolute.c_str(), 1);
            ::tzset();
            const time_t tt = t;
            struct tm ref {};
            ::localtime_r(&tt, &ref);
            setenv("TZ", rz.name, 1);
            const struct tm* mine = local(t);
            ASSERT_EQ(of(*mine), of(ref)) << rz.name << " at " << t;
            ASSERT_STREQ(mine->tm_zone, ref.tm_zone) << rz.name << " at " << t;
        }
    }
}

}  // namespace
