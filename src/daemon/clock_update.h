// The clock update: the second stage of the receive loop.
#pragma once

#include "daemon/broadcast.h"
#include "daemon/settings.h"

#include <ctime>

namespace wendle {

// Decides whether to take the broadcast and, if so, sets the clock to its local time.
// received: CLOCK_MONOTONIC reading taken when the datagram arrived.
void update_clock(const time_broadcast& b, const settings& s, const timespec& received);

}  // namespace wendle
