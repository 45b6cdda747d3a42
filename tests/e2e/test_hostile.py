"""What a LAN and a box can throw at wendle: a flood of junk, zone names that try
to leave the zone directory, files that are no files, outputs that never end,
formats where text belongs, a missing syslog."""

import os
import random
import socket
import threading
import time

import pytest

import harness
from harness import ntp_packet, send

A = "127.0.0.2"


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def udp_in_datagrams():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("InDatagrams")])


def junk(rng):
    """One datagram that is never a usable broadcast: random bytes of a wrong mode,
    any wrong mode, a short broadcast, or an oversize datagram of a wrong mode."""
    kind = rng.randrange(4)
    if kind == 0:
        data = bytearray(rng.randbytes(rng.randrange(1, 120)))
        if len(data) >= 48 and data[0] & 7 == 5:
            data[0] ^= 1
        return bytes(data)
    if kind == 1:
        return ntp_packet(mode=rng.choice([0, 1, 2, 3, 4, 6, 7]), stratum=rng.randrange(256))
    if kind == 2:
        return ntp_packet(stratum=0)[:rng.randrange(48)]
    return ntp_packet(mode=rng.choice([3, 4, 6])) + rng.randbytes(rng.randrange(1, 1400))


def test_flood(wendle):
    w = wendle(env={"TZ": "EST5"})
    harness.wait_port_bound()
    [pid] = harness.wendle_pids()
    t0 = int(time.time())
    send(ntp_packet(unix_time=t0), src=A)
    assert len(w.wait_settings(1)) == 1
    rss_before = vm_rss_kib(pid)
    cpu_before = cpu_seconds(pid)
    received_before = udp_in_datagrams()

    with open("/proc/sys/net/core/rmem_default") as f:
        room = int(f.read()) // 2
    rng = random.Random(20261211)
    pool = [junk(rng) for _ in range(4000)]
    senders = []
    for i in range(3, 11):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((f"127.0.0.{i}", 0))
        senders.append(s)
    valid = []
    sent = 0
    start = time.monotonic()
    next_valid = start + 0.2
    while time.monotonic() - start < 3.0:
        for _ in range(200):
            senders[sent % len(senders)].sendto(pool[sent % len(pool)], ("127.0.0.1", 123))
            sent += 1
        if time.monotonic() >= next_valid:
            # The kernel drops what arrives at a full socket, whoever sent it: the valid
            # broadcast goes out when the queue has room, so that only the daemon is tested.
            deadline = time.monotonic() + 0.5
            while sum(sock["rx_queue"] for sock in harness.udp_sockets()) > room and time.monotonic() < deadline:
                time.sleep(0.001)
            t = t0 + 1 + len(valid)
            send(ntp_packet(unix_time=t), src=A)
            valid.append(t - 18000)
            next_valid += 0.2
    for s in senders:
        s.close()

    settings = [sec for sec, _ in w.wait_settings(1 + len(valid))]
    assert settings[1:] == valid
    rss_after = vm_rss_kib(pid)
    cpu = cpu_seconds(pid) - cpu_before
    received = udp_in_datagrams() - received_before
    print(f"flood: {sent} junk and {len(valid)} valid datagrams sent, {received} received by the system, "
          f"daemon CPU {cpu:.2f} s, resident {rss_before} KiB before and {rss_after} KiB after")
    assert abs(rss_after - rss_before) <= 64
    assert pid in harness.wendle_pids()


@pytest.mark.parametrize("tz, default_zone, offset", [
    ("../../etc/shadow", True, 7200),
    ("../../etc/shadow", False, 0),
    ("/etc/shadow", True, 7200),
    (":/etc/shadow", True, 7200),
    (":/etc/shadow", False, 0),
    ("Dir", True, 0),
    ("Fifo", True, 0),
    ("a.b", False, 0),          # /etc/localtime is a FIFO here: refused, not waited for
    ("A" * 65536, True, 0),
])
def test_zone_names_that_lead_nowhere(wendle, tz, default_zone, offset):
    harness.write_file("/etc/shadow", "root:SECRET-HASH:19000:0:99999:7:::\n", 0o600)
    os.makedirs("/var/hack/zoneinfo/Dir", exist_ok=True)
    os.mkfifo("/var/hack/zoneinfo/Fifo")
    if default_zone:
        harness.write_file("/etc/localtime", harness.tzif(types=[(7200, 0, 0)], abbrs=b"DEF\0"))
    else:
        os.mkfifo("/etc/localtime")
    w = wendle("-d", "-o", env={"TZ": tz}).ready()
    send(ntp_packet())
    assert w.wait(timeout=5) == 0
    assert f"UTC to local time offset is {offset}\n" in w.out.lines
    assert "SECRET" not in w.out.text() + w.err.text()


def test_zone_file_changing_while_read(wendle):
    # A TZ value of 256 characters or more is loaded again on every conversion.
    name = "Long/" + "n" * 200 + "/" + "z" * 60
    path = f"/var/hack/zoneinfo/{name}"
    zones = [harness.tzif(types=[(3600, 0, 0)], abbrs=b"ONE\0"),
             harness.tzif(types=[(7200, 0, 0), (-3600, 1, 0)], abbrs=b"TWO\0",
                          transitions=[(i * 1000, i % 2) for i in range(300)])]
    harness.write_file(path, zones[0])
    stop = threading.Event()

    def rewrite():
        rng = random.Random(7)
        while not stop.is_set():
            data = rng.choice(zones)
            with open(path, "r+b") as f:
                f.write(data[:rng.randrange(len(data) + 1)])
                f.truncate()

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        w = wendle("-d", env={"TZ": name}).ready()
        t = int(time.time())
        for i in range(60):
            start = len(w.out.lines)
            send(ntp_packet(unix_time=t + i), src=A)
            w.out.wait_for("Setting the local time", start=start)
    finally:
        stop.set()
        writer.join()
    offsets = {int(line.split()[-1]) for line in w.out.lines if line.startswith("UTC to local time offset is")}
    assert offsets <= {0, 3600, 7200, -3600}
    assert len(w.settings()) == 60


def box(table, program):
    harness.write_file("/etc/postcodezones", table)
    harness.postcode_program(program)


def test_postcode_table_that_is_a_directory(wendle):
    os.makedirs("/etc/postcodezones")
    harness.postcode_program("echo 12345\n")
    w = wendle("-d").ready()
    send(ntp_packet())
    assert w.wait() == 1
    assert w.err.text() == "Our postcode is 12345. No matching timezone for postcode 12345\n"


def test_postcode_program_writing_megabytes(wendle):
    box("12345\tEST5\n", "echo 12345; head -c 20000000 /dev/zero\n")
    w = wendle("-d", "-o").ready()
    send(ntp_packet())
    assert w.wait(timeout=15) == 0
    assert len(w.settings()) == 1


def test_postcode_program_that_closes_its_output_and_stays(wendle):
    box("12345\tEST5\n", "echo 12345; exec >&-; exec sleep 60\n")
    w = wendle("-d").ready()
    start = time.monotonic()
    send(ntp_packet())
    assert w.wait(timeout=15) == 1
    assert 10 <= time.monotonic() - start < 12
    assert w.err.text().endswith("Failed to read from get_postalcode pipe: Connection timed out\n")
    assert w.settings() == []


def test_missing_syslog_socket_neither_blocks_nor_crashes(wendle):
    assert not os.path.exists("/dev/log")
    w = wendle("-s", env={"TZ": "EST5"})
    harness.wait_port_bound()
    t = int(time.time())
    for i in range(3):
        send(ntp_packet(unix_time=t + i), src=A)
        assert len(w.wait_settings(i + 1)) == i + 1
    assert len(harness.wendle_pids()) == 1


@pytest.mark.parametrize("debug", [True, False])
def test_formats_in_text_are_printed_literally(wendle, syslog, debug):
    box("%s%n%\t%n%s%x\n", "printf '%%s%%n%%'\n")
    w = wendle(*(["-d"] if debug else []))
    if debug:
        w.ready()
    else:
        assert w.detached() == 0
    send(ntp_packet())
    if debug:
        # Standard error is its own pipe: wait for its lines rather than for standard output's.
        i = w.err.wait_for("Found matching timezone")
        assert w.err.lines[i] == "Our postcode is %s%n%. Found matching timezone %n%s%x\n"
        j = w.err.wait_for("Offset ", start=i)
        assert w.err.lines[j] == "Offset 0 for timezone GMT, daylight saving is 0\n"
    else:
        msg = syslog.wait(lambda m: m.get("text", "").startswith("Setting the local time"))
        assert msg["severity"] == 6


def test_format_in_a_zone_abbreviation(wendle):
    w = wendle("-d", "-o", env={"TZ": "%s%n%5"}).ready()
    send(ntp_packet())
    assert w.wait() == 0
    assert "Offset -18000 for timezone %s%n%, daylight saving is 0\n" in w.err.lines


def test_format_in_a_postcode_reported_to_syslog(wendle, syslog):
    box("12345\tEST5\n", "printf '%%s%%n%%'\n")
    w = wendle()
    assert w.detached() == 0
    send(ntp_packet())
    msg = syslog.wait(lambda m: "No matching" in m.get("text", ""))
    assert msg["text"] == "No matching timezone for postcode %s%n%\n"
