"""Bulk drain: 1, 8 and 32 MiB of coloured UTF-8 text ending in a prompt, read
as clean text in one call."""

from __future__ import annotations

import os
import statistics

from common import MARKER, OUT, Report, finish_drivers, make_drivers, paired, rotate, summary

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

