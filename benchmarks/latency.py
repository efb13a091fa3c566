"""Turn latency: one short command and its prompt, on a C prompt program, gdb,
python3 -i, sh and bash; each epoch in a child interpreter of its own.

Two placements: unpinned, where the scheduler is free to put the program and
the driver on one CPU (pellux then hands each answer from its reader thread
to the waiting owner on the CPU the program just left), and apart, with the
driver process (every thread of it, and the C floor it starts) on the first
CPU and the program on the second."""

from __future__ import annotations

import os
import shutil

from common import BIN, MARKER, Report, finish_drivers, make_drivers, paired, rotate, run_worker, summary

LATENCY_PROGRAMS = [  # case, wrapper key, marker, input, expected in the answer
    ("prompt", "prompt", MARKER, "echo hello", "hello"),
    ("gdb", "gdb.sh", "(gdb) ", "print 1+1", "= 2"),
    ("python", "python.sh", ">>> ", "1+1", "2"),
    ("sh", "sh.sh", "SH> ", "echo hi", "hi"),
    ("bash", "bash.sh", "BASH> ", "echo hi", "hi"),
]


PLACEMENTS = ("unpinned", "apart")
GOALS = {"unpinned": 1.25, "apart": 1.10}  # pellux / floor


def apart_cpus() -> tuple[int, int] | None:
    """The driver's CPU and the program's, or None with fewer than two."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2 or shutil.which("taskset") is None:
        return None
    return cpus[0], cpus[1]


def _pinned_program(program: str, cpu: int) -> str:
    path = os.path.join(BIN, f"{os.path.basename(program)}.cpu{cpu}.sh")
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\nexec taskset -c {cpu} {program}\n")
    os.chmod(path, 0o755)
    return path


def latency_worker(case: str, epoch: int, rounds: int, k: int, warm: int,
                   placement: str = "unpinned") -> dict:
    """One epoch of one program, in a child interpreter of its own."""
    _, key, marker, text, expect = next(p for p in LATENCY_PROGRAMS if p[0] == case)
    program = os.path.join(BIN, key)
    if placement == "apart":
        driver_cpu, program_cpu = apart_cpus()
        # Threads started from here on (the reader threads) and the floor's
        # process inherit this CPU.
        os.sched_setaffinity(0, {driver_cpu})
        program = _pinned_program(program, program_cpu)
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
    placements = [p for p in PLACEMENTS if p != "apart" or apart_cpus()]
    if "apart" not in placements:
        rep.notes.append("latency: fewer than two CPUs (or no taskset): no 'apart' rows")
    for placement in placements:
        for case, *_ in LATENCY_PROGRAMS:
            samples: dict[str, list] = {}
            for e in range(epochs):
                res = run_worker(["--worker", "latency", "--case", case, "--epoch", str(e),
                                  "--rounds", str(rounds), "--k", str(k), "--warm", str(warm),
                                  "--placement", placement], pellux_dir)
                for name, xs in res.items():
                    samples.setdefault(name, []).extend(xs)
            floor = samples["floor"]
            label = case if placement == "unpinned" else f"{case}, apart"
            for name in ("pellux", "pexpect", "stdlib", "floor"):
                flat = [x * 1e6 for xs in samples[name] for x in xs]
                rep.row("latency", label, name, "us/turn", summary(flat), **paired(samples[name], floor))
            pel = paired(samples["pellux"], floor)["ratio"]
            goal = GOALS[placement]
            rep.target(f"latency {label}: pellux / floor <= {goal:.2f}", pel, f"<= {goal:.2f}", pel <= goal)
            if placement == "unpinned":
                pex = paired(samples["pellux"], samples["pexpect"])["ratio"]
                rep.target(f"latency {case}: pellux / pexpect < 1", pex, "< 1.00", pex < 1.0)
            print(f"  latency {label}: done", flush=True)
