"""wendle against a real time server: chronyd broadcasting on a veth link from a
network namespace of its own, next to the sandbox's. chronyd runs with -x, so it
never touches a clock, and is ended by its own PID."""

import time

import pytest

import harness


@pytest.fixture
def time_server():
    with harness.time_server(interval=1) as server:
        yield server


def test_takes_a_broadcast_from_chronyd(wendle, time_server):
    w = wendle("-d", "-o", env={"TZ": "EST5"}).ready()
    assert w.wait(timeout=15) == 0, w.out.text()
    taken_at = time.time()
    assert "Time broadcast received from 192.0.2.2\n" in w.out.lines
    assert "Ver: 4 Stratum: 5 Mode: 5" in w.out.text()
    [(sec, usec)] = w.settings()
    assert abs(sec + usec / 1e6 - (taken_at - 18000)) < 1.0
