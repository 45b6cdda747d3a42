"""The demo's inside, run in the sandbox: a time server (chronyd -x, broadcasting
every 2 s) in a network namespace of its own, the box in the sandbox's, joined by
a veth pair on 192.0.2.0/24; the box has the sample postcode table and postcode
program and the system's zone files; wendle -o takes one broadcast, and strace
answers the clock setting so that the host clock is never changed."""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402

parser = argparse.ArgumentParser(prog="scripts/demo", description="Shows wendle setting a clock, safely.")
parser.add_argument("--tz", help="start wendle with this TZ, skipping the postcode road")
parser.add_argument("--postcode", default="10115", help="the box's postcode (default 10115, Berlin)")
parser.add_argument("--background", action="store_true", help="run detached and show its syslog lines")
opts = parser.parse_args()


def say(text):
    print(f"demo   | {text}", flush=True)


def clock_skew():
    """The realtime clock against the monotonic one: it jumps if anything sets the clock."""
    return time.clock_gettime(time.CLOCK_REALTIME) - time.clock_gettime(time.CLOCK_MONOTONIC)


examples = os.path.join(HERE, "..", "examples")
with open(os.path.join(examples, "postcodezones")) as f:
    harness.write_file("/etc/postcodezones", f.read())
with open(os.path.join(examples, "get_postalcode")) as f:
    harness.write_file("/var/hack/bin/get_postalcode", f.read(), 0o755)
harness.write_file("/etc/postcode", opts.postcode + "\n")
os.makedirs("/var/hack", exist_ok=True)
if os.path.isdir("/usr/share/zoneinfo"):
    os.symlink("/usr/share/zoneinfo", "/var/hack/zoneinfo")
else:
    say("no zone files installed (package tzdata): zone names fall back to GMT")

env = {"TZ": opts.tz} if opts.tz is not None else None
say("the box: postcode " + opts.postcode + (f", TZ={opts.tz}" if env else ", TZ absent: the zone comes from the postcode"))
skew_before = clock_skew()
status = None
with harness.time_server(interval=2):
    say("time server: chronyd -x at 192.0.2.2, broadcasting to 192.0.2.255 every 2 s")
    if opts.background:
        log = harness.Syslog()
        w = harness.Wendle("-s", "-o", env=env)
        shown = 0
        deadline = time.monotonic() + 25
        while time.monotonic() < deadline and not w.settings():
            for m in log.drain(settle=0.2)[shown:]:
                print(f"syslog | <{m.get('facility')}.{m.get('severity')}> {m.get('ident')}[{m.get('pid')}]: "
                      f"{m.get('text', m.get('raw'))}".rstrip(), flush=True)
                shown += 1
        for m in log.drain(settle=0.5)[shown:]:
            print(f"syslog | <{m.get('facility')}.{m.get('severity')}> {m.get('ident')}[{m.get('pid')}]: "
                  f"{m.get('text', m.get('raw'))}".rstrip(), flush=True)
    else:
        w = harness.Wendle("-d", "-o", env=env, merge=True)
        shown = 0
        deadline = time.monotonic() + 25
        while time.monotonic() < deadline and (w.proc.poll() is None or shown < len(w.out.lines)):
            for line in w.out.lines[shown:]:
                print("wendle | " + line, end="", flush=True)
                shown += 1
            time.sleep(0.05)
    try:
        status = w.wait(timeout=max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        say("no broadcast taken in 25 s")
        w.stop()

asked = [line.split(None, 1)[1].strip() for line in w.trace_lines() if "clock_settime" in line or "settimeofday" in line]
moved = clock_skew() - skew_before
if asked:
    [(sec, usec)] = w.settings()[:1]
    say(f"the kernel was asked: {asked[0]}")
    say(f"that is local time {time.asctime(time.gmtime(sec))}; strace answered it itself, so the host clock "
        f"was not changed (it moved {moved * 1000:+.1f} ms against the monotonic clock)")
sys.exit(0 if status == 0 else 1)
