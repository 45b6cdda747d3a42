#include "guard.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>

namespace sandbox {

namespace {

constexpr unsigned CAP_SYS_TIME_BIT = 25;

// True when the effective capabilities include CAP_SYS_TIME.
bool may_set_clock() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
            return (caps >> CAP_SYS_TIME_BIT) & 1u;
        }
    }
    return true;  // can't tell: assume the worst
}

}  // namespace

void require() {
    struct stat st;
    if (may_set_clock() || stat("/run/wendle-sandbox", &st) != 0) {
        std::fputs("refusing to run: tests may only run inside tests/sandbox/run "
                   "(private /etc and /var, no CAP_SYS_TIME)\n", stderr);
        std::exit(2);
    }
}

}  // namespace sandbox
