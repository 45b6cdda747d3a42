"""Writes the seed corpora of the fuzz targets, made from the project's own test
fixtures: zone files from the tests' writer, TZ strings, datagrams, tables and
postcode answers like those the tests use.   python3 scripts/fuzz_seeds.py DIR"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import ntp_packet, tzif  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def zone_files():
    yield tzif()
    yield tzif(types=[(-18000, 0, 0), (-14400, 1, 4)], abbrs=b"EST\0EDT\0", transitions=[(100, 1), (200, 0)],
               leaps=[(78796800, 1)], std=[1, 0], ut=[0, 1])
    yield tzif(types=[(3600, 0, 0), (7200, 1, 4)], abbrs=b"CET\0CEST\0",
               transitions=[(t, k) for i, t in enumerate(range(0, 2**31 - 1, 2**31 // 40)) for k in [i % 2]])
    yield tzif(types=[(0, 0, 0)], abbrs=b"UTC\0", leaps=[(78796800, 1), (78796801, 2), (94694402, 3)])
    yield tzif(types=[(7200, 1, 0), (10800, 1, 0)], abbrs=b"XX\0")
    yield tzif()[:48]


TZ_STRINGS = [
    b"\0EST5", b"\0EST-5", b"\0EST05:00:00", b"\0EST167", b"\0E S T5", b"\0<EST>5",
    b"\0EST5EDT,M4.1.0,M10.5.0", b"\0EST5EDT4;M4.1.0,M10.5.0", b"\0AAA-10BBB,M10.5.0,M3.5.0",
    b"\0EST5EDT,J1,J365", b"\0EST5EDT,0,365", b"\0EST5EDT,M4.1.0/167:59:60,M10.5.0/0",
    b"\1EST5EDT", b"\1CET-1CEST", b"\0:EST5", b"\0", b"\0/usr/share/zone", b"\0" + b"N" * 511 + b"5",
    b"\1" + b"S" * 300 + b"5" + b"D" * 210 + b",M4.1.0,M10.5.0",
]


def datagram_sequences():
    def one(sender, packet):
        return bytes([len(packet), sender]) + packet
    t = 1796995372
    yield one(2, ntp_packet(unix_time=t)) + one(3, ntp_packet(unix_time=t + 600, stratum=3)) + \
        one(3, ntp_packet(unix_time=t + 601, stratum=3))
    yield one(2, ntp_packet(unix_time=t, stratum=2)) + one(3, ntp_packet(unix_time=t + 5, stratum=1))
    yield b"".join(one(4, ntp_packet(mode=m)) for m in range(8))
    yield one(5, ntp_packet(tx_seconds=0)) + one(5, ntp_packet(tx_seconds=4294967295, tx_fraction=4294967295))
    yield one(6, ntp_packet(unix_time=2**31 - 100)) + one(6, ntp_packet()[:20])


def tables():
    with open(os.path.join(HERE, "..", "examples", "postcodezones"), "rb") as f:
        yield f.read()
    yield b"12345\tEurope/London\r\n\n# comment\tx\n\t\n12345\tA\tB"
    yield b"a" * 198 + b"12345\tZone/Split\n" + b"#" + b"c" * 300 + b"\n"
    yield b"".join(b"%d\tZone/%d\n" % (10000 + i, i) for i in range(105))
    yield b"12345\tZo\0ne\n\0\tX\n"


ANSWERS = [b"12345\n", b"retry\n", b"RETRY", b"1234", b"", b"ab\0de", b"54321" + b"x" * 5000, b"%s%n%"]


def main(out):
    corpora = {
        "zone_file": zone_files(),
        "tz_string": TZ_STRINGS,
        "datagrams": datagram_sequences(),
        "postcode_table": tables(),
        "postcode_answer": ANSWERS,
    }
    for target, seeds in corpora.items():
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        for i, seed in enumerate(seeds):
            with open(os.path.join(d, f"seed-{i:02d}"), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main(sys.argv[1])
