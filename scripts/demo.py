"""The demo's inside: a box with a postcode table and a postcode program, one
broadcast from a neighbour, and wendle -d -o taking it. Runs in the sandbox."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import harness  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--tz", help="start wendle with this TZ instead of finding the zone by postcode")
parser.add_argument("--postcode", default="90210", help="the postcode the box's program reports")
opts = parser.parse_args()

harness.write_file("/etc/postcodezones", "# postcode<TAB>zone\n"
                   f"{opts.postcode}\tPST8PDT,M3.2.0,M11.1.0\n10115\tCET-1CEST,M3.5.0,M10.5.0/3\n")
harness.postcode_program(f"echo {opts.postcode}\n")

w = harness.Wendle("-d", "-o", env={"TZ": opts.tz} if opts.tz is not None else None, merge=True).ready()
now = int(time.time())
harness.send(harness.ntp_packet(unix_time=now, stratum=3), src="127.0.0.2")
status = None
try:
    status = w.wait(timeout=15)
except Exception:
    w.stop()
for line in w.out.lines:
    print("wendle | " + line, end="")
settings = w.settings()
if settings:
    sec, usec = settings[0]
    print(f"kernel was asked: settimeofday({{tv_sec={sec}, tv_usec={usec}}}) "
          f"-- the broadcast's UTC {now} plus {sec - now:+d} s; strace answered it, the host clock is untouched")
else:
    print("kernel was asked nothing")
sys.exit(0 if status in (0, None) else status)
