"""Spawn: start to first prompt with RLIMIT_NOFILE at 1024 and raised, each in
a child interpreter; close reported apart."""

from __future__ import annotations

import resource
import statistics

from common import MARKER, Report, make_drivers, rotate, run_worker, summary

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
        res = run_worker(["--worker", "spawn", "--nofile", str(n), "--iters", str(iters)], pellux_dir)
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

