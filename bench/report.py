"""Prints the benchmark table: each figure beside the platform's or the bare loop's,
the ratio, and the goal.   python3 bench/report.py TZ_JSON DAEMON_JSON"""

import json
import sys


def medians(path):
    with open(path) as f:
        data = json.load(f)
    return {b["run_name"]: b["cpu_time"] for b in data["benchmarks"]
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median"}


def main(tz_json, daemon_json):
    tz = medians(tz_json)
    with open(daemon_json) as f:
        d = json.load(f)
    rows = []

    def row(what, ours, theirs, unit, goal=None, limit=None):
        ratio = ours / theirs if theirs else float("nan")
        met = "" if limit is None else ("met" if ratio <= limit else "NOT MET")
        rows.append((what, f"{ours:.1f} {unit}", f"{theirs:.1f} {unit}" if theirs else "", f"{ratio:.2f}" if theirs else "",
                     goal or "", met))

    names = {"2026": "2026", "1975": "1975", "0": "any 32-bit"}
    for rules in ("0", "1"):
        for year in ("2026", "1975", "0"):
            key = f"year:{year}/rules:{rules}"
            row(f"localtime, {'rule string' if rules == '1' else 'zone file'}, {names[year]}",
                tz[f"BM_tzlib_localtime/{key}"], tz[f"BM_libc_localtime/{key}"], "ns", "<= 0.5 x platform", 0.5)
    row("gmtime", tz["BM_tzlib_gmtime"], tz["BM_libc_gmtime_r"], "ns", "<= 0.5 x gmtime_r", 0.5)
    rows.append(("tzset, TZ unchanged", f"{tz['BM_tzlib_tzset_unchanged']:.1f} ns", "", "", "", ""))
    rows.append(("zone file load", f"{tz['BM_tzlib_zone_file_load']:.0f} ns", "", "", "", ""))
    rows.append(("rule string parse (1970-2037 table)", f"{tz['BM_tzlib_rule_string_parse']:.0f} ns", "", "", "", ""))
    for flood, figures in d["receive"].items():
        row(f"CPU per datagram, {flood} flood", figures["wendle"], figures["bare"], "ns", "<= 1.05 x bare loop", 1.05)
    fp = d["footprint"]
    row("resident, VmHWM", fp["wendle"]["VmHWM"], fp["bare"]["VmHWM"], "KiB", "<= 1.5 x minimal C", 1.5)
    row("resident, anonymous", fp["wendle"]["RssAnon"], fp["bare"]["RssAnon"], "KiB")
    size = fp["wendle"]["stripped_bytes"]
    rows.append(("stripped binary", f"{size / 1000:.1f} kB", f"{fp['bare']['stripped_bytes'] / 1000:.1f} kB", "",
                 "<= 100 kB", "met" if size <= 100_000 else "NOT MET"))
    for mode, a in d["allocations"].items():
        rows.append((f"allocations per datagram ({mode})", f"{a['per_datagram']:g}", "", "", "0",
                     "met" if a["per_datagram"] == 0 else "NOT MET"))
        rows.append((f"allocations per clock setting ({mode})", f"{a['per_setting']:g}", "", "", "", ""))
    widths = [max(len(r[i]) for r in rows + [("figure", "wendle", "reference", "ratio", "goal", "")]) for i in range(6)]
    header = ("figure", "wendle", "reference", "ratio", "goal", "")
    for r in [header] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    return 0 if all(r[5] != "NOT MET" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
