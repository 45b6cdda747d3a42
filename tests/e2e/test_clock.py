"""The clock update end to end: acceptance, offset, the setting the kernel is asked for,
reports, bell and once mode, through the real binary with its clock calls intercepted."""

import time

import pytest

import harness
from harness import ntp_packet, send

A, B, C = "127.0.0.2", "127.0.0.3", "127.0.0.4"
MICROS = 1_000_000


def broadcast(w, src, unix_time, stratum=2, fraction=0, **kw):
    """Sends one broadcast and waits until the daemon has printed its UTC line."""
    start = len(w.out.lines)
    send(ntp_packet(unix_time=unix_time, stratum=stratum, tx_fraction=fraction, **kw), src=src)
    return w.out.wait_for("UTC Time is", start=start)


def box_with_zone(postcode_script, offset=3600, abbr=b"CET"):
    """A table row for 12345, a zone file for it, and a postcode program."""
    harness.write_file("/etc/postcodezones", "# test box\n12345\tEurope/Test\n")
    harness.write_file("/var/hack/zoneinfo/Europe/Test", harness.tzif(types=[(offset, 0, 0)], abbrs=abbr + b"\0"))
    harness.write_file("/tmp/postcode-runs", "")
    harness.postcode_program("echo run >> /tmp/postcode-runs\n" + postcode_script)


def runs():
    try:
        with open("/tmp/postcode-runs") as f:
            return len(f.readlines())
    except FileNotFoundError:
        return 0


def test_whole_road_with_tz_absent(wendle):
    box_with_zone("echo 12345\n")
    w = wendle("-d", merge=True).ready()
    t = int(time.time())
    broadcast(w, A, t)
    w.out.wait_for("Setting the local time to")
    text = w.out.text()
    expected = [
        f"Time broadcast received from {A}\n",
        "Ver: 4 Stratum: 2 Mode: 5 Poll:6 Precision 236\n",
        f"UTC Time is {time.asctime(time.gmtime(t))}\n",
        "Our postcode is 12345. Found matching timezone Europe/Test\n",
        "Offset 3600 for timezone CET, daylight saving is 0\n",
        "UTC to local time offset is 3600\n",
        f"Setting the local time to {time.asctime(time.gmtime(t + 3600))}\n",
    ]
    assert w.out.lines[1:8] == expected, text
    [(sec, _)] = w.wait_settings(1)
    assert sec == t + 3600
    broadcast(w, A, t + 1)  # the same server again: TZ is kept, the program is not run again
    assert [s for s, _ in w.wait_settings(2)] == [t + 3600, t + 3601]
    assert runs() == 1


# Each sequence: (sender, stratum, seconds after T, taken?). The first broadcast sets last.
SEQUENCES = {
    "within the window": [(A, 2, 0, True), (B, 3, 600, False), (B, 3, 601, True)],
    "before the window": [(A, 2, 0, True), (B, 3, -601, True)],
    "smaller stratum": [(A, 2, 0, True), (B, 1, 5, True)],
    "same server whatever its stratum": [(A, 2, 0, True), (A, 9, 1, True)],
    "equal stratum is no better": [(A, 2, 0, True), (B, 2, 10, False)],
    "skips don't move the window": [(A, 2, 0, True), (B, 3, 300, False), (B, 3, 600, False), (B, 3, 601, True)],
    "stratum 0 is the smallest": [(A, 1, 0, True), (B, 0, 1, True)],
    "a new server becomes current": [(A, 2, 0, True), (B, 3, 700, True), (A, 3, 710, False), (B, 4, 720, True)],
}


@pytest.mark.parametrize("name", SEQUENCES)
def test_acceptance(wendle, name):
    w = wendle("-d", env={"TZ": "EST5"}).ready()
    t0 = int(time.time())
    expected = []
    for sender, stratum, dt, taken in SEQUENCES[name]:
        broadcast(w, sender, t0 + dt, stratum=stratum)
        if taken:
            expected.append(t0 + dt - 18000)
    broadcast(w, C, t0 + 100000, stratum=0)  # a marker that is always taken, seen last
    expected.append(t0 + 100000 - 18000)
    assert [s for s, _ in w.wait_settings(len(expected))] == expected


def test_skipped_and_taken_lines(wendle):
    w = wendle("-d", env={"TZ": "EST5"}).ready()
    t = int(time.time())
    broadcast(w, A, t)
    i = broadcast(w, B, t + 1, stratum=5)  # skipped: three lines only
    j = broadcast(w, A, t + 2)
    assert w.out.lines[i + 1:j - 2] == []
    w.out.wait_for("Setting the local time", start=j)
    assert w.out.lines[j + 1] == "UTC to local time offset is -18000\n"


@pytest.mark.parametrize("fraction, micros", [(0, 0), (4294, 0), (4295, 1), (2147483648, 499996), (4294967295, 999992)])
def test_microseconds_from_the_fraction(wendle, fraction, micros):
    w = wendle("-d", "-o", env={"TZ": "AAA-1"}).ready()
    send(ntp_packet(unix_time=946684800, tx_fraction=fraction))
    assert w.wait() == 0
    [(sec, usec)] = w.settings()
    late = (sec * MICROS + usec) - ((946684800 + 3600) * MICROS + micros)
    assert 0 <= late < 200_000  # what remains is the daemon's own time since the datagram came in
    if micros == 0:
        assert sec == 946688400


def test_time_spent_on_the_zone_choice_is_added(wendle):
    box_with_zone('[ "$(wc -l < /tmp/postcode-runs)" -le 2 ] && echo retry || echo 12345\n')
    w = wendle("-d", "-o").ready()
    now = time.time()
    t = int(now)
    fraction = int((now - t) * 2**32)
    send(ntp_packet(unix_time=t, tx_fraction=fraction))
    assert w.wait(timeout=20) == 0
    [(sec, usec)] = w.settings()
    late = (sec * MICROS + usec) - (t + 3600) * MICROS - fraction // 4295
    assert 4.0 * MICROS <= late < 4.5 * MICROS
    assert runs() == 3
    shown = [line for line in w.out.lines if line.startswith("Setting the local time to ")]
    assert shown == [f"Setting the local time to {time.asctime(time.gmtime(sec))}\n"]


def test_top_of_the_32_bit_range_never_wraps(wendle):
    w = wendle("-d", env={"TZ": "AAA-1"}).ready()
    broadcast(w, A, 2**31 - 100)
    w.out.wait_for("Local time out of range, clock not set")
    broadcast(w, A, 2**31 - 3700)
    w.out.wait_for(f"Setting the local time to {time.asctime(time.gmtime(2**31 - 100))}")
    assert [s for s, _ in w.wait_settings(1)] == [2**31 - 100]


@pytest.mark.parametrize("refuse, status", [(False, 0), (True, 1)])
def test_once_mode(wendle, refuse, status):
    w = wendle("-d", "-o", env={"TZ": "EST5"}, refuse=refuse).ready()
    send(ntp_packet())
    assert w.wait() == status
    assert len(w.settings()) == 1
    if refuse:
        assert w.err.lines[-1] == "Couldn't set the time: Operation not permitted\n"


def test_refused_setting_without_once_goes_on(wendle):
    w = wendle("-d", env={"TZ": "EST5"}, refuse=True).ready()
    t = int(time.time())
    broadcast(w, A, t)
    w.err.wait_for("Couldn't set the time: Operation not permitted")
    broadcast(w, B, t + 5, stratum=9)  # last was updated: B is skipped
    broadcast(w, A, t + 6)
    assert len(w.wait_settings(2)) == 2
    assert w.proc.poll() is None


def test_failed_offset_query_does_not_end_once_mode(wendle):
    # An offset of exactly -1 second can't be told from the failure value.
    w = wendle("-d", "-o", env={"TZ": "AAA0:00:01"}).ready()
    broadcast(w, A, int(time.time()))
    w.out.wait_for("PANIC: couldn't find Plimbo's time zone\n")
    i = broadcast(w, A, int(time.time()))
    w.out.wait_for("PANIC: couldn't find Plimbo's time zone\n", start=i)
    assert w.proc.poll() is None
    assert w.settings() == []


def test_bell_in_debug_mode(wendle):
    w = wendle("-db", "-o", env={"TZ": "EST5"})
    w.ready()
    send(ntp_packet())
    assert w.wait() == 0
    text = w.out.text()
    assert text.index("\a") > text.index("Setting the local time")


@pytest.mark.parametrize("use_syslog", [True, False])
def test_background_reports_to_syslog(wendle, syslog, use_syslog):
    w = wendle(*(["-b", "-s"] if use_syslog else ["-b"]), env={"TZ": "EST5"}, also_trace=["write"])
    harness.wait_port_bound()
    t = int(time.time())
    send(ntp_packet(unix_time=t))
    msg = syslog.wait(lambda m: m.get("text", "").startswith("Setting the local time to "))
    assert msg["text"] == f"Setting the local time to {time.asctime(time.gmtime(t - 18000))}\n"
    assert msg["severity"] == 6
    if use_syslog:
        assert (msg["ident"], msg["facility"]) == ("wendle", 3)
        assert msg["pid"] in harness.wendle_pids()
    else:
        assert (msg["ident"], msg["facility"], msg["pid"]) == ("wendle", 1, None)
    assert [s for s, _ in w.wait_settings(1)] == [t - 18000]
    deadline = time.monotonic() + 5
    while not any('write(1, "\\7", 1)' in line for line in w.trace_lines()):
        assert time.monotonic() < deadline, "no bell written to descriptor 1"
        time.sleep(0.02)


@pytest.mark.parametrize("debug", [True, False])
def test_zone_discovery_failure_ends_the_daemon(wendle, syslog, debug):
    harness.postcode_program("echo 12345\n")  # but no table
    w = wendle(*(["-d"] if debug else []))
    if debug:
        w.ready()
    else:
        assert w.detached() == 0
        [pid] = harness.wendle_pids()
    send(ntp_packet())
    if debug:
        assert w.wait() == 1
        assert w.err.text() == "Can't open /etc/postcodezones: No such file or directory\n"
    else:
        msg = syslog.wait(lambda m: "Can't open" in m.get("text", ""))
        assert msg["text"] == "Can't open /etc/postcodezones: No such file or directory\n"
        assert msg["severity"] == 6
        deadline = time.monotonic() + 5
        while pid in harness.wendle_pids():
            assert time.monotonic() < deadline
            time.sleep(0.02)
