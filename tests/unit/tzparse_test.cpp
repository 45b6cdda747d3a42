// POSIX TZ strings: the grammar, the four zone shapes and the transition table.
#include "tzlib/tzfile.h"

#include "fs_helpers.h"
#include "tzif_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using box::utc;
using tzlib::tzparse;
using tzlib::zone_state;

zone_state sp;

class TzparseTest : public testing::Test {
protected:
    void SetUp() override { box::remove(box::zoneinfo); }
    void TearDown() override { box::remove(box::zoneinfo); }
};

struct parse_case {
    const char* tz;
    int result;
    int type_count = 0;
    int transition_count = 0;
    int std_offset = 0;  // utc_offset of the standard type
    int dst_offset = 0;  // utc_offset of the daylight-saving type, when there is one
    const char* std_name = "";
    const char* dst_name = "";
};

TEST_F(TzparseTest, Grammar) {
    const parse_case cases[] = {
        {"EST5", 0, 1, 0, -18000, 0, "EST"},
        {"EST-5", 0, 1, 0, 18000, 0, "EST"},
        {"EST+5", 0, 1, 0, -18000, 0, "EST"},
        {"EST05:00:00", 0, 1, 0, -18000, 0, "EST"},
        {"EST167", 0, 1, 0, -601200, 0, "EST"},
        {"EST5:59:60", 0, 1, 0, -(5 * 3600 + 59 * 60 + 60), 0, "EST"},
        {"E S T5", 0, 1, 0, -18000, 0, "E S T"},
        {"<EST>5", 0, 1, 0, -18000, 0, "<EST>"},
        {"EST", -1}, {"ES5", -1}, {"EST5ED", -1}, {"5EST", -1}, {"", -1}, {"EST168", -1},
        {"EST5:60", -1}, {"EST5:", -1}, {"EST5:30:", -1}, {"EST-", -1}, {"<+03>-3", -1},
        {"EST5EDT,M4.1.0,M10.5.0", 0, 2, 136, -18000, -14400, "EST", "EDT"},
        {"EST5EDT4;M4.1.0,M10.5.0", 0, 2, 136, -18000, -14400, "EST", "EDT"},
        {"EST5EDT3,M4.1.0,M10.5.0", 0, 2, 136, -18000, -10800, "EST", "EDT"},
        {"EST5EDT;M4.1.0,M10.5.0", -1}, {"EST5EDT,M4.1.0", -1}, {"EST5EDT,M4.1.0,M10.5.0 ", -1},
        {"EST5EDT,M4.1.0;M10.5.0", -1}, {"EST5EDT,X4,M10.5.0", -1},
        {"EST5EDT,J0,M10.5.0", -1}, {"EST5EDT,J366,M10.5.0", -1}, {"EST5EDT,366,M10.5.0", -1},
        {"EST5EDT,M0.1.0,M10.5.0", -1}, {"EST5EDT,M13.1.0,M10.5.0", -1}, {"EST5EDT,M4.0.0,M10.5.0", -1},
        {"EST5EDT,M4.6.0,M10.5.0", -1}, {"EST5EDT,M4.1.7,M10.5.0", -1}, {"EST5EDT,M4.1.0/-1,M10.5.0", -1},
        {"EST5EDT,J1,J365", 0, 2, 136, -18000, -14400, "EST", "EDT"},
        {"EST5EDT,0,365", 0, 2, 136, -18000, -14400, "EST", "EDT"},
        {"EST5EDT,M4.1.0/167:59:60,M10.5.0/0", 0, 2, 136, -18000, -14400, "EST", "EDT"},
        {"EST5EDT", -1},  // no rules and no rules file
    };
    for (const auto& c : cases) {
        ASSERT_EQ(tzparse(c.tz, sp, 0), c.result) << c.tz;
        if (c.result != 0) continue;
        EXPECT_EQ(sp.type_count, c.type_count) << c.tz;
        EXPECT_EQ(sp.transition_count, c.transition_count) << c.tz;
        EXPECT_EQ(sp.leap_count, 0) << c.tz;
        const int std_type = c.type_count == 2 ? 1 : 0;
        EXPECT_EQ(sp.zone_types[std_type].utc_offset, c.std_offset) << c.tz;
        EXPECT_EQ(sp.zone_types[std_type].is_dst, 0) << c.tz;
        EXPECT_STREQ(&sp.abbr_chars[sp.zone_types[std_type].abbr_index], c.std_name) << c.tz;
        if (c.type_count == 2) {
            EXPECT_EQ(sp.zone_types[0].utc_offset, c.dst_offset) << c.tz;
            EXPECT_EQ(sp.zone_types[0].is_dst, 1) << c.tz;
            EXPECT_STREQ(&sp.abbr_chars[sp.zone_types[0].abbr_index], c.dst_name) << c.tz;
        }
        const int expected_chars = static_cast<int>(std::strlen(c.std_name) + 1 +
                                                     (c.type_count == 2 ? std::strlen(c.dst_name) + 1 : 0));
        EXPECT_EQ(sp.abbr_char_count, expected_chars) << c.tz;
    }
}

TEST_F(TzparseTest, FailureInTheStandardPartLeavesTheRecordAlone) {
    ASSERT_EQ(tzparse("EST5", sp, 0), 0);
    const zone_state before = sp;
    ASSERT_EQ(tzparse("EST", sp, 0), -1);
    EXPECT_EQ(std::memcmp(&before, &sp, sizeof sp), 0);
}

struct pair_case {
    int index;  // into the transition table
    long at;
    int type;
};

TEST_F(TzparseTest, TransitionTable) {
    ASSERT_EQ(tzparse("EST5EDT,M4.1.0,M10.5.0", sp, 0), 0);
    const pair_case northern[] = {
        {0, utc(1970, 4, 5, 7), 0}, {1, utc(1970, 10, 25, 6), 1},
        {134, utc(2037, 4, 5, 7), 0}, {135, utc(2037, 10, 25, 6), 1},
    };
    for (const auto& c : northern) {
        EXPECT_EQ(sp.transition_times[c.index], c.at) << c.index;
        EXPECT_EQ(sp.transition_types[c.index], c.type) << c.index;
    }
    // A daylight-saving period across the new year: the end comes first in every year.
    ASSERT_EQ(tzparse("AAA-10BBB,M10.5.0,M3.5.0", sp, 0), 0);
    const pair_case southern[] = {{0, utc(1970, 3, 28, 15), 1}, {1, utc(1970, 10, 24, 16), 0}};
    for (const auto& c : southern) {
        EXPECT_EQ(sp.transition_times[c.index], c.at) << c.index;
        EXPECT_EQ(sp.transition_types[c.index], c.type) << c.index;
    }
    for (int i = 0; i < 136; i += 2) EXPECT_EQ(sp.transition_types[i], 1) << i;
    // Start and end at the same instant: start first.
    ASSERT_EQ(tzparse("AAA0BBB1,M4.1.0/1,M4.1.0/0", sp, 0), 0);
    EXPECT_EQ(sp.transition_times[0], sp.transition_times[1]);
    EXPECT_EQ(sp.transition_types[0], 0);
    EXPECT_EQ(sp.transition_types[1], 1);
}

struct day_case {
    const char* rule;
    long year;
    long on_year;  // the date meant, which may lie in the next year
    unsigned month;
    unsigned day;
};

TEST_F(TzparseTest, DayNumbering) {
    const day_case cases[] = {
        {"J59", 1999, 1999, 2, 28}, {"J59", 2000, 2000, 2, 28}, {"J60", 1999, 1999, 3, 1}, {"J60", 2000, 2000, 3, 1},
        {"J1", 2001, 2001, 1, 1}, {"J365", 2000, 2000, 12, 31},
        {"59", 1999, 1999, 3, 1}, {"59", 2000, 2000, 2, 29}, {"0", 2000, 2000, 1, 1},
        {"365", 2000, 2000, 12, 31}, {"365", 1999, 2000, 1, 1},
        {"M2.5.0", 1970, 1970, 2, 22}, {"M2.5.0", 2015, 2015, 2, 22}, {"M2.5.0", 2004, 2004, 2, 29},  // four and five Sundays
        {"M3.2.0", 2026, 2026, 3, 8}, {"M11.1.0", 2026, 2026, 11, 1}, {"M10.5.0", 2026, 2026, 10, 25}, {"M3.5.0", 2000, 2000, 3, 26},
        {"M1.1.1", 2024, 2024, 1, 1}, {"M1.1.0", 2023, 2023, 1, 1}, {"M12.5.6", 2037, 2037, 12, 26},
    };
    for (const auto& c : cases) {
        tzlib::zone_rule rule{};
        const char* end = tzlib::getrule(c.rule, &rule);
        ASSERT_NE(end, nullptr) << c.rule;
        ASSERT_EQ(*end, '\0') << c.rule;
        EXPECT_EQ(rule.time, 7200) << c.rule;
        const auto janfirst = static_cast<std::int32_t>(utc(c.year, 1, 1));
        const long expected = utc(c.on_year, c.month, c.day);
        EXPECT_EQ(tzlib::transtime(janfirst, static_cast<std::int32_t>(c.year), rule, 0), expected + 7200)
            << c.rule << " in " << c.year;
    }
}

TEST_F(TzparseTest, NameLengthLimit) {
    const std::string name511(511, 'N');
    EXPECT_EQ(tzparse((name511 + "5").c_str(), sp, 0), 0);
    EXPECT_EQ(sp.abbr_char_count, 512);
    EXPECT_EQ(tzparse((std::string(512, 'N') + "5").c_str(), sp, 0), -1);
    const std::string both = std::string(300, 'S') + "5" + std::string(210, 'D') + ",M4.1.0,M10.5.0";
    EXPECT_EQ(tzparse(both.c_str(), sp, 0), 0);
    const std::string too_long = std::string(300, 'S') + "5" + std::string(211, 'D') + ",M4.1.0,M10.5.0";
    EXPECT_EQ(tzparse(too_long.c_str(), sp, 0), -1);
}

TEST_F(TzparseTest, LastResort) {
    ASSERT_EQ(tzparse("GMT", sp, 1), 0);
    EXPECT_EQ(sp.type_count, 1);
    EXPECT_EQ(sp.transition_count, 0);
    EXPECT_EQ(sp.zone_types[0].utc_offset, 0);
    EXPECT_STREQ(sp.abbr_chars.data(), "GMT");
    const std::string long_name = "12+-," + std::string(595, 'x');
    ASSERT_EQ(tzparse(long_name.c_str(), sp, 1), 0);
    EXPECT_EQ(std::string(sp.abbr_chars.data()), long_name.substr(0, 511));
}

TEST_F(TzparseTest, RulesFileLeapSecondsAreCarried) {
    tzif::zone rules;
    rules.leaps = {{78796800, 1}, {94694401, 2}};
    box::write_zone("posixrules", tzif::bytes(rules));
    for (const char* tz : {"EST5", "EST5EDT,M4.1.0,M10.5.0", "EST5EDT"}) {
        ASSERT_EQ(tzparse(tz, sp, 0), 0) << tz;
        EXPECT_EQ(sp.leap_count, 2) << tz;
        EXPECT_EQ(sp.leaps[1].correction, 2) << tz;
    }
    ASSERT_EQ(tzparse("GMT", sp, 1), 0);
    EXPECT_EQ(sp.leap_count, 2);
}

TEST_F(TzparseTest, DstNameWithoutRulesMovesTheRulesFile) {
    // The rules file: standard time 5 hours west, daylight-saving time 4 hours west.
    tzif::zone rules;
    rules.types = {{-18000, 0, 0}, {-14400, 1, 4}, {-18000, 0, 0}, {-14400, 1, 4}, {-18000, 0, 0}};
    rules.abbrs = std::string("EST\0EDT\0", 8);
    //                     type:  0 wall  1 wall  2 std   3 std   4 UT
    rules.std_indicators = {0, 0, 1, 1, 0};
    rules.ut_indicators = {0, 0, 0, 0, 1};
    rules.transitions = {{1000000, 1}, {2000000, 0}, {3000000, 3}, {4000000, 2}, {5000000, 4}};
    box::write_zone("posixrules", tzif::bytes(rules));

    ASSERT_EQ(tzparse("CET-1CEST", sp, 0), 0);
    EXPECT_EQ(sp.type_count, 5);
    EXPECT_EQ(sp.transition_count, 5);
    constexpr int six_hours = 6 * 3600;
    const pair_case moved[] = {
        {0, 1000000 - six_hours, 1}, {1, 2000000 - six_hours, 0},  // wall clock: same reading
        {2, 3000000 - six_hours, 1}, {3, 4000000 - six_hours, 0},  // standard time: same reading
        {4, 5000000, 0},                                           // UT: same instant
    };
    for (const auto& c : moved) {
        EXPECT_EQ(sp.transition_times[c.index], c.at) << c.index;
        EXPECT_EQ(sp.transition_types[c.index], c.type) << c.index;
    }
    EXPECT_EQ(sp.zone_types[0].utc_offset, 3600);
    EXPECT_EQ(sp.zone_types[0].is_dst, 0);
    EXPECT_EQ(sp.zone_types[1].utc_offset, 7200);
    EXPECT_EQ(sp.zone_types[1].is_dst, 1);
    EXPECT_STREQ(&sp.abbr_chars[sp.zone_types[1].abbr_index], "CEST");

    EXPECT_EQ(tzparse("CET-1CEST-2x", sp, 0), -1);  // nothing may follow the offset without rules
    tzif::zone flat;
    box::write_zone("posixrules", tzif::bytes(flat));
    ASSERT_EQ(tzparse("CET-1CEST", sp, 0), 0);
    EXPECT_EQ(sp.transition_count, 0);
}

}  // namespace
