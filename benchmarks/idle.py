"""Idle: CPU spent by a 3 s wait on a silent child, and the speed another
Python thread keeps meanwhile."""

from __future__ import annotations

import statistics
import threading
import time

from common import MARKER, Report, finish_drivers, make_drivers, rotate, summary

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
        # The same wait cut into 50 ms slices, as pellux's marker read once
        # waited: what that many timed wake-ups cost on this machine.
        floor = next(d for d in drivers if d.name == "floor")
        sliced = [floor.idle(wait, 50) for _ in range(cpu_reps)]
        for d in drivers:
            shares = [c / wait * 100 for c in cpu[d.name]]
            rep.row("idle", f"{wait:g} s wait, CPU % of a core", d.name, "%", summary(shares))
        rep.row("idle", f"{wait:g} s wait, CPU % of a core", "floor50", "%",
                summary([c / wait * 100 for c in sliced]))
        rep.notes.append("idle: floor50 is the C floor waiting in 50 ms slices, as pellux's marker "
                         "read did before its waits ran to the next deadline; its CPU is what those "
                         "wake-ups alone cost here")
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

