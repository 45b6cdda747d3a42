// The clock update: takes or skips each broadcast and steps the clock, which
// holds local time, to the broadcast's UTC time plus the local offset.

#include "daemon/clock_update.h"

#include "tzlib/localtime.h"
#include "zonefind/plimbotimelib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace wendle {

last_broadcast last{};

namespace {

constexpr std::int32_t WINDOW_SECONDS = 600;
constexpr std::uint32_t FRACTION_PER_MICROSECOND = 4295;  // 2^32 / 10^6, rounded up
constexpr std::int64_t MICROS = 1'000'000;

// The same server, a server nearer the reference, or a time far from the last one taken.
bool accepted(const time_broadcast& b) {
    if (b.server == last.server) return true;
    if (last.stratum > b.stratum) return true;
    // Signed 32-bit difference, wrapping as the rest of the 32-bit time does.
    const auto diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(b.utc_time) -
                                                static_cast<std::uint32_t>(last.set_time));
    const std::int64_t distance = diff < 0 ? -std::int64_t{diff} : std::int64_t{diff};
    return distance > WINDOW_SECONDS;
}

// Microseconds on the monotonic clock from `since` to now.
std::int64_t micros_since(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (std::int64_t{now.tv_sec} - since.tv_sec) * MICROS + (now.tv_nsec - since.tv_nsec) / 1000;
}

// Writes one progress line: standard output in debug mode, else syslog at LOG_INFO.
void report_setting(const settings& s, const char* text) {
    if (s.debug) {
        std::printf("Setting the local time to %s", text);
    } else {
        syslog(LOG_INFO, "Setting the local time to %s", text);
    }
}

}  // namespace

void update_clock(const time_broadcast& b, const settings& s, const timespec& received) {
    if (s.debug) std::printf("UTC Time is %s", std::asctime(tzlib::gmtime(&b.utc_time)));
    if (!accepted(b)) return;

    const std::int32_t offset = zonefind::get_timezone_offset(0);
    if (offset == -1) {
        if (s.debug) std::printf("PANIC: couldn't find Plimbo's time zone\n");
        return;
    }
    if (s.debug) std::printf("UTC to local time offset is %ld\n", static_cast<long>(offset));

    // The broadcast's time, plus the offset, plus the time this daemon has spent on it since
    // it arrived (on the first broadcast that includes the postcode program and its pauses).
    const std::int64_t micros = (std::int64_t{b.utc_time} + offset) * MICROS + b.fraction / FRACTION_PER_MICROSECOND +
                                micros_since(received);
    std::int64_t seconds = micros / MICROS;
    std::int64_t fraction = micros % MICROS;
    if (fraction < 0) {
        fraction += MICROS;
        --seconds;
    }
    if (seconds < INT32_MIN || seconds > INT32_MAX) {
        // The clock holds 32-bit seconds; wrapping round would set it to 1901.
        if (s.debug) {
            std::printf("Local time out of range, clock not set\n");
        } else {
            syslog(LOG_INFO, "Local time out of range, clock not set");
        }
        return;
    }
    const auto local_time = static_cast<std::int32_t>(seconds);
    report_setting(s, std::asctime(tzlib::gmtime(&local_time)));

    timeval tv{};
    tv.tv_sec = local_time;
    tv.tv_usec = static_cast<suseconds_t>(fraction);
    const bool set = settimeofday(&tv, nullptr) == 0;
    if (!set) std::perror("Couldn't set the time");

    last = last_broadcast{b.stratum, b.server, b.utc_time};
    if (s.bell) {
        constexpr char bel = '\a';
        (void)!write(STDOUT_FILENO, &bel, 1);
    }
    // A boot script that calls -o must be able to tell a refused setting.
    if (s.once) std::exit(set ? 0 : 1);
}

}  // namespace wendle
