#!/usr/bin/env python3
"""Runs every bench/compare_* program of a build and prints one Markdown table per scenario.

Each program lists its cases (`--list`) and runs one case for one contestant per
process (`--run SCENARIO CASE CONTESTANT [--smoke]`), printing one RESULT line.
Repetitions interleave the contestants of a case (the order rotates every
repetition), so a slow minute of the machine lands on everyone alike.  A run
whose own check fails (a lost message, a pool not back to full, a crash, a
timeout) fails the whole comparison: a fast wrong result never makes a table.
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from collections import OrderedDict

SCENARIOS = OrderedDict([
    ("pingpong", "Ping-pong between two threads (round trip, one message in flight)"),
    ("flood", "One-way flood"),
    ("timers", "Timers"),
    ("tcp", "TCP echo over loopback"),
    ("udp", "UDP echo over loopback"),
    ("relay", "The relay's publish/subscribe fan-out (whole system)"),
])
BASELINE = "vlk2"


def find_programs(build):
    bench = os.path.join(build, "bench")
    progs = []
    for name in sorted(os.listdir(bench)) if os.path.isdir(bench) else []:
        path = os.path.join(bench, name)
        if name.startswith("compare_") and os.path.isfile(path) and os.access(path, os.X_OK):
            progs.append(path)
    return progs


def list_cases(prog):
    out = subprocess.run([prog, "--list"], check=True, capture_output=True, text=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines() if line.count("\t") == 2]


def run_one(prog, scenario, case, contestant, smoke, timeout):
    cmd = [prog, "--run", scenario, case, contestant] + (["--smoke"] if smoke else [])
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "timed out after %d s" % timeout
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            if proc.returncode != 0 or not result.get("ok"):
                return None, "check failed: %s" % result.get("check", "")
            return result, None
    tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
    return None, "exit %d without a result: %s" % (proc.returncode, " | ".join(tail))


def fmt(v):
    a = abs(v)
    if a == 0:
        return "0"
    if a >= 1e6:
        return "%.2fM" % (v / 1e6)
    if a >= 1e4:
        return "%.0fk" % (v / 1e3)
    if a >= 100:
        return "%.0f" % v
    if a >= 1:
        return "%.2f" % v
    return "%.3g" % v


def lead(base, value, lower):
    """How far vlk2 is ahead of a contestant: above 1 means vlk2 is better."""
    if not base or not value:
        return None
    return value / base if lower else base / value


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        cxx = "unknown compiler"
    return "%s, %d cores, Linux %s, %s, %s UTC" % (
        cpu, os.cpu_count() or 0, platform.release(), cxx,
        datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"))


def tables(results, runs):
    """results: OrderedDict (scenario, case) -> OrderedDict contestant -> list of result dicts."""
    lines = []
    by_scenario = OrderedDict()
    for (scenario, case), contestants in results.items():
        by_scenario.setdefault(scenario, []).append((case, contestants))
    order = [s for s in SCENARIOS if s in by_scenario] + [s for s in by_scenario if s not in SCENARIOS]
    for scenario in order:
        cases = by_scenario[scenario]
        names = []
        for _, contestants in cases:
            for rs in contestants.values():
                for m in rs[0]["metrics"]:
                    if m[0] not in names:
                        names.append(m[0])
        lines.append("### %s (`%s`)\n" % (SCENARIOS.get(scenario, scenario), scenario))
        lines.append("Median of %d run%s, [min–max]; *vlk2 lead* is on the first metric, above 1 means vlk2 is ahead.\n"
                     % (runs, "" if runs == 1 else "s"))
        lines.append("| case | contestant | " + " | ".join(names) + " | vlk2 lead |")
        lines.append("|---|---|" + "---|" * len(names) + "---|")
        for case, contestants in cases:
            medians = {}
            for who, rs in contestants.items():
                medians[who] = {m[0]: (statistics.median(r2 for r2 in
                                       (dict((x[0], x[1]) for x in r["metrics"])[m[0]] for r in rs)), m[2] == "lower")
                                for m in rs[0]["metrics"]}
            for who, rs in contestants.items():
                cells = []
                for name in names:
                    vals = [dict((x[0], x[1]) for x in r["metrics"]).get(name) for r in rs]
                    vals = [v for v in vals if v is not None]
                    if not vals:
                        cells.append("")
                        continue
                    cell = fmt(statistics.median(vals))
                    if len(vals) > 1:
                        cell += " [%s–%s]" % (fmt(min(vals)), fmt(max(vals)))
                    cells.append(cell)
                first = rs[0]["metrics"][0][0]
                ratio = None
                if BASELINE in medians and first in medians[BASELINE] and first in medians[who]:
                    ratio = lead(medians[BASELINE][first][0], medians[who][first][0], medians[who][first][1])
                mark = "**" if who == BASELINE else ""
                lines.append("| %s | %s%s%s | %s | %s |" % (case, mark, who, mark, " | ".join(cells),
                                                           "%.2f" % ratio if ratio is not None else ""))
        lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build-bench", help="build directory holding bench/compare_*")
    ap.add_argument("--runs", type=int, default=5, help="repetitions per contestant (default 5)")
    ap.add_argument("--smoke", action="store_true", help="one tiny run of every case, to keep them building")
    ap.add_argument("--only", action="append", default=[], help="scenario id to run (repeatable)")
    ap.add_argument("--out", help="also write the tables to this file")
    args = ap.parse_args()
    runs = 1 if args.smoke else args.runs
    timeout = 60 if args.smoke else 300

    results = OrderedDict()
    progs = {}
    for prog in find_programs(args.build):
        for scenario, case, contestant in list_cases(prog):
            if args.only and scenario not in args.only:
                continue
            results.setdefault((scenario, case), OrderedDict())[contestant] = []
            progs[(scenario, case, contestant)] = prog
    if not results:
        sys.exit("no compare_* programs with cases under %s/bench" % args.build)

    started = time.monotonic()
    failures = []
    for rep in range(runs):
        for (scenario, case), contestants in results.items():
            who = list(contestants)
            shift = rep % len(who)
            for contestant in who[shift:] + who[:shift]:
                result, error = run_one(progs[(scenario, case, contestant)], scenario, case, contestant,
                                        args.smoke, timeout)
                status = "ok" if error is None else "FAILED: " + error
                print("[%6.1fs] run %d/%d  %-8s %-28s %-12s %s" % (time.monotonic() - started, rep + 1, runs,
                                                                  scenario, case, contestant, status),
                      file=sys.stderr, flush=True)
                if error is None:
                    contestants[contestant].append(result)
                else:
                    failures.append("%s / %s / %s: %s" % (scenario, case, contestant, error))

    done = OrderedDict()
    for key, contestants in results.items():
        kept = OrderedDict((who, rs) for who, rs in contestants.items() if rs)
        if kept:
            done[key] = kept
    text = "Machine: %s. Total time %.0f s.\n\n%s" % (machine(), time.monotonic() - started, tables(done, runs))
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    if failures:
        print("FAILED runs:\n  " + "\n  ".join(failures), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
