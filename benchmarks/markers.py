"""Many ready markers: the same 2.4 MB of line output read to its prompt with
2 markers and with 1,000, in interleaved rounds. The read searches its
cleaned 8 KiB tail for every marker after every chunk, so the marker count
should cost next to nothing; the target is at most 2x the 2-marker time."""

from __future__ import annotations

import os
import random
import statistics
import time

from common import MARKER, OUT, Report, rotate, summary

LINES_BYTES = 2_400_000


def _line_output(path: str) -> None:
    """Plain lines of words, deterministic; never the prompt."""
    rng = random.Random(12)
    words = ("the quick brown fox jumps over lazy dog build target warning error: line "
             "value struct return ok passed src/main.c:42 0x7ffd1234 [100%]").split()
    out, size = [], 0
    while size < LINES_BYTES:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 14)))
        out.append(line)
        size += len(line) + 1
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def _many_markers(count: int) -> list[str]:
    """The prompt, then prompts that never occur, of many shapes: other
    programs' prompts with numbers, words of the output with a suffix."""
    rng = random.Random(34)
    shapes = ["({}db) ", "pwn{}> ", "[{}]$ ", "user@host:{}# ", "In [{}]: ", ">>{}> ", "the {} fox> ",
              "error {}: ", "sqlite{}> ", "mysql {}> "]
    markers = [MARKER]
    while len(markers) < count:
        markers.append(rng.choice(shapes).format(len(markers)))
    return markers


def w_markers(rep: Report, paths: dict, quick: bool) -> None:
    import pellux

    rounds = 3 if quick else 9
    lines = os.path.join(OUT, "marker_lines.txt")
    if not os.path.exists(lines) or os.path.getsize(lines) < LINES_BYTES:
        _line_output(lines)
    sets = {"2 markers": [MARKER, "(gdb) "], "1000 markers": _many_markers(1000)}
    sessions = {}
    try:
        for name, markers in sets.items():
            s = pellux.Pellux(paths["prompt"], True, markers)
            s.read_until_ready(timeout_ms=20000, settle_ms=0)
            sessions[name] = s
        samples: dict[str, list[float]] = {name: [] for name in sets}
        sizes = {}
        for r in range(rounds + 1):  # round 0 warms up
            for name in rotate(list(sets), r):
                t0 = time.perf_counter()
                text = sessions[name].send_and_read_until_ready(
                    f"cat {lines}", timeout_ms=120000, max_output_bytes=1 << 30, settle_ms=0)
                t = time.perf_counter() - t0
                if not text.endswith(MARKER):
                    raise RuntimeError(f"markers: {name} read ended without the prompt")
                sizes[name] = len(text)
                if r:
                    samples[name].append(t)
        if sizes["2 markers"] != sizes["1000 markers"]:
            raise RuntimeError(f"markers: the reads returned other texts ({sizes})")
        for name, ts in samples.items():
            rep.row("markers", f"2.4 MB of lines, {name}", "pellux", "ms", summary([t * 1e3 for t in ts]))
        ratios = [a / b for a, b in zip(samples["1000 markers"], samples["2 markers"])]
        ratio = statistics.median(ratios)
        rep.row("markers", "1000 / 2 markers, per round", "pellux", "x", summary(ratios))
        rep.target("markers: 1000-marker read / 2-marker read <= 2", ratio, "<= 2.00", ratio <= 2.0)
        print("  markers: done", flush=True)
    finally:
        for s in sessions.values():
            try:
                s.send_and_read_until_ready("quit", timeout_ms=2000, settle_ms=0)
            except Exception:
                pass
            s.close()
