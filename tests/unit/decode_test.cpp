// Decoding of received datagrams into time_broadcast records.
#include "daemon/broadcast.h"

#include <gtest/gtest.h>

#include <array>

#include <arpa/inet.h>

namespace {

using wendle::ntp_to_unix;

struct era_case {
    std::uint32_t ntp_seconds;
    std::int32_t unix_seconds;
};

TEST(NtpToUnix, EraArithmetic) {
    constexpr std::array cases{
        era_case{0u, 2085978496},            // 2036-02-07 06:28:16, the next era
        era_case{61505151u, 2147483647},     // the last second that fits
        era_case{61505152u, -2147483648},    // and the first that doesn't
        era_case{2208988799u, -1},
        era_case{2208988800u, 0},            // 1970-01-01
        era_case{3155673600u, 946684800},    // 2000-01-01
        era_case{4294967295u, 2085978495},
    };
    for (const auto& c : cases) EXPECT_EQ(ntp_to_unix(c.ntp_seconds), c.unix_seconds) << c.ntp_seconds;
}

std::array<unsigned char, 64> packet(unsigned char b0) {
    std::array<unsigned char, 64> p{};
    p[0] = b0;
    p[1] = 3;
    const unsigned char tx[8] = {0xBC, 0x17, 0xC2, 0x00, 0x80, 0x00, 0x00, 0x01};  // 3155673600, 2^31 + 1
    std::copy(std::begin(tx), std::end(tx), p.begin() + 40);
    return p;
}

TEST(DecodeBroadcast, TakesSenderStratumTimeAndFraction) {
    sockaddr_in from{};
    from.sin_addr.s_addr = inet_addr("192.0.2.7");
    from.sin_port = htons(40000);
    wendle::time_broadcast b{};
    const auto p = packet(0x25);
    ASSERT_TRUE(wendle::decode_broadcast(p.data(), 48, from, b));
    EXPECT_EQ(b.server, inet_addr("192.0.2.7"));
    EXPECT_EQ(b.stratum, 3);
    EXPECT_EQ(b.utc_time, 946684800);
    EXPECT_EQ(b.fraction, 0x80000001u);
    EXPECT_TRUE(wendle::decode_broadcast(p.data(), 64, from, b));  // the rest is not looked at
}

TEST(DecodeBroadcast, DropsOtherModesAndShortDatagrams) {
    sockaddr_in from{};
    wendle::time_broadcast b{};
    for (unsigned char mode = 0; mode < 8; ++mode) {
        if (mode == 5) continue;
        const auto p = packet(static_cast<unsigned char>(0x20 | mode));
        EXPECT_FALSE(wendle::decode_broadcast(p.data(), 48, from, b)) << int{mode};
    }
    const auto p = packet(0xFD);  // leap 3, version 7, mode 5: still a broadcast
    EXPECT_TRUE(wendle::decode_broadcast(p.data(), 48, from, b));
    EXPECT_FALSE(wendle::decode_broadcast(p.data(), 47, from, b));
    EXPECT_FALSE(wendle::decode_broadcast(p.data(), 0, from, b));
}

}  // namespace
