// Reception of NTP broadcasts: the socket, the decoding and the receive loop.
#pragma once

#include "daemon/settings.h"

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

namespace wendle {

inline constexpr std::size_t NTP_PACKET_SIZE = 48;
inline constexpr std::uint16_t NTP_PORT = 123;
inline constexpr int MODE_BROADCAST = 5;

// One broadcast, as the clock update needs it.
struct time_broadcast {
    in_addr_t server;        // sender, network byte order
    std::int32_t stratum;    // 0 to 255
    std::int32_t utc_time;   // seconds since 1970-01-01 00:00:00 UTC
    std::uint32_t fraction;  // of the transmit second, in units of 2^-32 s
};

// NTP transmit seconds (since 1900, any era) to signed 32-bit Unix seconds.
constexpr std::int32_t ntp_to_unix(std::uint32_t ntp_seconds) {
    return static_cast<std::int32_t>(ntp_seconds + 2085978496u);
}

// Decodes a received datagram; false when it is shorter than a header or not in broadcast mode.
bool decode_broadcast(const unsigned char* buf, std::size_t len, const sockaddr_in& from,
                      time_broadcast& out);

// Creates the socket on UDP port 123 and joins the group; exits with status 1 if it can't bind.
int open_broadcast_socket(const settings& s);

// Receives broadcasts for ever, handing each to update_clock.
[[noreturn]] void receive_loop(int fd, const settings& s);

}  // namespace wendle
