"""What every workload shares: where things are, building the helpers,
the drivers, the statistics and the report the figures go into."""

from __future__ import annotations

import importlib
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
BIN = os.path.join(OUT, "bin")
SRC = os.path.join(os.path.dirname(HERE), "src")
RUN = os.path.join(HERE, "run.py")

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



def run_worker(args: list[str], pellux_dir: str | None) -> dict:
    """Runs `run.py --worker ...` in a fresh interpreter; returns its JSON."""
    env = dict(os.environ)
    extra = []
    if pellux_dir:
        env["PYTHONPATH"] = pellux_dir + os.pathsep + env.get("PYTHONPATH", "")
        extra = ["--pellux-dir", pellux_dir]
    out = subprocess.run([sys.executable, RUN, *args, *extra], check=True,
                         capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])
