#!/usr/bin/env python3
"""Runs every bench/compare_* program of a build and prints one Markdown table per scenario.

Each program lists its cases (`--list`) and runs one case for one contestant per
process (`--run SCENARIO CASE CONTESTANT [--smoke]`), printing one RESULT line.

How a comparison is made trustworthy here:
- every repetition runs the cases in a random order and the contestants of a
  case in a random order, next to each other, so that a slow minute of the
  machine falls on anyone alike and pairs of runs share the machine's state;
- the process's CPU time comes from wait4 (every thread, user + system) and is
  given per unit of work (message, round trip) beside the rates;
- the CPU time every other process used during a run is read from /proc/stat;
  a run during which the others used more than --max-others of the machine is
  marked contaminated (and, with --retries, run again);
- where each thread of the run ran is sampled from /proc/PID/task/*/stat;
- with --load N (or --regimes idle,loaded) every run of a case can also run
  beside N spinners (bench_spin: one process that keeps one CPU busy), started
  before the case's contestants run and stopped after, so that every contestant
  of a case sees the same load; the spinners' own CPU time is not counted as
  contamination, anything else's still is;
- the vlk2 lead is the median of the per-repetition ratios (vlk2 against the
  peer in the same repetition) with a bootstrap 95% confidence interval; an
  interval that includes 1 is shown as "level";
- a run whose own check fails (a lost message, a pool not back to full, a crash,
  a timeout) fails the whole comparison: a fast wrong result never makes a table.
"""
import argparse
import datetime
import glob
import json
import os
import platform
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import OrderedDict

SCENARIOS = OrderedDict([
    ("pingpong", "Ping-pong between two threads (round trip, one message in flight)"),
    ("reqresp", "Request/response, a timeout timer armed with every request and cancelled at the answer"),
    ("flood", "One-way flood"),
    ("timers", "Timers"),
    ("memory", "Idle state machines (actors, objects): what each one costs"),
    ("tcp", "TCP echo over loopback"),
    ("tls", "TLS echo over loopback (client: OpenSSL, a thread per connection)"),
    ("latency", "Latency of a paced TCP connection (open loop, counted from when each request was due)"),
    ("connect", "New connections over loopback (connect, one echo, close), one at a time"),
    ("udp", "UDP echo over loopback"),
    ("relay", "The relay's publish/subscribe fan-out (whole system)"),
])
BASELINE = "vlk2"
HZ = os.sysconf("SC_CLK_TCK")
NCPU = os.cpu_count() or 1


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


def busy_seconds():
    """CPU seconds the whole machine spent busy so far (steal included: another guest's time)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = (fields + [0] * 8)[:8]
    return (user + nice + system + irq + softirq + steal) / HZ


def regime(load):
    """The name of a regime in tables, logs and progress lines."""
    return "idle" if load == 0 else "loaded, %d spinner%s" % (load, "" if load == 1 else "s")


def process_seconds(pid):
    """CPU seconds (user + system) a live process has used so far; 0 once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            rest = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return 0.0
    return (int(rest[11]) + int(rest[12])) / HZ


class Load:
    """N spinner processes (bench_spin) for the runs of one case: started, and running, on entry; gone on exit.

    With N = 0 it does nothing, so an idle case goes through the same code."""

    def __init__(self, prog, n):
        self.prog, self.n, self.procs = prog, n, []

    def __enter__(self):
        try:
            for _ in range(self.n):
                proc = subprocess.Popen([self.prog], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                self.procs.append(proc)
                # One byte when it is about to spin: no run starts before every spinner runs.
                if proc.stdout.read(1) != b"s":
                    raise RuntimeError("%s did not start (exit %s)" % (self.prog, proc.wait()))
                proc.stdout.close()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def seconds(self):
        """CPU seconds the spinners have used so far."""
        return sum(process_seconds(p.pid) for p in self.procs)

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.kill()
        for proc in self.procs:
            proc.wait()
        self.procs = []
        return False


class Placement(threading.Thread):
    """Samples which CPU every thread of a process is on while it runs."""

    def __init__(self, pid, interval):
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.samples = 0      # samples that saw a thread running
        self.spread = 0       # ... and saw running threads on more than one CPU
        self.migrations = 0   # a running thread seen on another CPU than the time before
        self.cpus = set()
        self._ticks, self._cpu = {}, {}
        self._halt = threading.Event()

    def stop(self):
        self._halt.set()

    def run(self):
        while not self._halt.wait(self.interval):
            running = set()
            for path in glob.glob("/proc/%d/task/*/stat" % self.pid):
                try:
                    with open(path) as f:
                        rest = f.read().rsplit(")", 1)[1].split()
                except (OSError, IndexError):
                    continue
                tid = path.split("/")[4]
                ticks, cpu = int(rest[11]) + int(rest[12]), int(rest[36])
                if ticks > self._ticks.get(tid, 0):
                    running.add(cpu)
                    self.cpus.add(cpu)
                    if tid in self._cpu and self._cpu[tid] != cpu:
                        self.migrations += 1
                    self._cpu[tid] = cpu
                self._ticks[tid] = ticks
            if running:
                self.samples += 1
                self.spread += len(running) > 1

    def summary(self):
        return {"samples": self.samples, "spread": self.spread, "migrations": self.migrations,
                "cpus": sorted(self.cpus)}


def run_one(prog, scenario, case, contestant, args, timeout, load):
    cmd = [prog, "--run", scenario, case, contestant] + (["--smoke"] if args.smoke else [])
    env = dict(os.environ)
    if args.pin:
        env["VLK_BENCH_PIN"] = args.pin
    else:
        env.pop("VLK_BENCH_PIN", None)
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        busy0, own0, spin0, t0 = busy_seconds(), sum(os.times()[:2]), load.seconds(), time.monotonic()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err, env=env)
        where = Placement(proc.pid, 0.05 if args.smoke else 0.1)
        where.start()
        killed = []
        killer = threading.Timer(timeout, lambda: (killed.append(1), proc.kill()))
        killer.start()
        try:
            _, status, ru = os.wait4(proc.pid, 0)
        except BaseException:  # the driver is stopped (Ctrl-C, SIGTERM): leave no run behind
            killer.cancel()
            where.stop()
            proc.kill()
            proc.wait()
            raise
        killer.cancel()
        where.stop()
        wall, busy1, own1, spin1 = time.monotonic() - t0, busy_seconds(), sum(os.times()[:2]), load.seconds()
        proc.returncode = os.waitstatus_to_exitcode(status)
        where.join()
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    cpu = ru.ru_utime + ru.ru_stime
    # The spinners are the point of a loaded run, not a contamination: their time is taken out with the
    # run's own and the driver's; what is left is every other process's (and other guests' steal time).
    spin = spin1 - spin0
    others = max(0.0, (busy1 - busy0) - cpu - (own1 - own0) - spin)
    run = {"wall": wall, "cpu": cpu, "others": others / (wall * NCPU) if wall > 0 else 0.0,
           "load": load.n, "load_cpu": spin, "placement": where.summary()}
    if killed:
        return None, run, "timed out after %d s" % timeout
    for line in stdout.splitlines():
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            if proc.returncode != 0 or not result.get("ok"):
                return None, run, "check failed: %s" % result.get("check", "")
            if result.get("units"):
                result["metrics"].append(["CPU (us/%s)" % result.get("unit", "unit"),
                                          cpu * 1e6 / result["units"], "lower"])
            return result, run, None
    tail = (stderr or stdout).strip().splitlines()[-3:]
    return None, run, "exit %d without a result: %s" % (proc.returncode, " | ".join(tail))


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


def bootstrap(ratios, rng, rounds=2000):
    """Median of the ratios and a 95% percentile-bootstrap interval of that median."""
    med = statistics.median(ratios)
    if len(ratios) < 3:
        return med, None, None
    meds = sorted(statistics.median(rng.choices(ratios, k=len(ratios))) for _ in range(rounds))
    return med, meds[int(0.025 * rounds)], meds[int(0.975 * rounds) - 1]


def lead_cell(ratios, rng):
    if not ratios:
        return ""
    med, lo, hi = bootstrap(ratios, rng)
    if lo is None:
        return "%.2f (n=%d, no interval)" % (med, len(ratios))
    if lo <= 1.0 <= hi:
        return "level [%.2f–%.2f]" % (lo, hi)
    return "**%.2f** [%.2f–%.2f]" % (med, lo, hi)


def clock_source():
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            return f.read().strip()
    except OSError:
        return "unknown"


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
    virt = ""
    try:
        virt = subprocess.run(["systemd-detect-virt"], capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    return "%s, %d cores%s, Linux %s, clock source %s, %s, %s UTC" % (
        cpu, NCPU, " (%s guest)" % virt if virt and virt != "none" else "", platform.release(), clock_source(),
        cxx, datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"))


def tables(results, args, rng):
    """results: OrderedDict (scenario, case, load) -> OrderedDict contestant -> {rep: (result, run)}.

    One table per scenario and regime; a scenario's regimes follow each other, idle first, then (with more
    than one regime) a table setting the regimes side by side on each case's first metric."""
    lines = []
    leads = {}  # (scenario, case, load, contestant) -> the lead cell, for the side-by-side table
    by_scenario = OrderedDict()
    for (scenario, case, load), contestants in results.items():
        by_scenario.setdefault((scenario, load), []).append((case, contestants))
    known, seen = list(SCENARIOS), list(OrderedDict((k[0], 0) for k in by_scenario))
    order = sorted(by_scenario, key=lambda k: (known.index(k[0]) if k[0] in known else len(known) + seen.index(k[0]),
                                               k[1]))
    for scenario, load in order:
        cases = by_scenario[(scenario, load)]
        names = []
        peers = set()
        for _, contestants in cases:
            peers.update(contestants)
            for runs in contestants.values():
                for res, _ in runs.values():
                    for m in res["metrics"]:
                        if m[0] not in names:
                            names.append(m[0])
        with_lead = BASELINE in peers and len(peers) > 1
        lines.append("### %s (`%s`, %s)\n" % (SCENARIOS.get(scenario, scenario), scenario, regime(load)))
        lines.append("Median [min–max] of the runs; *runs* counts the runs in the cell and, in brackets, how many "
                     "of them were contaminated; *on 2 cores* is the share of samples in which the run's busy threads "
                     "were on more than one core." +
                     (" *vlk2 lead* is on the first metric: the median of the per-repetition ratios with its 95% "
                      "bootstrap interval, above 1 means vlk2 is ahead, *level* means the interval includes 1."
                      if with_lead else " One contestant: no lead.") +
                     (" Every run ran beside %d spinners keeping the CPUs busy; CPU columns are the run's own CPU "
                      "time, the spinners' not included." % load if load else "") + "\n")
        head = names + ["on 2 cores", "runs"] + (["vlk2 lead"] if with_lead else [])
        lines.append("| case | contestant | " + " | ".join(head) + " |")
        lines.append("|---|---|" + "---|" * len(head))
        for case, contestants in cases:
            base = contestants.get(BASELINE, {})
            for who, runs in contestants.items():
                cells = []
                for name in names:
                    vals = [v for v in (dict((m[0], m[1]) for m in res["metrics"]).get(name)
                                        for res, _ in runs.values()) if v is not None]
                    if not vals:
                        cells.append("")
                        continue
                    cell = fmt(statistics.median(vals))
                    if len(vals) > 1:
                        cell += " [%s–%s]" % (fmt(min(vals)), fmt(max(vals)))
                    cells.append(cell)
                shares = [p["placement"]["spread"] / p["placement"]["samples"]
                          for _, p in runs.values() if p["placement"]["samples"]]
                cells.append("%.0f%%" % (100 * statistics.median(shares)) if shares else "")
                dirty = sum(1 for _, p in runs.values() if p["others"] > args.max_others)
                cells.append("%d (%d)" % (len(runs), dirty))
                if with_lead:
                    ratios = []
                    if who != BASELINE:
                        for rep, (res, _) in runs.items():
                            if rep not in base:
                                continue
                            b, v = base[rep][0]["metrics"][0], res["metrics"][0]
                            r = lead(b[1], v[1], v[2] == "lower")
                            if r is not None:
                                ratios.append(r)
                    cells.append("" if who == BASELINE else lead_cell(ratios, rng))
                    leads[(scenario, case, load, who)] = cells[-1]
                mark = "**" if who == BASELINE else ""
                lines.append("| %s | %s%s%s | %s |" % (case, mark, who, mark, " | ".join(cells)))
        lines.append("")
        loads = [k[1] for k in order if k[0] == scenario]
        if len(loads) > 1 and load == loads[-1]:
            lines += side_by_side(scenario, loads, by_scenario, leads)
    return "\n".join(lines)


def side_by_side(scenario, loads, by_scenario, leads):
    """The regimes of one scenario next to each other: each case's first metric and the vlk2 lead."""
    runs_of = {}
    for load in loads:
        for case, contestants in by_scenario[(scenario, load)]:
            for who, runs in contestants.items():
                runs_of[(case, who, load)] = runs
    rows = OrderedDict(((case, who), None) for case, who, _ in runs_of)
    lines = ["### %s (`%s`): %s side by side\n" % (SCENARIOS.get(scenario, scenario), scenario,
                                                   " and ".join(regime(load) for load in loads)),
             "Each case's first metric, the median of its runs in each regime, and the ratio of the medians "
             "(below 1: the loaded runs measured less; for a time, faster under load, for a rate, slower); "
             "*vlk2 lead* as in the tables above, per regime.\n"]
    short = ["idle" if load == 0 else "loaded" if len(loads) == 2 else "loaded (%d)" % load for load in loads]
    head = ["metric"] + short + ["%s ÷ %s" % (name, short[0]) for name in short[1:]]
    head += ["vlk2 lead, %s" % name for name in short]
    lines.append("| case | contestant | " + " | ".join(head) + " |")
    lines.append("|---|---|" + "---|" * len(head))
    for case, who in rows:
        metric, medians = "", []
        for load in loads:
            vals = []
            for res, _ in runs_of.get((case, who, load), {}).values():
                metric = metric or res["metrics"][0][0]
                vals += [m[1] for m in res["metrics"][:1] if m[0] == metric]
            medians.append(statistics.median(vals) if vals else None)
        cells = [metric] + [fmt(m) if m is not None else "" for m in medians]
        cells += ["%.2f" % (m / medians[0]) if m is not None and medians[0] else "" for m in medians[1:]]
        cells += [leads.get((scenario, case, load, who), "") for load in loads]
        mark = "**" if who == BASELINE else ""
        lines.append("| %s | %s%s%s | %s |" % (case, mark, who, mark, " | ".join(cells)))
    lines.append("")
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build-bench", help="build directory holding bench/compare_*")
    ap.add_argument("--runs", type=int, default=10, help="repetitions per contestant (default 10)")
    ap.add_argument("--smoke", action="store_true", help="one tiny run of every case, to keep them building")
    ap.add_argument("--only", action="append", default=[], help="scenario id to run (repeatable)")
    ap.add_argument("--contestant", action="append", default=[],
                    help="run only these contestants (repeatable; vlk2 is always run)")
    ap.add_argument("--pin", choices=["same", "cross"],
                    help="same: every thread on CPU 0; cross: threads alternate between CPUs 0 and 1")
    ap.add_argument("--max-others", type=float, default=0.05,
                    help="share of the machine other processes may use during a run before it counts as "
                         "contaminated (default 0.05)")
    ap.add_argument("--retries", type=int, default=0,
                    help="run a contaminated run again up to this many times (default 0: keep it, marked)")
    ap.add_argument("--drop-contaminated", action="store_true",
                    help="leave contaminated runs out of the tables (they are still counted in the header)")
    ap.add_argument("--load", type=int, metavar="N",
                    help="run every measured run beside N spinners (bench_spin: one process each that keeps a CPU "
                         "busy at the programs' own priority), started before a case's contestants run and stopped "
                         "after; their CPU time is not contamination (default: none, an idle machine)")
    ap.add_argument("--regimes", metavar="LIST",
                    help="comma-separated regimes to measure in one go: idle, loaded (loaded: --load N spinners, "
                         "default one per core); each case runs in each regime, interleaved at random, and every "
                         "scenario gets one table per regime plus one setting them side by side")
    ap.add_argument("--seed", type=int, help="seed of the run order and the bootstrap (default: from the clock)")
    ap.add_argument("--log", help="write every run (result, CPU, others' share, placement) as JSON lines here")
    ap.add_argument("--out", help="also write the tables to this file")
    ap.add_argument("--from-log", metavar="FILE",
                    help="run nothing: make the tables from the runs a --log file recorded (for instance of a run "
                         "stopped early); --build still gives the order of the cases")
    args = ap.parse_args()
    # A driver stopped with SIGTERM unwinds as with Ctrl-C: the run and the spinners are killed and reaped.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    if args.load is not None and args.load < 0:
        ap.error("--load takes a number of spinners, 0 or more")
    asked = None  # the loads asked for; None: idle, or with --from-log whatever the log holds
    if args.regimes is not None:
        names = [r.strip() for r in args.regimes.split(",") if r.strip()]
        if not names or any(r not in ("idle", "loaded") for r in names):
            ap.error("--regimes takes idle, loaded or both, comma-separated")
        if "loaded" in names and args.load == 0:
            ap.error("--regimes loaded needs --load above 0 (or no --load: one spinner per core)")
        asked = sorted(set(0 if r == "idle" else (args.load or NCPU) for r in names))
    elif args.load is not None:
        asked = [args.load]
    runs = 1 if args.smoke else args.runs
    timeout = 60 if args.smoke else 300
    seed = args.seed if args.seed is not None else int(time.time())
    rng = random.Random(seed)

    results = OrderedDict()
    cases = OrderedDict()
    progs = {}
    for prog in find_programs(args.build):
        for scenario, case, contestant in list_cases(prog):
            if args.only and scenario not in args.only:
                continue
            if args.contestant and contestant != BASELINE and contestant not in args.contestant:
                continue
            cases.setdefault((scenario, case), []).append(contestant)
            progs[(scenario, case, contestant)] = prog
    if not cases:
        sys.exit("no compare_* programs with cases under %s/bench" % args.build)
    records = []
    if args.from_log:
        with open(args.from_log) as f:
            for line in f:
                try:
                    records.append(json.loads(line))
                except ValueError:
                    continue  # the last line of a run stopped while writing it
    # A log written before regimes existed holds idle runs only.
    loads = asked or sorted(set(r.get("load", 0) for r in records)) or [0]
    for (scenario, case), contestants in cases.items():
        for load in loads:
            results[(scenario, case, load)] = OrderedDict((who, {}) for who in contestants)
    spinner = os.path.join(args.build, "bench", "bench_spin")
    if max(loads) > 0 and not args.from_log and not os.access(spinner, os.X_OK):
        sys.exit("--load needs %s: cmake --build %s --target bench_spin" % (spinner, args.build))

    log = open(args.log, "w", buffering=1) if args.log else None
    started = time.monotonic()
    failures = []
    total = contaminated = 0
    others_all = []
    if args.from_log:
        runs, seed, elapsed = 0, None, 0.0
        for rec in records:
            key = (rec["scenario"], rec["case"], rec.get("load", 0))
            if key not in results or rec["contestant"] not in results[key]:
                continue
            run, error = rec["run"], rec["error"]
            dirty = run["others"] > args.max_others
            total += 1
            contaminated += dirty
            others_all.append(run["others"])
            elapsed += run["wall"]
            runs = max(runs, rec["rep"] + 1)
            if error is not None:
                failures.append("%s / %s / %s / %s: %s" % (rec["scenario"], rec["case"], regime(key[2]),
                                                           rec["contestant"], error))
            elif not (dirty and args.drop_contaminated):
                results[key][rec["contestant"]][rec["rep"]] = (rec["result"], run)
    for rep in range(0 if args.from_log else runs):
        keys = list(results)
        rng.shuffle(keys)
        for key in keys:
            scenario, case, load = key
            who = list(results[key])
            rng.shuffle(who)
            # The same spinners for every contestant of the case, running before the first starts.
            with Load(spinner, load) as spinners:
                for contestant in who:
                    for attempt in range(args.retries + 1):
                        result, run, error = run_one(progs[(scenario, case, contestant)], scenario, case,
                                                     contestant, args, int(timeout * (1 + load / NCPU)), spinners)
                        dirty = run["others"] > args.max_others
                        if error is not None or not dirty or attempt == args.retries:
                            break
                    total += 1
                    contaminated += dirty
                    others_all.append(run["others"])
                    status = "ok" if error is None else "FAILED: " + error
                    print("[%6.1fs] run %d/%d  %-8s %-28s %-14s%s %s  (others %.0f%%%s)" % (
                        time.monotonic() - started, rep + 1, runs, scenario, case, contestant,
                        " %-19s" % regime(load) if loads != [0] else "", status,
                        100 * run["others"], ", contaminated" if dirty else ""), file=sys.stderr, flush=True)
                    if log:
                        log.write(json.dumps({"rep": rep, "scenario": scenario, "case": case, "load": load,
                                              "regime": regime(load), "contestant": contestant, "error": error,
                                              "result": result, "run": run}) + "\n")
                    if error is not None:
                        failures.append("%s / %s / %s / %s: %s" % (scenario, case, regime(load), contestant, error))
                    elif not (dirty and args.drop_contaminated):
                        results[key][contestant][rep] = (result, run)
    if log:
        log.close()

    done = OrderedDict()
    for key, contestants in results.items():
        kept = OrderedDict((who, rs) for who, rs in contestants.items() if rs)
        if kept:
            done[key] = kept
    others_med = statistics.median(others_all) if others_all else 0
    verdict = ("none: the machine was quiet" if contaminated == 0 else
               "%d of %d runs (%.0f%%) had other processes using more than %.0f%% of the machine "
               "(median share of the others over all runs %.0f%%)%s" % (
                   contaminated, total, 100.0 * contaminated / max(1, total), 100 * args.max_others,
                   100 * others_med,
                   "; they are left out of the tables" if args.drop_contaminated else
                   "; they are in the tables, counted in brackets in *runs*: THESE TABLES ARE NOT CLEAN"))
    if not args.from_log:
        elapsed = time.monotonic() - started
    if loads == [0]:
        load_text = "none, an idle machine"
    else:
        load_text = ("%s. A loaded run runs beside its spinners (`bench_spin`: one process each, spinning in user "
                     "space at the measured programs' priority), started before the contestants of a case and "
                     "stopped after them: every contestant of a case sees the same load%s. The spinners' CPU time "
                     "is not counted as contamination; every other process's still is" % (
                         " and ".join(regime(load) for load in loads),
                         "; the regimes are interleaved at random like the cases" if len(loads) > 1 else ""))
    header = ("Machine: %s.\n\nRuns: %s per contestant%s%s, random order (%s), threads %s. Total time %.0f s%s.\n\n"
              "Load: %s.\n\nContamination: %s.\n\n" % (
                  machine(), ("up to %d (the run was stopped early or cells lost runs; see *runs*)" % runs)
                  if args.from_log else "%d" % runs, " and regime" if len(loads) > 1 else "",
                  " (smoke sizes)" if args.smoke else "",
                  "seed %d" % seed if seed is not None else "seed in the original run's output",
                  {"same": "pinned all to CPU 0", "cross": "pinned alternately to CPUs 0 and 1"}.get(
                      args.pin, "placed by the scheduler"),
                  elapsed, " in the runs themselves (from the log)" if args.from_log else "", load_text, verdict))
    text = header + tables(done, args, rng if seed is not None else random.Random(0))
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    if failures:
        print("FAILED runs:\n  " + "\n  ".join(failures), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
