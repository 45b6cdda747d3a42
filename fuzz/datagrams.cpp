// Fuzz target: a sequence of datagrams through the decoder and the clock update,
// with settimeofday intercepted. Each datagram is a length byte, a sender byte and
// that many bytes.
#include "guard.h"
#include "fuzz_common.h"

#include "daemon/broadcast.h"
#include "daemon/clock_update.h"

#include <sys/time.h>

namespace {
int settings_asked = 0;
}

// The clock is never set: the request is checked and counted.
extern "C" int settimeofday(const struct timeval* tv, const struct timezone*) noexcept {
    if (tv == nullptr || tv->tv_usec < 0 || tv->tv_usec >= 1'000'000) std::abort();
    ++settings_asked;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::require();
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    wendle::last = {};
    const wendle::settings s{};
    unsigned char buf[wendle::NTP_PACKET_SIZE];
    while (size >= 2) {
        const std::size_t len = data[0];
        sockaddr_in from{};
        from.sin_addr.s_addr = htonl(0x7F000000u | data[1]);
        data += 2;
        size -= 2;
        const std::size_t take = len < size ? len : size;
        const std::size_t got = take < sizeof buf ? take : sizeof buf;  // the receive keeps 48 bytes
        std::memcpy(buf, data, got);
        data += take;
        size -= take;
        wendle::time_broadcast b{};
        if (!wendle::decode_broadcast(buf, got, from, b)) continue;
        const wendle::last_broadcast before = wendle::last;
        const int asked = settings_asked;
        timespec received{};
        clock_gettime(CLOCK_MONOTONIC, &received);
        wendle::update_clock(b, s, received);
        // last moves exactly when a setting was asked for, and then to this broadcast.
        const bool moved = std::memcmp(&before, &wendle::last, sizeof before) != 0;
        if (settings_asked != asked && (wendle::last.server != b.server || wendle::last.set_time != b.utc_time)) {
            std::abort();
        }
        if (settings_asked == asked && moved) std::abort();
    }
    return 0;
}
