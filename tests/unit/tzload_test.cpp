// Loading compiled zone files: name rules, limits and every validity check.
#include "tzlib/tzfile.h"

#include "fs_helpers.h"
#include "tzif_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <sys/stat.h>

namespace {

using tzlib::tzload;
using tzlib::zone_state;

zone_state sp;

// A small valid zone: two types, two transitions, one leap record.
tzif::zone sample() {
    tzif::zone z;
    z.types = {{-18000, 0, 0}, {-14400, 1, 4}};
    z.abbrs = std::string("EST\0EDT\0", 8);
    z.transitions = {{100, 1}, {200, 0}};
    z.leaps = {{78796800, 1}};
    return z;
}

class TzloadTest : public testing::Test {
protected:
    void TearDown() override {
        box::remove(box::zoneinfo);
        box::remove("/etc/localtime");
    }
};

TEST_F(TzloadTest, LoadsEveryItemOfTheFile) {
    tzif::zone z = sample();
    z.std_indicators = {1, 0};
    z.ut_indicators = {0, 1};
    box::write_zone("America/Test", tzif::bytes(z));
    ASSERT_EQ(tzload("America/Test", sp), 0);
    EXPECT_EQ(sp.transition_count, 2);
    EXPECT_EQ(sp.type_count, 2);
    EXPECT_EQ(sp.leap_count, 1);
    EXPECT_EQ(sp.abbr_char_count, 8);
    EXPECT_EQ(sp.transition_times[0], 100);
    EXPECT_EQ(sp.transition_times[1], 200);
    EXPECT_EQ(sp.transition_types[0], 1);
    EXPECT_EQ(sp.transition_types[1], 0);
    EXPECT_EQ(sp.zone_types[1].utc_offset, -14400);
    EXPECT_EQ(sp.zone_types[1].is_dst, 1);
    EXPECT_STREQ(&sp.abbr_chars[sp.zone_types[1].abbr_index], "EDT");
    EXPECT_EQ(sp.leaps[0].transition, 78796800);
    EXPECT_EQ(sp.leaps[0].correction, 1);
    EXPECT_EQ(sp.zone_types[0].is_std, 1);
    EXPECT_EQ(sp.zone_types[1].is_std, 0);
    EXPECT_EQ(sp.zone_types[0].is_ut, 0);
    EXPECT_EQ(sp.zone_types[1].is_ut, 1);
    EXPECT_EQ(sp.abbr_chars[sp.abbr_char_count], '\0');
    EXPECT_EQ(tzload(":America/Test", sp), 0);
}

struct file_case {
    const char* what;
    std::function<void(tzif::zone&)> change;
    int result;
};

TEST_F(TzloadTest, LimitsAndValidity) {
    const file_case cases[] = {
        {"sample", [](tzif::zone&) {}, 0},
        {"370 transitions", [](tzif::zone& z) { z.transitions.assign(370, {5, 0}); }, 0},
        {"371 transitions", [](tzif::zone& z) { z.transitions.assign(371, {5, 0}); }, -1},
        {"256 types", [](tzif::zone& z) { z.types.assign(256, {0, 0, 0}); }, 0},
        {"257 types", [](tzif::zone& z) { z.types.assign(257, {0, 0, 0}); }, -1},
        {"no types", [](tzif::zone& z) { z.types.clear(); z.transitions.clear(); z.tail.assign(6, '\0'); }, -1},
        {"50 abbreviation chars", [](tzif::zone& z) { z.abbrs.assign(50, 'A'); }, 0},
        {"51 abbreviation chars", [](tzif::zone& z) { z.abbrs.assign(51, 'A'); }, -1},
        {"50 leaps", [](tzif::zone& z) { z.leaps.assign(50, {0, 0}); }, 0},
        {"51 leaps", [](tzif::zone& z) { z.leaps.assign(51, {0, 0}); }, -1},
        {"negative leap count", [](tzif::zone& z) { z.leap_count = -1; }, -1},
        {"negative transition count", [](tzif::zone& z) { z.transition_count = -1; }, -1},
        {"negative type count", [](tzif::zone& z) { z.type_count = -2; }, -1},
        {"negative abbreviation count", [](tzif::zone& z) { z.abbr_count = -1; }, -1},
        {"UT count neither 0 nor types", [](tzif::zone& z) { z.ut_indicators = {0}; }, -1},
        {"std count neither 0 nor types", [](tzif::zone& z) { z.std_indicators = {0, 0, 0}; }, -1},
        {"std indicators only", [](tzif::zone& z) { z.std_indicators = {1, 1}; }, 0},
        {"UT indicators only", [](tzif::zone& z) { z.ut_indicators = {1, 0}; }, 0},
        {"abbreviation index at the count", [](tzif::zone& z) { z.types[1].abbr_index = 8; }, 0},
        {"abbreviation index past the count", [](tzif::zone& z) { z.types[1].abbr_index = 9; }, -1},
        {"daylight-saving flag 2", [](tzif::zone& z) { z.types[0].is_dst = 2; }, -1},
        {"std indicator 2", [](tzif::zone& z) { z.std_indicators = {0, 2}; }, -1},
        {"UT indicator 2", [](tzif::zone& z) { z.ut_indicators = {2, 0}; }, -1},
        {"transition type at the type count", [](tzif::zone& z) { z.transitions[1].second = 2; }, -1},
        {"data after the version-1 block", [](tzif::zone& z) { z.tail = "TZif2" + std::string(100, 'x'); }, 0},
        {"longer than one read", [](tzif::zone& z) { z.tail.assign(20000, '\xff'); }, 0},
        {"counts promise more than the file holds", [](tzif::zone& z) { z.leap_count = 2; }, -1},
    };
    for (const auto& c : cases) {
        tzif::zone z = sample();
        c.change(z);
        box::write_zone("Limits", tzif::bytes(z));
        EXPECT_EQ(tzload("Limits", sp), c.result) << c.what;
    }
}

TEST_F(TzloadTest, ShortAndTruncatedFiles) {
    const std::string whole = tzif::bytes(sample());
    for (std::size_t len : {std::size_t{0}, std::size_t{43}, std::size_t{44}, std::size_t{49}, whole.size() - 1}) {
        box::write_zone("Short", whole.substr(0, len));
        EXPECT_EQ(tzload("Short", sp), -1) << len;
    }
    tzif::zone one;  // the smallest valid file: a header and one type, no abbreviation
    one.abbrs.clear();
    const std::string smallest = tzif::bytes(one);
    ASSERT_EQ(smallest.size(), 50u);
    box::write_zone("Smallest", smallest);
    EXPECT_EQ(tzload("Smallest", sp), 0);
    std::string no_magic = whole;
    no_magic.replace(0, 20, std::string(20, '?'));
    box::write_zone("NoMagic", no_magic);
    EXPECT_EQ(tzload("NoMagic", sp), 0);
}

TEST_F(TzloadTest, NamesThatCouldLeaveTheZoneDirectoryLoadTheDefaultFile) {
    tzif::zone def;
    def.types = {{3600, 0, 0}};
    def.abbrs = std::string("DEF", 4);
    box::write_zone("Here", tzif::bytes(sample()));
    box::write_zone("a.b", tzif::bytes(sample()));
    box::write("/tmp/abs", tzif::bytes(sample()));
    const char* names[] = {nullptr, "/tmp/abs", ":/tmp/abs", "a.b", "../zoneinfo/Here", "EST5EDT,M4.1.0,M10.5.0"};
    for (const char* name : names) {
        box::remove("/etc/localtime");
        EXPECT_EQ(tzload(name, sp), -1) << (name ? name : "null") << " without a default file";
        box::write("/etc/localtime", tzif::bytes(def));
        ASSERT_EQ(tzload(name, sp), 0) << (name ? name : "null");
        EXPECT_EQ(sp.zone_types[0].utc_offset, 3600) << (name ? name : "null");
    }
}

TEST_F(TzloadTest, NoRegularFileNoLoad) {
    std::filesystem::create_directories(std::string(box::zoneinfo) + "/Dir");
    EXPECT_EQ(tzload("Dir", sp), -1);
    EXPECT_EQ(tzload("", sp), -1);   // the zone directory itself
    EXPECT_EQ(tzload(":", sp), -1);
    EXPECT_EQ(tzload("Missing", sp), -1);
    // A FIFO is refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo((std::string(box::zoneinfo) + "/Fifo").c_str(), 0644), 0);
    EXPECT_EQ(tzload("Fifo", sp), -1);
    ASSERT_EQ(mkfifo("/etc/localtime", 0644), 0);
    EXPECT_EQ(tzload(nullptr, sp), -1);
    EXPECT_EQ(tzload("/dev/null", sp), -1);
}

TEST_F(TzloadTest, PathLengthLimit) {
    // 4075 characters joined under the 18-character zone directory make 4094: the longest tried.
    auto long_name = [](std::size_t len) {
        std::string name;
        while (name.size() + 201 < len) name += std::string(200, 'd') + "/";
        return name + std::string(len - name.size(), 'f');
    };
    for (std::size_t len : {std::size_t{4075}, std::size_t{4076}}) {
        const std::string name = long_name(len);
        ASSERT_EQ(name.size(), len);
        box::write_zone(name, tzif::bytes(sample()));
        EXPECT_EQ(tzload(name.c_str(), sp), len == 4075 ? 0 : -1) << len;
    }
}

}  // namespace
