"""Command line, start-up, channels and broadcast reception, through the real binary."""

import socket

import pytest

import harness
from harness import ntp_packet, send

USAGE = "Usage: wendle [-b][-d][-o][-s][-m multicast_address]\n"
HEADER_LINE = "Ver: {} Stratum: {} Mode: {} Poll:{} Precision {}\n"


@pytest.fixture
def wendle(wendle):
    """The daemon with a zone in TZ, so that broadcasts never start the zone discovery."""
    def start(*args, env=None, **kw):
        return wendle(*args, env={"TZ": "EST5", **(env or {})}, **kw)
    return start


def received_from(w, start=0):
    """Senders of the broadcasts the debug output shows, in order."""
    return [line.split()[-1] for line in w.out.lines[start:] if line.startswith("Time broadcast received from")]


def header_after(w, i):
    """The header line that follows the received-from line at index i."""
    return w.out.lines[w.out.wait_for("Ver: ", start=i + 1)]


def mark(w, src="127.0.0.9"):
    """Sends a marker broadcast and waits for it: everything sent before it has been handled."""
    send(ntp_packet(stratum=99), src=src)
    w.out.wait_for(f"received from {src}")


@pytest.mark.parametrize("args, complaint", [
    (["-x"], "invalid option -- 'x'"),
    (["-d", "-m"], "option requires an argument -- 'm'"),
    (["-dq"], "invalid option -- 'q'"),
])
def test_bad_command_line(wendle, args, complaint):
    w = wendle(*args)
    assert w.wait() == 1
    assert w.out.text() == USAGE
    assert complaint in w.err.text()
    assert not harness.udp_port_bound()


@pytest.mark.parametrize("args", [["-d"], ["-d", "-s"], ["-ds"], ["-d", "-d", "stray"]])
def test_debug_mode_prints_banner_and_never_logs(wendle, syslog, args):
    w = wendle(*args).ready()
    assert w.out.wait_for("V1.3") == 0
    assert w.out.lines[0].startswith("wendle ")
    mark(w)
    assert w.proc.poll() is None
    assert syslog.drain() == []


def test_background_with_syslog_option_logs_banner(wendle, syslog):
    w = wendle("-s")
    assert w.detached() == 0
    assert w.out.lines == []
    msg = syslog.wait(lambda m: "V1.3" in m.get("text", ""))
    [pid] = harness.wendle_pids()
    assert msg["ident"] == "wendle"
    assert msg["pid"] == pid
    assert msg["facility"] == 3  # LOG_DAEMON
    assert msg["severity"] == 6  # LOG_INFO
    assert harness.udp_port_bound()


def test_background_without_syslog_option_logs_no_banner(wendle, syslog):
    w = wendle()
    assert w.detached() == 0
    assert len(harness.wendle_pids()) == 1
    send(ntp_packet())
    syslog.wait(lambda m: m.get("text", "").startswith("Setting the local time"))
    assert not [m for m in syslog.drain() if "V1.3" in m.get("text", "")]


@pytest.mark.parametrize("background", [False, True])
def test_busy_port_fails_the_command_typed(wendle, background):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("0.0.0.0", 123))
        w = wendle(*([] if background else ["-d"]))
        assert w.wait() == 1
    assert "Couldn't bind socket: Address already in use\n" in w.err.text()
    assert harness.wendle_pids() == []


def test_only_broadcast_mode_passes(wendle):
    w = wendle("-d").ready()
    for mode in (0, 1, 2, 3, 4, 6, 7):
        send(ntp_packet(mode=mode), src="127.0.0.3")
    mark(w)
    assert received_from(w) == ["127.0.0.9"]


def test_header_line_decodes_unsigned_fields(wendle):
    w = wendle("-d").ready()
    packet = ntp_packet(version=4, stratum=2, poll=6, precision=-20)
    assert packet[0] == 37 and packet[3] == 236
    send(packet, src="127.0.0.2")
    i = w.out.wait_for("Time broadcast received from 127.0.0.2\n")
    assert header_after(w, i) == HEADER_LINE.format(4, 2, 5, 6, 236)


@pytest.mark.parametrize("fields", [
    dict(version=1), dict(leap=3), dict(stratum=0), dict(stratum=16), dict(stratum=255, poll=-1),
])
def test_any_broadcast_header_passes(wendle, fields):
    w = wendle("-d").ready()
    send(ntp_packet(**fields), src="127.0.0.4")
    i = w.out.wait_for("received from 127.0.0.4")
    p = ntp_packet(**fields)
    assert header_after(w, i) == HEADER_LINE.format((p[0] >> 3) & 7, p[1], 5, p[2], p[3])


def test_datagram_sizes(wendle):
    w = wendle("-d").ready()
    send(ntp_packet(stratum=7, tail=b"\xff" * 20), src="127.0.0.5")  # header plus an authenticator
    i = w.out.wait_for("received from 127.0.0.5")
    assert header_after(w, i) == HEADER_LINE.format(4, 7, 5, 6, 236)
    send(ntp_packet()[:47], src="127.0.0.6")  # short: never decoded with the previous bytes
    send(b"\x25", src="127.0.0.6")
    send(b"", src="127.0.0.6")
    mark(w)
    assert "127.0.0.6" not in received_from(w)


def test_broadcast_address_and_any_source_port(wendle):
    w = wendle("-d").ready()
    send(ntp_packet(), src="127.0.0.7", dst="127.255.255.255", src_port=40123)
    w.out.wait_for("received from 127.0.0.7")
    send(ntp_packet(), src="127.0.0.8", src_port=1123)
    w.out.wait_for("received from 127.0.0.8")


def test_last_multicast_group_is_joined(wendle):
    harness.enable_loopback_multicast()
    w = wendle("-d", "-m", "224.0.1.1", "-m239.1.2.3").ready()
    harness.wait_joined("239.1.2.3")
    assert "224.0.1.1" not in harness.joined_groups()
    harness.send_multicast(ntp_packet(stratum=11), "224.0.1.1")
    harness.send_multicast(ntp_packet(stratum=12), "239.1.2.3")
    i = w.out.wait_for("Stratum: 12")
    mark(w)
    assert "Stratum: 11" not in w.out.text()
    assert "Couldn't add membership" not in w.err.text()
    assert i > 0


@pytest.mark.parametrize("group", ["10.1.2.3", "not-an-address"])
def test_refused_group_is_reported_and_survived(wendle, group):
    w = wendle("-d", "-m", group).ready()
    w.err.wait_for("Couldn't add membership of multicast group: ")
    mark(w)
