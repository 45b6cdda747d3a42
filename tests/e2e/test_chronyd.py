"""wendle against a real time server: chronyd broadcasting on a veth link from a
network namespace of its own, next to the sandbox's. chronyd runs with -x, so it
never touches a clock, and is ended by its own PID."""

import os
import shutil
import signal
import subprocess
import time

import pytest

import harness

CONF = """local stratum 5
allow 192.0.2.0/24
broadcast 1 192.0.2.255
cmdport 0
bindcmdaddress /
pidfile {dir}/chronyd.pid
"""


@pytest.fixture
def time_server():
    if shutil.which("chronyd") is None:
        pytest.fail("chronyd is not installed (package chrony)")
    workdir = "/tmp/chrony"
    os.makedirs(workdir, exist_ok=True)
    # chronyd looks up the user it runs as; the sandbox's /etc is the test's own.
    harness.write_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n")
    harness.write_file("/etc/group", "root:x:0:\n")
    harness.write_file(f"{workdir}/chrony.conf", CONF.format(dir=workdir))
    holder = subprocess.Popen(["unshare", "--net", "sleep", "600"])
    server = None
    try:
        deadline = time.monotonic() + 5
        while os.readlink(f"/proc/{holder.pid}/ns/net") == os.readlink("/proc/self/ns/net"):
            assert time.monotonic() < deadline, "no network namespace for the time server"
            time.sleep(0.01)
        run = lambda *cmd: subprocess.run(cmd, check=True)  # noqa: E731
        run("ip", "link", "add", "wbox", "type", "veth", "peer", "name", "wsrv", "netns", str(holder.pid))
        run("ip", "addr", "add", "192.0.2.1/24", "dev", "wbox")
        run("ip", "link", "set", "wbox", "up")
        run("nsenter", "-t", str(holder.pid), "-n", "sh", "-c",
            "ip link set lo up && ip addr add 192.0.2.2/24 dev wsrv && ip link set wsrv up")
        server = subprocess.Popen(["nsenter", "-t", str(holder.pid), "-n", "chronyd", "-x", "-d", "-u", "root",
                                   "-f", f"{workdir}/chrony.conf"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        yield server
    finally:
        pidfile = f"{workdir}/chronyd.pid"
        if os.path.exists(pidfile):
            with open(pidfile) as f:
                harness.end_pid(int(f.read()))
        if server is not None:
            server.wait(5)
        holder.send_signal(signal.SIGKILL)
        holder.wait()
        subprocess.run(["ip", "link", "del", "wbox"], stderr=subprocess.DEVNULL)
        shutil.rmtree(workdir, ignore_errors=True)


def test_takes_a_broadcast_from_chronyd(wendle, time_server):
    w = wendle("-d", "-o", env={"TZ": "EST5"}).ready()
    assert w.wait(timeout=15) == 0, w.out.text()
    taken_at = time.time()
    assert "Time broadcast received from 192.0.2.2\n" in w.out.lines
    assert "Ver: 4 Stratum: 5 Mode: 5" in w.out.text()
    [(sec, usec)] = w.settings()
    assert abs(sec + usec / 1e6 - (taken_at - 18000)) < 1.0
