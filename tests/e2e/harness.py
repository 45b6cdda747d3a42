"""End-to-end harness: the real wendle binary, real datagrams, a syslog catcher,
and strace in front of the daemon so that every clock setting is recorded and
answered without reaching the kernel.

Everything here runs inside tests/sandbox/run: /etc, /var, /tmp and /dev are
private, the network is the sandbox's own loopback, CAP_SYS_TIME is gone.
"""

import contextlib
import os
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

WENDLE = os.environ.get("WENDLE_BIN", "")
NTP_EPOCH_OFFSET = 2208988800
DEFAULT_TIMEOUT = 10.0


def in_sandbox():
    """True inside tests/sandbox/run: the marker is there and CAP_SYS_TIME is not."""
    if not os.path.exists("/run/wendle-sandbox"):
        return False
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("CapEff:"):
                return not (int(line.split()[1], 16) >> 25) & 1
    return False


# ---- datagrams ----

def ntp_packet(mode=5, version=4, leap=0, stratum=2, poll=6, precision=236,
               tx_seconds=None, tx_fraction=0, unix_time=None, tail=b""):
    """A 48-byte NTP header (plus tail); the transmit time from unix_time or tx_seconds."""
    if tx_seconds is None:
        tx_seconds = (int(time.time() if unix_time is None else unix_time) + NTP_EPOCH_OFFSET) % 2**32
    head = struct.pack("!BBBB", (leap << 6) | (version << 3) | mode, stratum, poll & 0xFF, precision & 0xFF)
    return head + bytes(36) + struct.pack("!II", tx_seconds, tx_fraction) + tail


def send(data, src="127.0.0.2", dst="127.0.0.1", port=123, src_port=0):
    """Sends one datagram from src (a loopback address, so that senders differ)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind((src, src_port))
        s.sendto(data, (dst, port))


def enable_loopback_multicast():
    """Multicast over lo inside the sandbox's own network namespace."""
    subprocess.run(["ip", "link", "set", "lo", "multicast", "on"], check=True)
    subprocess.run(["ip", "route", "replace", "224.0.0.0/4", "dev", "lo"], check=True)


def joined_groups():
    """Multicast groups joined on any interface, dotted."""
    groups = set()
    with open("/proc/net/igmp") as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 4 and len(fields[0]) == 8 and fields[0] not in ("Idx",):
                groups.add(socket.inet_ntoa(struct.pack("<I", int(fields[0], 16))))
    return groups


def wait_joined(group, timeout=DEFAULT_TIMEOUT):
    deadline = time.monotonic() + timeout
    while group not in joined_groups():
        if time.monotonic() > deadline:
            raise AssertionError(f"{group} not joined; joined: {joined_groups()}")
        time.sleep(0.01)


def send_multicast(data, group, port=123):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        s.sendto(data, (group, port))


# ---- files of the box ----

def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(path, mode)


def postcode_program(script):
    """Installs a shell script as /var/hack/bin/get_postalcode."""
    write_file("/var/hack/bin/get_postalcode", "#!/bin/sh\n" + script, 0o755)


def tzif(transitions=(), types=((0, 0, 0),), abbrs=b"UTC\0", leaps=(), std=None, ut=None):
    """A version-1 zone file: transitions [(time, type)], types [(utc_offset, is_dst, abbr_index)]."""
    std = list(std or [])
    ut = list(ut or [])
    head = b"TZif" + b"\0" * 16 + struct.pack(
        "!6i", len(ut), len(std), len(leaps), len(transitions), len(types), len(abbrs))
    body = b"".join(struct.pack("!i", t) for t, _ in transitions)
    body += bytes(k for _, k in transitions)
    body += b"".join(struct.pack("!iBB", off, dst, idx) for off, dst, idx in types)
    body += abbrs
    body += b"".join(struct.pack("!ii", t, c) for t, c in leaps)
    return head + body + bytes(std) + bytes(ut)


# ---- syslog ----

class Syslog:
    """A datagram listener at /dev/log; each message parsed into facility, severity, ident, pid, text."""

    LINE = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^:\[]+)(?:\[(\d+)\])?: (.*)$", re.S)

    def __init__(self, path="/dev/log"):
        self.path = path
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        # The pump polls a flag: closing a socket that another thread is blocked on would let
        # that thread go on with whatever socket takes the descriptor number next.
        self.sock.settimeout(0.05)
        self.stopping = False
        self.messages = queue.Queue()
        self.seen = []
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        while not self.stopping:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            m = self.LINE.match(data)
            if m:
                pri = int(m.group(1))
                self.messages.put({"facility": pri >> 3, "severity": pri & 7,
                                   "ident": m.group(3).decode(), "pid": int(m.group(4)) if m.group(4) else None,
                                   "text": m.group(5).decode(errors="replace")})
            else:
                self.messages.put({"raw": data})

    def wait(self, pred, timeout=DEFAULT_TIMEOUT):
        """The first message (seen before or arriving) for which pred holds."""
        deadline = time.monotonic() + timeout
        while True:
            for m in self.seen:
                if pred(m):
                    return m
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no such syslog message; seen: {self.seen}")
            try:
                self.seen.append(self.messages.get(timeout=left))
            except queue.Empty:
                pass

    def drain(self, settle=0.3):
        """Every message that arrives within settle seconds of quiet."""
        while True:
            try:
                self.seen.append(self.messages.get(timeout=settle))
            except queue.Empty:
                return list(self.seen)

    def close(self):
        self.stopping = True
        self.thread.join()
        self.sock.close()
        os.unlink(self.path)


# ---- the daemon ----

class Stream:
    """Lines of one output stream of a process, collected as they arrive."""

    def __init__(self, pipe):
        self.lines = []
        self._cond = threading.Condition()
        self._pipe = pipe
        self.closed = False
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for raw in iter(self._pipe.readline, b""):
            with self._cond:
                self.lines.append(raw.decode(errors="replace"))
                self._cond.notify_all()
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def wait_for(self, text, timeout=DEFAULT_TIMEOUT, start=0):
        """Index of the first line from start on that contains text."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self.lines)):
                    if text in self.lines[i]:
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise AssertionError(f"no line with {text!r}; got {self.lines!r}")
                self._cond.wait(left)

    def wait_closed(self, timeout=DEFAULT_TIMEOUT):
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self.closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("stream not closed")
                self._cond.wait(left)

    def text(self):
        with self._cond:
            return "".join(self.lines)


SETTING = re.compile(
    r"(?:settimeofday\(\{tv_sec=(-?\d+), tv_usec=(\d+)\}|clock_settime\(CLOCK_REALTIME, \{tv_sec=(-?\d+), tv_nsec=(\d+)\}\))")


class Wendle:
    """One run of the real binary. With trace, strace records every clock setting and makes it
    succeed (or, with refuse, fail with EPERM) without the kernel doing it."""

    def __init__(self, *args, env=None, trace=True, refuse=False, tracelog="/tmp/wendle.strace",
                 stdin=subprocess.DEVNULL, merge=False, also_trace=()):
        self.tracelog = tracelog if trace else None
        cmd = [WENDLE, *args]
        if trace:
            if os.path.exists(tracelog):
                os.unlink(tracelog)
            answer = "error=EPERM" if refuse else "retval=0"
            cmd = ["strace", "-f", "-q", "--seccomp-bpf", "-o", tracelog,
                   "-e", "trace=" + ",".join(["clock_settime", "settimeofday", *also_trace]),
                   "-e", f"inject=clock_settime,settimeofday:{answer}", *cmd]
        full_env = {k: v for k, v in os.environ.items() if k != "TZ"}
        full_env.update(env or {})
        full_env = {k: v for k, v in full_env.items() if v is not None}
        # merge: standard error into the same pipe, so that the order of the two shows.
        self.proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT if merge else subprocess.PIPE, env=full_env)
        self.out = Stream(self.proc.stdout)
        self.err = self.out if merge else Stream(self.proc.stderr)

    def settings(self):
        """The clock settings the daemon asked for, as (seconds, microseconds)."""
        found = []
        for line in self.trace_lines():
            m = SETTING.search(line)
            if m and m.group(1) is not None:
                found.append((int(m.group(1)), int(m.group(2))))
            elif m:
                found.append((int(m.group(3)), int(m.group(4)) // 1000))
        return found

    def wait_settings(self, n, timeout=DEFAULT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            s = self.settings()
            if len(s) >= n or time.monotonic() > deadline:
                return s
            time.sleep(0.02)

    def trace_lines(self):
        if not self.tracelog or not os.path.exists(self.tracelog):
            return []
        with open(self.tracelog) as f:
            return f.readlines()

    def detached(self, timeout=DEFAULT_TIMEOUT):
        """In background mode under strace: the exit status of the starting process, which
        ends when it has detached, while strace goes on following the daemon."""
        exited = re.compile(r"^\d+ +\+\+\+ exited with (\d+) \+\+\+")
        deadline = time.monotonic() + timeout
        while True:
            for line in self.trace_lines():
                m = exited.match(line)
                if m:
                    return int(m.group(1))
            if self.proc.poll() is not None:
                return self.proc.returncode
            if time.monotonic() > deadline:
                raise AssertionError("the starting process did not end")
            time.sleep(0.01)

    def wait(self, timeout=DEFAULT_TIMEOUT):
        """The exit status; the streams are read to their end."""
        status = self.proc.wait(timeout)
        self.out.wait_closed()
        self.err.wait_closed()
        return status

    def ready(self, timeout=DEFAULT_TIMEOUT):
        """Waits until this daemon itself holds the socket on port 123."""
        deadline = time.monotonic() + timeout
        while True:
            pids = children(self.proc.pid) if self.tracelog else [self.proc.pid]
            if any(port_inodes() & socket_inodes(pid) for pid in pids):
                return self
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"the daemon did not bind port 123: {self.err.text()!r}")
            time.sleep(0.01)

    def stop(self):
        if self.proc.poll() is None:
            # strace would only detach on SIGTERM and leave the daemon running: end the tracee.
            for pid in children(self.proc.pid) if self.tracelog else []:
                end_pid(pid)
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def udp_sockets(port=123):
    """The UDP sockets bound to port, from /proc/net/udp: inode, bytes queued, datagrams dropped."""
    with open("/proc/net/udp") as f:
        next(f)
        return [{"inode": int(fields[9]), "rx_queue": int(fields[4].split(":")[1], 16), "drops": int(fields[12])}
                for fields in map(str.split, f) if int(fields[1].split(":")[1], 16) == port]


def port_inodes(port=123):
    """Inodes of the UDP sockets bound to port."""
    return {sock["inode"] for sock in udp_sockets(port)}


def udp_port_bound(port=123):
    return bool(port_inodes(port))


def socket_inodes(pid):
    found = set()
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
            if link.startswith("socket:["):
                found.add(int(link[8:-1]))
    except OSError:
        pass
    return found


def wait_port_bound(timeout=DEFAULT_TIMEOUT, port=123):
    deadline = time.monotonic() + timeout
    while not udp_port_bound(port):
        if time.monotonic() > deadline:
            raise AssertionError(f"nothing bound UDP port {port}")
        time.sleep(0.01)


def wait_port_free(timeout=DEFAULT_TIMEOUT, port=123):
    """A socket whose last process has just ended may linger a moment in the kernel."""
    deadline = time.monotonic() + timeout
    while udp_port_bound(port):
        if time.monotonic() > deadline:
            raise AssertionError(f"UDP port {port} is still bound")
        time.sleep(0.01)


def wendle_pids():
    """Processes of the wendle binary in this sandbox's pid namespace."""
    target = os.path.realpath(WENDLE)
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                if os.readlink(f"/proc/{name}/exe") == target:
                    pids.append(int(name))
            except OSError:
                pass
    return pids


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def end_pid(pid, timeout=5.0):
    """Ends one process by its PID and waits until it is gone."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(") ")[1].startswith("Z"):
                    return
        except OSError:
            return
        time.sleep(0.01)


# ---- a real time server next door ----

CHRONY_CONF = """local stratum 5
allow 192.0.2.0/24
broadcast {interval} 192.0.2.255
cmdport 0
bindcmdaddress /
pidfile {dir}/chronyd.pid
"""


@contextlib.contextmanager
def time_server(interval=1, workdir="/tmp/chrony"):
    """chronyd -x broadcasting every interval seconds from a network namespace of its own,
    joined to this one by a veth pair: this side 192.0.2.1 (wbox), the server 192.0.2.2.
    Everything it made is removed on the way out, also when the body fails."""
    if shutil.which("chronyd") is None:
        raise AssertionError("chronyd is not installed (package chrony)")
    os.makedirs(workdir, exist_ok=True)
    # chronyd looks up the user it runs as; inside the sandbox /etc is our own.
    write_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n")
    write_file("/etc/group", "root:x:0:\n")
    write_file(f"{workdir}/chrony.conf", CHRONY_CONF.format(interval=interval, dir=workdir))
    holder = subprocess.Popen(["unshare", "--net", "sleep", "600"])
    server = None
    try:
        deadline = time.monotonic() + 5
        while os.readlink(f"/proc/{holder.pid}/ns/net") == os.readlink("/proc/self/ns/net"):
            if time.monotonic() > deadline:
                raise AssertionError("no network namespace for the time server")
            time.sleep(0.01)
        for cmd in (["ip", "link", "add", "wbox", "type", "veth", "peer", "name", "wsrv", "netns", str(holder.pid)],
                    ["ip", "addr", "add", "192.0.2.1/24", "dev", "wbox"],
                    ["ip", "link", "set", "wbox", "up"],
                    ["nsenter", "-t", str(holder.pid), "-n", "sh", "-c",
                     "ip link set lo up && ip addr add 192.0.2.2/24 dev wsrv && ip link set wsrv up"]):
            subprocess.run(cmd, check=True)
        server = subprocess.Popen(["nsenter", "-t", str(holder.pid), "-n", "chronyd", "-x", "-d", "-u", "root",
                                   "-f", f"{workdir}/chrony.conf"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        yield server
    finally:
        pidfile = f"{workdir}/chronyd.pid"
        if os.path.exists(pidfile):
            with open(pidfile) as f:
                end_pid(int(f.read()))
        if server is not None:
            try:
                server.wait(5)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        holder.kill()
        holder.wait()
        subprocess.run(["ip", "link", "del", "wbox"], stderr=subprocess.DEVNULL)
        shutil.rmtree(workdir, ignore_errors=True)
