// Local zone discovery through real files and real programs in the sandbox:
// the postcode table, the postcode program, the zone choice and the offset.
#include "zonefind/plimbotimelib.h"

#include "fs_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// The clock reading that get_timezone_offset sees: link-time interposition of time().
namespace {
time_t fake_now = 0;
bool clock_faked = false;
}  // namespace

extern "C" time_t time(time_t* tloc) noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t now = clock_faked ? fake_now : ts.tv_sec;
    if (tloc != nullptr) *tloc = now;
    return now;
}

namespace {

using namespace zonefind;
using namespace std::string_literals;
using box::utc;

constexpr const char* table_path = "/etc/postcodezones";
constexpr const char* program_path = "/var/hack/bin/get_postalcode";
constexpr const char* runs_path = "/tmp/postcode-runs";

void write_table(const std::string& bytes) { box::write(table_path, bytes); }

// Installs a postcode program; every run also appends a line to runs_path.
void write_program(const std::string& body) {
    box::write(program_path, "#!/bin/sh\necho run >> " + std::string(runs_path) + "\n" + body);
    chmod(program_path, 0755);
}

int runs() {
    std::ifstream f(runs_path);
    int n = 0;
    for (std::string line; std::getline(f, line);) ++n;
    return n;
}

std::vector<std::pair<std::string, std::string>> rows() {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < Listsize; ++i) out.emplace_back(Postcode[i], Timezone[i]);
    return out;
}

// Releases the rows, so that a test can load the table again without leaking the last one.
void forget_table() {
    for (int i = 0; i < Listsize; ++i) {
        std::free(Postcode[i]);
        std::free(Timezone[i]);
    }
    Listsize = 0;
}

class ZonefindTest : public testing::Test {
protected:
    void SetUp() override {
        verbose = 1;
        forget_table();
        clock_faked = false;
        unsetenv("TZ");
    }
    void TearDown() override {
        forget_table();
        box::remove(table_path);
        box::remove("/var/hack");
        box::remove(runs_path);
        unsetenv("TZ");
    }
};

using rows_t = std::vector<std::pair<std::string, std::string>>;

TEST_F(ZonefindTest, TableRows) {
    struct table_case {
        const char* what;
        std::string file;
        rows_t expected;
    };
    const std::string long_line = std::string(198, 'a') + "12345\tZone/Split" + std::string(300 - 198 - 15, 'z');
    const table_case cases[] = {
        {"rows, comments and lines without TAB",
         "# postcode\tzone\n12345\tEurope/London\n\nno tab here\n54321\tAmerica/New_York\n",
         {{"12345", "Europe/London"}, {"54321", "America/New_York"}}},
        {"last line without newline", "12345\tEurope/Paris", {{"12345", "Europe/Paris"}}},
        {"two TABs", "12345\tA\tB\n", {{"12345", "A\tB"}}},
        {"leading TAB", "\tZone\n", {{"", "Zone"}}},
        {"CR LF kept", "12345\tZone\r\n", {{"12345", "Zone\r"}}},
        {"spaces kept", " 12345 \t Zone \n", {{" 12345 ", " Zone "}}},
        {"NUL ends the line's content", "12345\tZo\0ne\n\0\tX\n67890\tY\n"s,
         {{"12345", "Zo"}, {"67890", "Y"}}},
        {"empty file", "", {}},
        {"comments only", "#a\tb\n#c\n", {}},
        {"a 300-byte line is read in pieces", long_line + "\n", {{"12345", "Zone/Split" + std::string(87, 'z')}}},
        {"a long comment's second piece is an ordinary line",
         "#" + std::string(197, 'c') + "99999\tFrom/Comment\n", {{"99999", "From/Comment"}}},
        {"198 bytes of content stay whole", "1\t" + std::string(196, 'Z') + "\n", {{"1", std::string(196, 'Z')}}},
    };
    for (const auto& c : cases) {
        write_table(c.file);
        forget_table();
        read_postcode_zones();
        EXPECT_EQ(rows(), c.expected) << c.what;
    }
}

TEST_F(ZonefindTest, TableRowLimit) {
    std::string file;
    for (int i = 0; i < 105; ++i) file += std::to_string(10000 + i) + "\tZone/" + std::to_string(i) + "\n";
    write_table(file);
    read_postcode_zones();
    ASSERT_EQ(Listsize, 100);
    EXPECT_STREQ(Postcode[99], "10099");
    write_program("echo 10100\n");
    EXPECT_EXIT(set_tz_variable(), testing::ExitedWithCode(1),
                "^Our postcode is 10100\\. No matching timezone for postcode 10100\n$");
}

TEST_F(ZonefindTest, MissingTableEndsBeforeTheProgramRuns) {
    write_program("echo 12345\n");
    EXPECT_EXIT(set_tz_variable(), testing::ExitedWithCode(1),
                "^Can't open /etc/postcodezones: No such file or directory\n$");
    EXPECT_EQ(runs(), 0);
}

TEST_F(ZonefindTest, FailuresGoToSyslogWhenNotVerbose) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    verbose = 0;
    EXPECT_EXIT(read_postcode_zones(), testing::ExitedWithCode(1), "^$");
    char buf[512] = {};
    const ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    close(fd);
    unlink(addr.sun_path);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf).substr(0, 3), "<14");  // LOG_USER | LOG_INFO, without openlog
    EXPECT_NE(std::string(buf).find("Can't open /etc/postcodezones: No such file or directory"), std::string::npos)
        << buf;
}

struct answer_case {
    const char* what;
    std::string program;
    std::string postcode;
};

TEST_F(ZonefindTest, PostcodeAnswers) {
    const answer_case cases[] = {
        {"five digits and a newline", "echo 12345\n", "12345"},
        {"capitals are no retry", "printf RETRY\n", "RETRY"},
        {"a NUL among the five", "printf 'ab\\000de'\n", "ab"},
        {"a long output is read to its end", "echo 54321; head -c 100000 /dev/zero | tr '\\0' x\n", "54321"},
        {"a failing exit status", "echo 11111; exit 3\n", "11111"},
        {"a format in the answer", "printf '%%s%%n%%'\n", "%s%n%"},
    };
    for (const auto& c : cases) {
        write_program(c.program);
        char* p = get_postcode();
        ASSERT_NE(p, nullptr) << c.what;
        EXPECT_EQ(std::string(p), c.postcode) << c.what;
        std::free(p);
    }
}

TEST_F(ZonefindTest, PostcodeReadFailures) {
    write_program("printf 1234\n");
    EXPECT_EXIT(get_postcode(), testing::ExitedWithCode(1),
                "^Failed to read from get_postalcode pipe: No data available\n$");
    box::remove(program_path);  // the shell starts, the program is missing, the output is empty
    EXPECT_EXIT(get_postcode(), testing::ExitedWithCode(1), "Failed to read from get_postalcode pipe: No data available\n$");
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ZonefindTest, RetryThenPostcode) {
    // "retry" three times, then the postcode: four runs, three pauses of 2 seconds.
    write_program("n=$(wc -l < /tmp/postcode-runs)\n"
                  "if [ \"$n\" -le 2 ]; then echo retry; elif [ \"$n\" -eq 3 ]; then echo retryXYZ; else echo 24680; fi\n");
    const auto start = std::chrono::steady_clock::now();
    char* p = get_postcode();
    const double took = seconds_since(start);
    EXPECT_STREQ(p, "24680");
    std::free(p);
    EXPECT_EQ(runs(), 4);
    EXPECT_GE(took, 6.0);
    EXPECT_LT(took, 7.5);
}

TEST_F(ZonefindTest, RetryForEver) {
    write_program("echo retry\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(get_postcode(), testing::ExitedWithCode(1), "^Failed 4 times to get_postalcode\n$");
    const double took = seconds_since(start);
    EXPECT_EQ(runs(), 4);
    EXPECT_GE(took, 8.0);
    EXPECT_LT(took, 9.5);
}

TEST_F(ZonefindTest, ProgramThatNeverEndsIsBounded) {
    // It answers, closes its output and then never exits: killed after 10 seconds.
    write_program("echo 12345; exec >&-; sleep 60\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(get_postcode(), testing::ExitedWithCode(1),
                "^Failed to read from get_postalcode pipe: Connection timed out\n$");
    const double took = seconds_since(start);
    EXPECT_GE(took, 10.0);
    EXPECT_LT(took, 11.5);
}

TEST_F(ZonefindTest, ZoneChoice) {
    write_table("12345\tFirst/Zone\n12345\tSecond/Zone\n67890\t\n");
    write_program("echo 12345\n");
    testing::internal::CaptureStderr();
    set_tz_variable();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Our postcode is 12345. Found matching timezone First/Zone\n");
    EXPECT_STREQ(std::getenv("TZ"), "First/Zone");

    write_program("echo 67890\n");  // the table stays loaded; an empty zone name sets an empty TZ
    verbose = 0;
    set_tz_variable();
    EXPECT_STREQ(std::getenv("TZ"), "");
    EXPECT_EQ(Listsize, 3);

    write_program("printf '%%s%%n '\n");
    verbose = 1;
    EXPECT_EXIT(set_tz_variable(), testing::ExitedWithCode(1),
                "^Our postcode is %s%n \\. No matching timezone for postcode %s%n \n$");
}

TEST_F(ZonefindTest, TzPresentNeverOpensTheTable) {
    write_program("echo 12345\n");
    for (const char* tz : {"", "EST5"}) {
        setenv("TZ", tz, 1);
        testing::internal::CaptureStderr();
        const std::int32_t offset = get_timezone_offset(0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(offset, *tz ? -18000 : 0) << tz;
        EXPECT_EQ(err.find("postcode"), std::string::npos) << tz;
    }
    EXPECT_EQ(runs(), 0);
}

TEST_F(ZonefindTest, OffsetLineOnlyForTheCurrentHour) {
    setenv("TZ", "EST5", 1);
    testing::internal::CaptureStderr();
    get_timezone_offset(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Offset -18000 for timezone EST, daylight saving is 0\n");
    testing::internal::CaptureStderr();
    get_timezone_offset(3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

struct offset_case {
    const char* tz;
    long clock;  // the system clock's reading: local wall-clock time counted as seconds
    int hours_back;
    std::int32_t offset;
};

TEST_F(ZonefindTest, OffsetFromTheLocalClock) {
    verbose = 0;
    const char* cet = "CET-1CEST,M3.5.0,M10.5.0/3";  // back to standard at 03:00 on 25 Oct 2026
    const char* est = "EST5EDT,M3.2.0,M11.1.0";       // back to standard at 02:00 on 1 Nov 2026
    const offset_case cases[] = {
        {cet, utc(2026, 10, 25, 1, 30), 0, 7200},   // 90 minutes before the change back
        {cet, utc(2026, 10, 25, 2, 30), 0, 3600},   // 30 minutes before: already standard
        {cet, utc(2026, 10, 25, 2, 0), 0, 3600},    // the whole last hour
        {cet, utc(2026, 10, 25, 4, 30), 3, 7200},   // hours_back steps the reading back
        {cet, utc(2026, 3, 29, 1, 59, 59), 0, 3600},
        {cet, utc(2026, 3, 29, 3, 0), 0, 7200},     // right after the change to daylight saving
        {cet, utc(2026, 1, 15, 12), 0, 3600},
        {cet, utc(2026, 7, 15, 12), 0, 7200},
        {est, utc(2026, 11, 1, 1, 30), 0, -4 * 3600},  // first hour after the change back: still -4 h
        {est, utc(2026, 11, 1, 1, 59, 59), 0, -4 * 3600},
        {est, utc(2026, 11, 1, 2, 30), 0, -5 * 3600},  // 90 minutes after
        {est, utc(2026, 3, 8, 1, 59, 59), 0, -5 * 3600},
        {est, utc(2026, 3, 8, 3, 0), 0, -4 * 3600},
    };
    clock_faked = true;
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        fake_now = c.clock;
        EXPECT_EQ(get_timezone_offset(c.hours_back), c.offset) << c.tz << " at " << c.clock;
    }
}

}  // namespace
