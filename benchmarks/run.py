#!/usr/bin/env python3
"""pellux against pexpect, a hand-written stdlib driver and a C floor.

One command runs every workload on this machine, interleaving the
implementations and pairing their runs so that the ratios survive a noisy
machine:

    python benchmarks/run.py            # everything, a few minutes
    python benchmarks/run.py --quick    # smoke run, about 30 s

pellux must be installed (`pip install .`); `--pellux-dir DIR` puts DIR first
on the module path instead, to measure another build. The script builds what
it needs with `cc`/`g++` (the floor driver, the prompt program,
bench_sanitize.cpp), pip-installs pexpect and matplotlib when they are
missing, prints a table, and writes benchmarks/out/results.json and
benchmarks/out/ratios.png (`--out DIR` elsewhere). `--only latency,bulk,...`
runs some workloads. The machine's load average is recorded with the
figures: on a shared machine, compare ratios from one run, not absolute
times from different runs.

Workloads (every figure is a median of the samples shown beside it):
  latency  one short command and its prompt, on a C prompt program, gdb,
           python3 -i, sh and bash: seconds per turn
  bulk     1, 8 and 32 MiB of coloured UTF-8 text ending in a prompt, read
           as clean text in one call
  spawn    start to first prompt, with RLIMIT_NOFILE at 1024 and raised to
           its hard limit (and to fs.nr_open where the hard limit may be
           raised), each in a child interpreter; close reported apart
  clean    get_history() over 4 MiB of real terminal output, and the C++
           sanitizer alone (bench_sanitize.cpp)
  idle     CPU spent by a 3 s wait on a silent child, and the speed another
           Python thread keeps meanwhile
  scale    256 sessions open in one process (16 threads x 16 sessions):
           turn latency and resident memory per session

Ratios are "cost relative to the floor" (time / floor time; the floor is
1.0, lower is better), computed per round from runs made back to back and
then taken as the median over rounds.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import queue
import resource
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
BIN = os.path.join(OUT, "bin")
SRC = os.path.join(os.path.dirname(HERE), "src")
sys.path.insert(0, HERE)

MARKER = "PLX> "
HISTORY_CAP = 4 * 1024 * 1024  # pellux keeps this many raw bytes of history

# ---------------------------------------------------------------- setup ----


def ensure_packages() -> None:
    missing = []
    for mod, pkg in (("pexpect", "pexpect"), ("matplotlib", "matplotlib")):
        try:
            importlib.import_module(mod)
        except ImportError:
            missing.append(pkg)
    if missing:
        print(f"installing {' '.join(missing)} ...", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)
        importlib.invalidate_caches()


def _stale(target: str, *sources: str) -> bool:
    return not os.path.exists(target) or any(
        os.path.getmtime(s) > os.path.getmtime(target) for s in sources)


def build() -> dict[str, str]:
    os.makedirs(BIN, exist_ok=True)
    p = {name: os.path.join(BIN, name) for name in
         ("prompt", "prompt_g", "floor_driver", "bench_sanitize")}
    steps = [
        (p["prompt"], ["cc", "-O2", "-o", p["prompt"], os.path.join(HERE, "prompt.c")],
         [os.path.join(HERE, "prompt.c")]),
        (p["prompt_g"], ["cc", "-O0", "-g", "-o", p["prompt_g"], os.path.join(HERE, "prompt.c")],
         [os.path.join(HERE, "prompt.c")]),
        (p["floor_driver"], ["cc", "-O2", "-o", p["floor_driver"],
                             os.path.join(HERE, "floor_driver.c")],
         [os.path.join(HERE, "floor_driver.c")]),
    ]
    san_src = [os.path.join(HERE, "bench_sanitize.cpp"), os.path.join(SRC, "sanitize", "sanitize.cpp")]
    if all(os.path.exists(s) for s in san_src):
        steps.append((p["bench_sanitize"], ["g++", "-std=c++23", "-O2", "-I", SRC, *san_src, "-o",
                                            p["bench_sanitize"]], san_src))
    for target, cmd, sources in steps:
        if _stale(target, *sources):
            subprocess.run(cmd, check=True)
    # The command text is the program alone, so programs that need arguments
    # get a wrapper script.
    wrappers = {
        "gdb.sh": "exec /usr/bin/gdb -q -nx",
        "python.sh": f"exec {sys.executable} -i -q",
        "sh.sh": "PS1='SH> ' exec /bin/sh -i",
        "bash.sh": "PS1='BASH> ' exec /bin/bash --norc --noprofile -i",
    }
    for name, body in wrappers.items():
        path = os.path.join(BIN, name)
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\n{body}\n")
        os.chmod(path, 0o755)
        p[name] = path
    return p


# ---------------------------------------------------------------- stats ----


def summary(xs: list[float]) -> dict:
    return {"median": statistics.median(xs), "min": min(xs), "max": max(xs), "n": len(xs)}


def paired(rounds_impl: list[list[float]], rounds_floor: list[list[float]]) -> dict:
    """Median over rounds of median(impl round) / median(floor round)."""
    rs = [statistics.median(a) / statistics.median(b) for a, b in zip(rounds_impl, rounds_floor)]
    return {"ratio": statistics.median(rs), "ratio_min": min(rs), "ratio_max": max(rs)}


def rotate(xs: list, k: int) -> list:
    k %= len(xs)
    return xs[k:] + xs[:k]


class Report:
    def __init__(self):
        self.rows: list[dict] = []
        self.targets: list[dict] = []
        self.notes: list[str] = []

    def row(self, workload: str, case: str, impl: str, unit: str, stats: dict, **extra) -> dict:
        r = {"workload": workload, "case": case, "impl": impl, "unit": unit, **stats, **extra}
        self.rows.append(r)
        return r

    def target(self, what: str, value: float, goal: str, met: bool, fmt: str = "{:.3f}") -> None:
        self.targets.append({"target": what, "value": value, "goal": goal, "met": bool(met),
                             "shown": fmt.format(value)})


def make_drivers(program: str, marker: str, which=("pellux", "pexpect", "stdlib", "floor")):
    from drivers import FloorDriver, PelluxDriver, PexpectDriver, StdlibDriver

    made = []
    for name in which:
        if name == "pellux":
            made.append(PelluxDriver(program, marker))
        elif name == "pexpect":
            made.append(PexpectDriver(program, marker))
        elif name == "stdlib":
            made.append(StdlibDriver(program, marker))
        else:
            made.append(FloorDriver(program, marker, os.path.join(BIN, "floor_driver")))
    return made


def finish_drivers(drivers, polite: bool) -> None:
    for d in drivers:
        try:
            d.quit() if polite else d.close()
        except Exception:
            pass
        if d.name == "floor":
            d.shutdown()


# ------------------------------------------------------------ workloads ----


LATENCY_PROGRAMS = [  # case, wrapper key, marker, input, expected in the answer
    ("prompt", "prompt", MARKER, "echo hello", "hello"),
    ("gdb", "gdb.sh", "(gdb) ", "print 1+1", "= 2"),
    ("python", "python.sh", ">>> ", "1+1", "2"),
    ("sh", "sh.sh", "SH> ", "echo hi", "hi"),
    ("bash", "bash.sh", "BASH> ", "echo hi", "hi"),
]


def latency_worker(case: str, epoch: int, rounds: int, k: int, warm: int) -> dict:
    """One epoch of one program, in a child interpreter of its own."""
    _, key, marker, text, expect = next(p for p in LATENCY_PROGRAMS if p[0] == case)
    program = os.path.join(BIN, key)
    drivers = rotate(make_drivers(program, marker), epoch)
    samples: dict[str, list] = {d.name: [] for d in drivers}
    try:
        for d in drivers:
            d.spawn()
            d.turns(text, warm)
        for r in range(rounds):
            for d in rotate(drivers, r):
                times, clean = d.turns(text, k)
                if expect not in clean or marker not in clean:
                    raise RuntimeError(f"{d.name} on {case}: unexpected answer {clean!r}")
                samples[d.name].append(times)
    finally:
        finish_drivers(drivers, polite=(case == "prompt"))
    return samples


def w_latency(rep: Report, paths: dict, quick: bool, pellux_dir: str | None) -> None:
    # Each epoch runs in a fresh interpreter with fresh sessions: where the
    # scheduler puts a process and its threads sticks for a while and moves
    # latency by tens of percent (all Python drivers share the process, the
    # floor has its own), so one placement would decide the ratios.
    epochs, rounds, k, warm = (1, 4, 5, 5) if quick else (6, 10, 5, 10)
    for case, *_ in LATENCY_PROGRAMS:
        samples: dict[str, list] = {}
        for e in range(epochs):
            res = _worker(["--worker", "latency", "--case", case, "--epoch", str(e), "--rounds",
                           str(rounds), "--k", str(k), "--warm", str(warm)], pellux_dir)
            for name, xs in res.items():
                samples.setdefault(name, []).extend(xs)
        floor = samples["floor"]
        for name in ("pellux", "pexpect", "stdlib", "floor"):
            flat = [x * 1e6 for xs in samples[name] for x in xs]
            rep.row("latency", case, name, "us/turn", summary(flat), **paired(samples[name], floor))
        pel = paired(samples["pellux"], floor)["ratio"]
        pex = paired(samples["pellux"], samples["pexpect"])["ratio"]
        rep.target(f"latency {case}: pellux / floor <= 1.10", pel, "<= 1.10", pel <= 1.10)
        rep.target(f"latency {case}: pellux / pexpect < 1", pex, "< 1.00", pex < 1.0)
        print(f"  latency {case}: done", flush=True)


def _worker(args: list[str], pellux_dir: str | None) -> dict:
    env = dict(os.environ)
    extra = []
    if pellux_dir:
        env["PYTHONPATH"] = pellux_dir + os.pathsep + env.get("PYTHONPATH", "")
        extra = ["--pellux-dir", pellux_dir]
    out = subprocess.run([sys.executable, __file__, *args, *extra], check=True,
                         capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def w_bulk(rep: Report, paths: dict, quick: bool) -> None:
    plan = [(1, 2), (8, 1), (32, 1)] if quick else [(1, 9), (8, 7), (32, 4)]
    drivers = make_drivers(paths["prompt"], MARKER)
    dump = os.path.join(OUT, "floor_bulk.txt")
    try:
        for d in drivers:
            d.spawn()
        for mib, rounds in plan:
            text = f"bulk {mib}"
            samples = {d.name: [] for d in drivers}
            for r in range(rounds + 1):  # round 0 warms up and checks the text
                ref = None
                got = {}
                for d in rotate(drivers, r):
                    if d.name == "floor":
                        t, clean = d.bulk(text, dump if r == 0 else None)
                        ref = clean
                    else:
                        t, clean = d.bulk(text)
                        if r == 0:
                            got[d.name] = clean
                    if r > 0:
                        samples[d.name].append([t])
                if r == 0:
                    for name, clean in got.items():
                        if clean != ref:
                            raise RuntimeError(f"bulk {mib} MiB: {name} returned other text "
                                               f"({len(clean)} vs {len(ref)} bytes)")
            floor = samples["floor"]
            for d in drivers:
                ts = [x[0] for x in samples[d.name]]
                mbs = [mib * 1048576 / t / 1e6 for t in ts]
                rep.row("bulk", f"{mib} MiB", d.name, "ms", summary([t * 1e3 for t in ts]),
                        mb_per_s=statistics.median(mbs), **paired(samples[d.name], floor))
            pel = paired(samples["pellux"], floor)["ratio"]
            pex = paired(samples["pexpect"], samples["pellux"])["ratio"]
            rep.target(f"bulk {mib} MiB: pellux throughput / floor >= 1.0", 1 / pel, ">= 1.00",
                       1 / pel >= 1.0)
            rep.target(f"bulk {mib} MiB: pellux throughput / pexpect >= 1.4", pex, ">= 1.40",
                       pex >= 1.4)
            print(f"  bulk {mib} MiB: done", flush=True)
    finally:
        finish_drivers(drivers, polite=True)


def spawn_worker(nofile: int, iters: int, prompt: str) -> dict:
    """Runs in a child interpreter with RLIMIT_NOFILE = nofile."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, max(hard, nofile)))
    except (ValueError, OSError) as e:
        return {"error": f"cannot set RLIMIT_NOFILE to {nofile}: {e}"}
    drivers = make_drivers(prompt, MARKER)
    floor = next(d for d in drivers if d.name == "floor")
    res = {d.name: {"spawn": [], "close": []} for d in drivers}
    closes = 3  # close pauses 100 ms by design: measure it a few times only
    for it in range(iters + 1):  # the first iteration warms up
        for d in rotate(drivers, it):
            s = d.spawn()
            if 1 <= it <= closes:
                res[d.name]["close"].append(d.close())
            else:
                d.quit()  # the child exits by itself; nothing to wait out
            if it:
                res[d.name]["spawn"].append(s)
    floor.shutdown()
    return {"nofile": list(resource.getrlimit(resource.RLIMIT_NOFILE)), "samples": res}


def w_spawn(rep: Report, paths: dict, quick: bool, pellux_dir: str | None) -> None:
    iters = 8 if quick else 40
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    levels = [("1024", 1024), ("hard", hard)]
    try:
        nr_open = int(open("/proc/sys/fs/nr_open").read())
    except OSError:
        nr_open = hard
    if nr_open > hard and not quick:
        levels.append(("nr_open", nr_open))  # needs CAP_SYS_RESOURCE; skipped without it
    per_level = {}
    for label, n in levels:
        res = _worker(["--worker", "spawn", "--nofile", str(n), "--iters", str(iters)], pellux_dir)
        if "error" in res:
            rep.notes.append(f"spawn: level {label} skipped: {res['error']}")
            continue
        per_level[label] = res
        floor = res["samples"]["floor"]
        for name, s in res["samples"].items():
            # Spawn and floor spawn of the same iteration ran back to back.
            ratios = [a / b for a, b in zip(s["spawn"], floor["spawn"])]
            rep.row("spawn", f"first prompt, nofile={res['nofile'][0]}", name, "ms",
                    summary([x * 1e3 for x in s["spawn"]]), ratio=statistics.median(ratios),
                    ratio_min=min(ratios), ratio_max=max(ratios))
        print(f"  spawn nofile={n}: done", flush=True)
    for name in ("pellux", "pexpect", "stdlib", "floor"):
        closes = [x * 1e3 for lv in per_level.values() for x in lv["samples"][name]["close"]]
        rep.row("spawn", "close", name, "ms", summary(closes))
    for label, res in per_level.items():
        pel = res["samples"]["pellux"]["spawn"]
        fl = res["samples"]["floor"]["spawn"]
        r = statistics.median([a / b for a, b in zip(pel, fl)])
        rep.target(f"spawn nofile={res['nofile'][0]}: pellux / floor <= 1.2", r, "<= 1.20", r <= 1.2)
    low = statistics.median(per_level["1024"]["samples"]["pellux"]["spawn"])
    for label, res in per_level.items():
        if label == "1024":
            continue
        r = statistics.median(res["samples"]["pellux"]["spawn"]) / low
        rep.target(f"spawn flat: pellux nofile={res['nofile'][0]} / nofile=1024 <= 1.2", r,
                   "<= 1.20", r <= 1.2)


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def w_clean(rep: Report, paths: dict, quick: bool) -> None:
    import corpora
    from drivers import CLEAN_RE, PelluxDriver

    reps = 5 if quick else 15
    files = corpora.build(OUT, BIN, HISTORY_CAP + 256 * 1024)
    floor = make_drivers(paths["prompt"], MARKER, ("floor",))[0]
    try:
        for name, path in files.items():
            data = open(path, "rb").read()
            if MARKER.encode() in data:
                raise RuntimeError(f"corpus {name} holds the prompt marker")
            # What the terminal hands the session: its first prompt, the file
            # with every LF sent as CR LF, the next prompt. The history keeps
            # the last 4 MiB of it.
            raw = (MARKER.encode() + data.replace(b"\n", b"\r\n") + MARKER.encode())[-HISTORY_CAP:]
            raw_path = os.path.join(OUT, "corpora", f"{name}.history")
            with open(raw_path, "wb") as f:
                f.write(raw)
            d = PelluxDriver(paths["prompt"], MARKER)
            d.spawn()
            d.session.send_and_read_until_ready(f"cat {path}", timeout_ms=60000,
                                                max_output_bytes=1 << 30, settle_ms=0)
            ts = []
            text = ""
            for _ in range(reps):
                t0 = time.perf_counter()
                text = d.session.get_history()
                ts.append(time.perf_counter() - t0)
            d.quit()
            # The same bytes through the C floor's filter and the stdlib regex.
            ft, flen = floor.filter(raw_path, reps)
            rts = []
            for _ in range(max(2, reps // 5)):
                t0 = time.perf_counter()
                CLEAN_RE.sub(b"", raw).decode("utf-8", "replace")
                rts.append(time.perf_counter() - t0)
            if abs(len(text.encode()) - flen) > 64:
                raise RuntimeError(f"corpus {name}: get_history gave {len(text.encode())} bytes, "
                                   f"the floor filter {flen}")
            gb = [len(raw) / t / 1e9 for t in ts]
            med = statistics.median(ts)
            rep.row("clean", f"get_history {name}", "pellux", "GB/s", summary(gb),
                    ms=med * 1e3, ratio=med / ft)
            rep.row("clean", f"get_history {name}", "floor", "GB/s", summary([len(raw) / ft / 1e9]),
                    ms=ft * 1e3, ratio=1.0)
            rep.row("clean", f"get_history {name}", "stdlib", "GB/s",
                    summary([len(raw) / t / 1e9 for t in rts]), ms=statistics.median(rts) * 1e3,
                    ratio=statistics.median(rts) / ft)
            goal = 0.6 if name == "escapes" else 1.5
            if name in ("ls", "gdb", "escapes"):
                rep.target(f"get_history {name}: >= {goal} GB/s", statistics.median(gb),
                           f">= {goal}", statistics.median(gb) >= goal, "{:.2f} GB/s")
        print("  clean get_history: done", flush=True)
    finally:
        floor.shutdown()

    exe = paths.get("bench_sanitize")
    if exe and os.path.exists(exe):
        out = subprocess.run([exe, "3" if quick else "10"], check=True, capture_output=True,
                             text=True).stdout
        for line in out.splitlines()[1:]:
            cols = line.rsplit(None, 4)
            if len(cols) != 5:
                continue
            try:
                mib, share, ms, gbs = (float(c) for c in cols[1:])
            except ValueError:
                continue
            label = cols[0].strip()
            rep.row("clean", f"sanitizer {label}", "pellux", "GB/s",
                    {"median": gbs, "min": gbs, "max": gbs, "n": 1}, out_share=share)
            if share >= 90.0:  # text-heavy: most of the input is text that stays
                rep.target(f"sanitizer alone, {label}: >= 2 GB/s", gbs, ">= 2", gbs >= 2.0,
                           "{:.2f} GB/s")
        print("  clean sanitizer: done", flush=True)
    else:
        rep.notes.append("bench_sanitize not built: sanitizer-alone figures missing")


def _spin_for(seconds: float, out: list) -> None:
    n = 0
    pc = time.perf_counter
    end = pc() + seconds
    while True:
        for _ in range(1000):
            n += 1
        if pc() >= end:
            break
    out.append(n / seconds)


def w_idle(rep: Report, paths: dict, quick: bool) -> None:
    wait = 1.0 if quick else 3.0
    cpu_reps, pairs = (1, 1) if quick else (3, 2)
    drivers = make_drivers(paths["prompt"], MARKER)
    try:
        for d in drivers:
            d.spawn()
        cpu = {d.name: [] for d in drivers}
        for r in range(cpu_reps):
            for d in rotate(drivers, r):
                cpu[d.name].append(d.idle(wait))
        # The same wait cut into 50 ms slices, as pellux's marker read waits:
        # what that many timed wake-ups cost on this machine at the least.
        floor = next(d for d in drivers if d.name == "floor")
        sliced = [floor.idle(wait, 50) for _ in range(cpu_reps)]
        for d in drivers:
            shares = [c / wait * 100 for c in cpu[d.name]]
            rep.row("idle", f"{wait:g} s wait, CPU % of a core", d.name, "%", summary(shares))
        rep.row("idle", f"{wait:g} s wait, CPU % of a core", "floor50", "%",
                summary([c / wait * 100 for c in sliced]))
        rep.notes.append("idle: floor50 is the C floor waiting in 50 ms slices, the slice pellux's "
                         "marker read must keep; its CPU is what the wake-ups alone cost here")
        share = statistics.median(cpu["pellux"]) / wait * 100
        rep.target(f"idle: pellux {wait:g} s wait <= 0.05% of a core", share, "<= 0.05", share <= 0.05,
                   "{:.4f} %")
        # Another Python thread's speed, alone and while the owner waits.
        for d in drivers:
            if d.name == "floor":
                continue
            ratios = []
            for _ in range(pairs):
                solo = []
                t = threading.Thread(target=_spin_for, args=(wait, solo))
                t.start()
                t.join()
                during = []
                t = threading.Thread(target=_spin_for, args=(wait, during))
                t.start()
                d.idle(wait)
                t.join()
                ratios.append(during[0] / solo[0])
            rep.row("idle", "other thread speed kept", d.name, "x solo", summary(ratios))
            if d.name == "pellux":
                m = statistics.median(ratios)
                rep.target("idle: other thread keeps >= 95% of its solo speed", m * 100, ">= 95",
                           m >= 0.95, "{:.1f} %")
        print("  idle: done", flush=True)
    finally:
        finish_drivers(drivers, polite=True)


class _Owner(threading.Thread):
    """A thread that owns some pellux sessions and runs commands on them."""

    def __init__(self, prompt: str, count: int):
        super().__init__(daemon=True)
        self.prompt, self.count = prompt, count
        self.cmds: queue.Queue = queue.Queue()
        self.results: queue.Queue = queue.Queue()
        self.sessions = []

    def run(self):
        import pellux

        while True:
            cmd, arg = self.cmds.get()
            try:
                if cmd == "spawn":
                    for _ in range(self.count):
                        s = pellux.Pellux(self.prompt, True, [MARKER])
                        s.read_until_ready(timeout_ms=20000, settle_ms=0)
                        self.sessions.append(s)
                    self.results.put(None)
                elif cmd == "turns":  # `arg` turns on each session, one after another
                    times = []
                    pc = time.perf_counter
                    for _ in range(arg):
                        for s in self.sessions:
                            t0 = pc()
                            text = s.send_and_read_until_ready("echo hello", timeout_ms=20000,
                                                               settle_ms=0)
                            times.append(pc() - t0)
                            if not text.startswith("hello"):
                                raise RuntimeError(f"unexpected answer {text!r}")
                    self.results.put(times)
                elif cmd == "quit":
                    for s in self.sessions:
                        s.send_and_read_until_ready("quit", timeout_ms=5000, settle_ms=0)
                        s.close()
                    self.sessions.clear()
                    self.results.put(None)
                    return
            except BaseException as e:  # reported to the main thread
                self.results.put(e)
                return

    def call(self, cmd, arg=None):
        self.cmds.put((cmd, arg))
        r = self.results.get()
        if isinstance(r, BaseException):
            raise r
        return r


def w_scale(rep: Report, paths: dict, quick: bool) -> None:
    from drivers import PelluxDriver

    nthreads, per = 16, 16
    rounds = 2 if quick else 5
    single_k = 64 if quick else 256

    def single_session() -> list[float]:
        d = PelluxDriver(paths["prompt"], MARKER)
        d.spawn()
        d.turns("echo hello", 20)
        times = []
        for _ in range(rounds):
            times += d.turns("echo hello", single_k // rounds)[0]
        d.quit()
        return times

    before = single_session()
    owners = [_Owner(paths["prompt"], per) for _ in range(nthreads)]
    for o in owners:
        o.start()
    time.sleep(0.05)
    rss0 = _rss()
    for o in owners:  # one at a time: each session is made by its owner
        o.call("spawn")
    rss_idle = _rss()
    for o in owners:
        o.call("turns", 1)  # warm-up, one turn each
    multi = []
    for _ in range(rounds):
        for o in owners:  # one thread at a time: one turn in flight
            multi += o.call("turns", 1)
    rss_used = _rss()
    # All threads at once (throughput, not a target).
    t0 = time.perf_counter()
    for o in owners:
        o.cmds.put(("turns", 2))
    conc = []
    for o in owners:
        r = o.results.get()
        if isinstance(r, BaseException):
            raise r
        conc += r
    wall = time.perf_counter() - t0
    for o in owners:
        o.call("quit")
    after = single_session()
    single = before + after
    n = nthreads * per
    # The same pattern through the hand-written stdlib driver, one thread:
    # what turning over many sessions costs any driver (cold caches, more
    # processes to schedule), for comparison.
    from drivers import StdlibDriver

    ref_single = StdlibDriver(paths["prompt"], MARKER)
    ref_single.spawn()
    ref_one = []
    for _ in range(rounds):
        ref_one += ref_single.turns("echo hello", single_k // rounds)[0]
    ref_single.quit()
    ref = [StdlibDriver(paths["prompt"], MARKER) for _ in range(n)]
    for d in ref:
        d.spawn()
    ref_many = []
    for _ in range(rounds + 1):
        times = [d.turns("echo hello", 1)[0][0] for d in ref]
        ref_many += times if _ else []
    for d in ref:
        d.quit()
    rep.row("scale", "single session", "pellux", "us/turn", summary([x * 1e6 for x in single]))
    rep.row("scale", "single session", "stdlib", "us/turn", summary([x * 1e6 for x in ref_one]))
    rep.row("scale", f"{n} sessions open, one turn at a time", "pellux", "us/turn",
            summary([x * 1e6 for x in multi]),
            ratio=statistics.median(multi) / statistics.median(single))
    rep.row("scale", f"{n} sessions open, one turn at a time", "stdlib", "us/turn",
            summary([x * 1e6 for x in ref_many]),
            ratio=statistics.median(ref_many) / statistics.median(ref_one))
    rep.row("scale", f"{n} sessions, {nthreads} threads turning at once", "pellux", "us/turn",
            summary([x * 1e6 for x in conc]), turns_per_s=len(conc) / wall)
    per_idle = (rss_idle - rss0) / n / 1024
    per_used = (rss_used - rss0) / n / 1024
    rep.row("scale", "RSS per idle session (after spawn)", "pellux", "KiB",
            {"median": per_idle, "min": per_idle, "max": per_idle, "n": 1})
    rep.row("scale", "RSS per idle session (after a few turns)", "pellux", "KiB",
            {"median": per_used, "min": per_used, "max": per_used, "n": 1})
    rep.notes.append("scale: the 'x floor' column holds the ratio to the same driver's single "
                     "session; clean: to the C floor's filter over the same bytes")
    r = statistics.median(multi) / statistics.median(single)
    rep.target(f"scale: turn latency with {n} open / single <= 1.5", r, "<= 1.50", r <= 1.5)
    worst = max(per_idle, per_used)
    rep.target(f"scale: RSS per idle session <= 256 KiB", worst, "<= 256", worst <= 256,
               "{:.1f} KiB")
    print("  scale: done", flush=True)


# --------------------------------------------------------------- output ----


def fmt(x) -> str:
    if x is None:
        return "-"
    if isinstance(x, str):
        return x
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    if abs(x) >= 100:
        return f"{x:.1f}"
    if abs(x) >= 10:
        return f"{x:.2f}"
    return f"{x:.3f}"


def print_table(rep: Report) -> str:
    lines = []
    hdr = f"{'workload':<8} {'case':<44} {'impl':<8} {'median':>10} {'min':>10} {'max':>10} {'unit':<8} {'x floor':>8} {'range':>15}"
    lines.append(hdr)
    lines.append("-" * len(hdr))
    last = None
    per_case: dict = {}
    for r in rep.rows:
        per_case[(r["workload"], r["case"])] = per_case.get((r["workload"], r["case"]), 0) + 1
    for r in rep.rows:
        # A blank line between cases that several implementations ran.
        key = (r["workload"], r["case"]) if per_case[(r["workload"], r["case"])] > 1 else (r["workload"],)
        if last and key != last:
            lines.append("")
        last = key
        rng = (f"{r['ratio_min']:.2f}-{r['ratio_max']:.2f}" if "ratio_min" in r else "")
        extra = ""
        if "mb_per_s" in r:
            extra = f"  {r['mb_per_s']:.1f} MB/s"
        if "turns_per_s" in r:
            extra = f"  {r['turns_per_s']:.0f} turns/s"
        ratio = f"{r['ratio']:.3f}" if "ratio" in r else ""
        lines.append(f"{r['workload']:<8} {r['case'][:44]:<44} {r['impl']:<8} {fmt(r['median']):>10} "
                     f"{fmt(r['min']):>10} {fmt(r['max']):>10} {r['unit']:<8} "
                     f"{ratio:>8} {rng:>15}{extra}")
    lines.append("")
    lines.append("targets")
    for t in rep.targets:
        lines.append(f"  [{'met ' if t['met'] else 'MISS'}] {t['target']:<62} {t['shown']:>14}")
    met = sum(t["met"] for t in rep.targets)
    lines.append(f"  {met} of {len(rep.targets)} targets met")
    for n in rep.notes:
        lines.append(f"note: {n}")
    text = "\n".join(lines)
    print(text)
    return text


def draw_chart(rep: Report, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    groups = [("latency", "turn latency"), ("bulk", "bulk drain"), ("spawn", "spawn to first prompt"),
              ("clean", "get_history cleaning")]
    colours = {"pellux": "#1f77b4", "pexpect": "#d62728", "stdlib": "#2ca02c", "floor": "#7f7f7f"}
    fig, axes = plt.subplots(1, len(groups), figsize=(18, 6))
    for ax, (wl, title) in zip(axes, groups):
        rows = [r for r in rep.rows if r["workload"] == wl and "ratio" in r and r["impl"] != "floor"]
        cases = list(dict.fromkeys(r["case"] for r in rows))
        impls = [i for i in ("pellux", "pexpect", "stdlib") if any(r["impl"] == i for r in rows)]
        width = 0.8 / max(1, len(impls))
        for j, impl in enumerate(impls):
            xs, ys, lo, hi = [], [], [], []
            for i, c in enumerate(cases):
                r = next((r for r in rows if r["case"] == c and r["impl"] == impl), None)
                if r is None:
                    continue
                xs.append(i + (j - (len(impls) - 1) / 2) * width)
                ys.append(r["ratio"])
                lo.append(r["ratio"] - r.get("ratio_min", r["ratio"]))
                hi.append(r.get("ratio_max", r["ratio"]) - r["ratio"])
            label = "stdlib (Python regex)" if wl == "clean" and impl == "stdlib" else impl
            ax.bar(xs, ys, width, label=label, color=colours[impl], yerr=[lo, hi], capsize=2)
        ax.axhline(1.0, color="black", linewidth=1)
        ax.set_xticks(range(len(cases)))
        ax.set_xticklabels([c.replace("first prompt, ", "").replace("get_history ", "")
                            for c in cases], rotation=30, ha="right")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.set_title(title)
        ax.set_ylabel("time / C floor (lower is better)")
        if impls:
            ax.legend(fontsize=8)
    fig.suptitle("pellux, pexpect and a stdlib driver against a C floor (= 1.0)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ----------------------------------------------------------------- main ----


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smoke run, about 30 s")
    ap.add_argument("--only", default="", help="comma-separated: latency,bulk,spawn,clean,idle,scale")
    ap.add_argument("--pellux-dir", default=None, help="import pellux from this directory")
    ap.add_argument("--out", default=OUT, help="where results.json and ratios.png go")
    ap.add_argument("--worker", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--nofile", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--iters", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--case", default="", help=argparse.SUPPRESS)
    ap.add_argument("--epoch", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--rounds", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--k", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--warm", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.pellux_dir:
        sys.path.insert(0, os.path.abspath(args.pellux_dir))
        args.pellux_dir = os.path.abspath(args.pellux_dir)

    if args.worker == "spawn":
        print(json.dumps(spawn_worker(args.nofile, args.iters, os.path.join(BIN, "prompt"))))
        return 0
    if args.worker == "latency":
        print(json.dumps(latency_worker(args.case, args.epoch, args.rounds, args.k, args.warm)))
        return 0

    t_start = time.perf_counter()
    ensure_packages()
    paths = build()
    import pellux
    import pexpect

    load_before = os.getloadavg()
    uptime_before = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"pellux from {pellux.__file__}; pexpect {pexpect.__version__}; {uptime_before}", flush=True)
    rep = Report()
    wanted = [w for w in args.only.split(",") if w] or ["latency", "bulk", "spawn", "clean", "idle", "scale"]
    for w in wanted:
        print(f"{w} ...", flush=True)
        if w == "latency":
            w_latency(rep, paths, args.quick, args.pellux_dir)
        elif w == "bulk":
            w_bulk(rep, paths, args.quick)
        elif w == "spawn":
            w_spawn(rep, paths, args.quick, args.pellux_dir)
        elif w == "clean":
            w_clean(rep, paths, args.quick)
        elif w == "idle":
            w_idle(rep, paths, args.quick)
        elif w == "scale":
            w_scale(rep, paths, args.quick)
        else:
            raise SystemExit(f"unknown workload {w}")
    load_after = os.getloadavg()
    uptime_after = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    elapsed = time.perf_counter() - t_start
    print()
    table = print_table(rep)
    print(f"\nload: before {uptime_before}\n      after  {uptime_after}\nwall time {elapsed:.1f} s"
          f"{' (quick)' if args.quick else ''}")

    os.makedirs(args.out, exist_ok=True)
    results = {
        "quick": args.quick,
        "wall_seconds": elapsed,
        "machine": {"nproc": os.cpu_count(), "platform": platform.platform(),
                    "python": sys.version.split()[0], "load_before": load_before,
                    "load_after": load_after, "uptime_before": uptime_before,
                    "uptime_after": uptime_after},
        "pellux": pellux.__file__,
        "pexpect": pexpect.__version__,
        "rows": rep.rows,
        "targets": rep.targets,
        "notes": rep.notes,
        "table": table,
    }
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    try:
        draw_chart(rep, os.path.join(args.out, "ratios.png"))
    except Exception as e:  # the figures stand without the picture
        print(f"chart not drawn: {e}")
    print(f"wrote {os.path.join(args.out, 'results.json')} and ratios.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
