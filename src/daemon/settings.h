// The daemon's settings, read from the command line once and kept for the process's life.
#pragma once

namespace wendle {

struct settings {
    bool debug;              // -d: foreground, progress lines on standard output
    bool bell;               // -b: a BEL byte on descriptor 1 after each clock setting
    bool once;               // -o: end after the first clock setting
    bool use_syslog;         // -s: background mode opens syslog as "wendle"
    const char* group;       // -m: multicast group to join, as typed; null when absent
};

}  // namespace wendle
