// Reception of NTP broadcasts on UDP port 123.

#include "daemon/broadcast.h"

#include "daemon/clock_update.h"

#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace wendle {

namespace {

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

constexpr int mode_of(unsigned char b0) { return b0 & 0x7; }
constexpr int version_of(unsigned char b0) { return (b0 >> 3) & 0x7; }

// Joins the multicast group; a refusal is reported and survived.
void join_group(int fd, const char* group) {
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = inet_addr(group);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        std::perror("Couldn't add membership of multicast group");
    }
}

}  // namespace

bool decode_broadcast(const unsigned char* buf, std::size_t len, const sockaddr_in& from,
                      time_broadcast& out) {
    // A short datagram is not decoded with what an earlier one left in the buffer.
    if (len < NTP_PACKET_SIZE || mode_of(buf[0]) != MODE_BROADCAST) return false;
    out.server = from.sin_addr.s_addr;
    out.stratum = buf[1];
    out.utc_time = ntp_to_unix(be32(buf + 40));
    out.fraction = be32(buf + 44);
    return true;
}

int open_broadcast_socket(const settings& s) {
    // Close-on-exec, so that the postcode program does not inherit port 123.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        std::perror("Couldn't create socket");
        std::exit(1);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(NTP_PORT);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("Couldn't bind socket");
        std::exit(1);
    }
    if (s.group != nullptr) join_group(fd, s.group);
    return fd;
}

void receive_loop(int fd, const settings& s) {
    unsigned char buf[NTP_PACKET_SIZE];
    sockaddr_in from{};
    for (;;) {
        socklen_t fromlen = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
        if (n < 0) continue;
        time_broadcast b{};
        if (!decode_broadcast(buf, static_cast<std::size_t>(n), from, b)) continue;
        timespec received{};  // the decoding before it takes a few nanoseconds
        clock_gettime(CLOCK_MONOTONIC, &received);
        if (s.debug) {
            std::printf("Time broadcast received from %s\n", inet_ntoa(from.sin_addr));
            std::printf("Ver: %d Stratum: %d Mode: %d Poll:%d Precision %d\n", version_of(buf[0]), buf[1],
                        mode_of(buf[0]), buf[2], buf[3]);
        }
        update_clock(b, s, received);
    }
}

}  // namespace wendle
