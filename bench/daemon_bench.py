"""The daemon beside a bare receive loop, in the sandbox, on loopback: CPU time per
datagram under a flood, resident memory, binary size and heap allocations.
Writes its figures as JSON to the path given.   python3 bench/daemon_bench.py OUT"""

import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import ntp_packet  # noqa: E402

WENDLE = os.environ["WENDLE_BIN"]
BARE = os.environ["BARE_RECV_BIN"]
MALLOC_COUNT = os.environ["MALLOC_COUNT_LIB"]
PER_RUN = 200_000
ROUNDS = 5


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def socket_stats(port=123):
    """(rx_queue, drops) of the socket bound to port."""
    [sock] = harness.udp_sockets(port)
    return sock["rx_queue"], sock["drops"]


RECEIVER_CPU, SENDER_CPU = {1}, {0}


def start(kind, extra_env=None, args=()):
    """The daemon (detached; its PID found) or the bare loop; returns the PID. Receivers run
    on one core and the sender on the other, so that both programs are measured alike."""
    env = {k: v for k, v in os.environ.items() if k != "TZ"}
    env.update({"TZ": "EST5"}, **(extra_env or {}))
    if kind == "bare":
        proc = subprocess.Popen([BARE], env=env)
        pid = proc.pid
    elif args:
        pid = subprocess.Popen([WENDLE, *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).pid
    else:
        subprocess.run([WENDLE], env=env, check=True)
        harness.wait_port_bound()
        [pid] = harness.wendle_pids()
    harness.wait_port_bound()
    os.sched_setaffinity(pid, RECEIVER_CPU)
    return pid


def stop(pid):
    harness.end_pid(pid)
    harness.wait_port_free()


def drained(pid):
    """Waits until the socket's queue is empty and the process has gone idle."""
    while socket_stats()[0] != 0:
        time.sleep(0.005)
    last = cpu_ns(pid)
    while True:
        time.sleep(0.02)
        now = cpu_ns(pid)
        if now == last:
            return
        last = now


def flood(datagrams, count):
    socks = []
    for i in range(3, 7):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((f"127.0.0.{i}", 0))
        socks.append(s)
    n = len(datagrams)
    for i in range(count):
        socks[i & 3].sendto(datagrams[i % n], ("127.0.0.1", 123))
    for s in socks:
        s.close()


def cpu_per_datagram(kind, datagrams):
    pid = start(kind)
    t0 = int(time.time())
    harness.send(ntp_packet(unix_time=t0, stratum=2), src="127.0.0.2")  # the server to stay with
    drained(pid)
    c0, (_, d0) = cpu_ns(pid), socket_stats()
    flood(datagrams, PER_RUN)
    drained(pid)
    c1, (_, d1) = cpu_ns(pid), socket_stats()
    stop(pid)
    return (c1 - c0) / (PER_RUN - (d1 - d0))


def receive_loop():
    t0 = int(time.time())
    floods = {
        "non-broadcast": [ntp_packet(mode=m, unix_time=t0) for m in (1, 2, 3, 4, 6, 7)],
        "skipped broadcast": [ntp_packet(stratum=9, unix_time=t0 + k) for k in range(100)],
    }
    out = {}
    for name, datagrams in floods.items():
        runs = {"wendle": [], "bare": []}
        for _ in range(ROUNDS):
            for kind in ("bare", "wendle"):
                runs[kind].append(cpu_per_datagram(kind, datagrams))
        out[name] = {k: statistics.median(v) for k, v in runs.items()}
    return out


def footprint():
    out = {}
    for kind in ("bare", "wendle"):
        pid = start(kind)
        harness.send(ntp_packet(), src="127.0.0.2")  # the first clock setting (refused: no CAP_SYS_TIME)
        drained(pid)
        out[kind] = {"VmHWM": status(pid, "VmHWM"), "RssAnon": status(pid, "RssAnon")}
        stop(pid)
    for kind, path in (("wendle", WENDLE), ("bare", BARE)):
        subprocess.run(["strip", "-o", f"/tmp/{kind}.stripped", path], check=True)
        out[kind]["stripped_bytes"] = os.path.getsize(f"/tmp/{kind}.stripped")
    return out


def allocations(args=()):
    """Heap allocations after start-up: per datagram that sets nothing, and per clock setting."""
    counter = "/tmp/malloc-count"

    def count(pid):
        if os.path.exists(counter):
            os.unlink(counter)
        os.kill(pid, signal.SIGUSR2)
        while not os.path.exists(counter) or not open(counter).read().endswith("\n"):
            time.sleep(0.005)
        return int(open(counter).read())

    pid = start("wendle", {"LD_PRELOAD": MALLOC_COUNT, "MALLOC_COUNT_FILE": counter}, args)
    t0 = int(time.time())
    harness.send(ntp_packet(unix_time=t0, stratum=2), src="127.0.0.2")
    drained(pid)
    c0 = count(pid)
    junk = [ntp_packet(mode=3), ntp_packet(stratum=9, unix_time=t0 + 1), ntp_packet()[:20]]
    flood(junk, 30000)
    drained(pid)
    c1 = count(pid)
    for k in range(100):  # each taken: two localtime conversions, a gmtime, a setting, a syslog line
        harness.send(ntp_packet(unix_time=t0 + 2 + k, stratum=2), src="127.0.0.2")
    drained(pid)
    c2 = count(pid)
    stop(pid)
    return {"after_start": c0, "per_datagram": (c1 - c0) / 30000, "per_setting": (c2 - c1) / 100}


if __name__ == "__main__":
    if not harness.in_sandbox():
        sys.exit("refusing to run outside tests/sandbox/run")
    os.sched_setaffinity(0, SENDER_CPU)
    figures = {"receive": receive_loop(), "footprint": footprint(),
               "allocations": {"background": allocations(), "debug": allocations(["-d"])}}
    with open(sys.argv[1], "w") as f:
        json.dump(figures, f, indent=1)
