// The clock update: the second stage of the receive loop.
#pragma once

#include "daemon/broadcast.h"
#include "daemon/settings.h"

#include <ctime>

namespace wendle {

// The last broadcast taken; all zero until the first.
struct last_broadcast {
    std::int32_t stratum;
    in_addr_t server;
    std::int32_t set_time;  // its UTC time
};

extern last_broadcast last;

// Decides whether to take the broadcast and, if so, sets the clock to its local time.
// received: CLOCK_MONOTONIC reading taken when the datagram arrived.
void update_clock(const time_broadcast& b, const settings& s, const timespec& received);

}  // namespace wendle
