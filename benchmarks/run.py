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

Workloads, one module each (every figure is a median of the samples shown
beside it):
  latency  one short command and its prompt, on a C prompt program, gdb,
           python3 -i, sh and bash: seconds per turn, with the program and
           the driver unpinned and pinned to different CPUs
  bulk     1, 8 and 32 MiB of coloured UTF-8 text ending in a prompt, read
           as clean text in one call
  markers  2.4 MB of lines read to the prompt with 2 and with 1,000 ready
           markers
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
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bulk import w_bulk  # noqa: E402
from clean import w_clean  # noqa: E402
from common import BIN, OUT, Report, build, ensure_packages  # noqa: E402
from idle import w_idle  # noqa: E402
from latency import latency_worker, w_latency  # noqa: E402
from markers import w_markers  # noqa: E402
from report import draw_chart, print_table  # noqa: E402
from scale import w_scale  # noqa: E402
from spawn import spawn_worker, w_spawn  # noqa: E402

WORKLOADS = ["latency", "bulk", "markers", "spawn", "clean", "idle", "scale"]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smoke run, about 30 s")
    ap.add_argument("--only", default="", help="comma-separated: " + ",".join(WORKLOADS))
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
    ap.add_argument("--placement", default="unpinned", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.pellux_dir:
        sys.path.insert(0, os.path.abspath(args.pellux_dir))
        args.pellux_dir = os.path.abspath(args.pellux_dir)

    if args.worker == "spawn":
        print(json.dumps(spawn_worker(args.nofile, args.iters, os.path.join(BIN, "prompt"))))
        return 0
    if args.worker == "latency":
        print(json.dumps(latency_worker(args.case, args.epoch, args.rounds, args.k, args.warm,
                                        args.placement)))
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
    wanted = [w for w in args.only.split(",") if w] or WORKLOADS
    for w in wanted:
        print(f"{w} ...", flush=True)
        if w == "latency":
            w_latency(rep, paths, args.quick, args.pellux_dir)
        elif w == "bulk":
            w_bulk(rep, paths, args.quick)
        elif w == "markers":
            w_markers(rep, paths, args.quick)
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

