// wendle: sets the box's clock, which holds local time, from NTP broadcasts.

#include "daemon/broadcast.h"
#include "daemon/settings.h"
#include "zonefind/plimbotimelib.h"

#include <cstdio>
#include <cstdlib>

#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char banner[] = "wendle V1.3: sets the local clock from network time broadcasts\n";
constexpr char usage[] = "Usage: wendle [-b][-d][-o][-s][-m multicast_address]\n";

wendle::settings parse_options(int argc, char** argv) {
    wendle::settings s{};
    int c;
    while ((c = getopt(argc, argv, "dbosm:")) != -1) {
        switch (c) {
            case 'b': s.bell = true; break;
            case 'd':
                s.debug = true;
                zonefind::verbose = 1;
                break;
            case 'm': s.group = optarg; break;
            case 'o': s.once = true; break;
            case 's': s.use_syslog = true; break;
            default:
                std::fputs(usage, stdout);
                std::exit(1);
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    // Progress lines appear as they happen, also into a pipe or a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const wendle::settings s = parse_options(argc, argv);
    if (s.debug) std::fputs(banner, stdout);

    // The socket comes before detaching, so that a port that can't be bound fails the
    // command the operator typed rather than a process that has already left.
    const int fd = wendle::open_broadcast_socket(s);
    if (!s.debug) {
        (void)daemon(0, 0);
        if (s.use_syslog) {
            openlog("wendle", LOG_PID, LOG_DAEMON);
            syslog(LOG_INFO, "%s", banner);
        }
    }
    wendle::receive_loop(fd, s);
}
