#!/usr/bin/env python3
"""The README's "many sessions from many threads" recipe, timed.

    python benchmarks/threads_recipe.py                   # 160 jobs on 16 threads, 3 rounds
    python benchmarks/threads_recipe.py --jobs 32 --threads 8 --rounds 1

Each job starts a shell session on a worker thread, waits for its prompt,
runs one command and closes the session, as the recipe does. Ending a shell
costs one 100 ms termination pause (SIGHUP, pause, gone); when close holds
the interpreter lock those pauses follow one another (jobs x 0.1 s), when
it releases the lock they overlap (about jobs / threads x 0.1 s). The
script prints the wall time per round and the median, with the pause-bound
figures beside it for comparison, and the time an asyncio loop in another
thread was frozen at worst meanwhile (the longest gap between its 5 ms
ticks).

pellux must be installed (`pip install .`); `--pellux-dir DIR` puts DIR
first on the module path instead, to measure another build.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

PAUSE_S = 0.1  # close's termination pause


def make_shell(directory: str) -> str:
    path = os.path.join(directory, "shell")
    with open(path, "w") as f:
        f.write("#!/bin/sh\nPS1='pellux$ ' PS2='pellux> ' exec bash --norc --noprofile\n")
    os.chmod(path, 0o755)
    return path


def job(Pellux, shell: str, target: str) -> str:
    sh = Pellux(shell, True, ["pellux$ "])
    try:
        sh.read_until_ready(timeout_ms=5_000)
        return sh.send_and_read_until_ready(f"wc -l < {target}", timeout_ms=5_000)
    finally:
        sh.close()


class LoopWatch:
    """An asyncio loop on its own thread ticking every 5 ms; records the
    longest gap between ticks (how long the loop was frozen)."""

    def __init__(self) -> None:
        self.worst = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=lambda: asyncio.run(self._tick()), daemon=True)

    async def _tick(self) -> None:
        last = time.monotonic()
        while not self._stop.is_set():
            await asyncio.sleep(0.005)
            now = time.monotonic()
            self.worst = max(self.worst, now - last)
            last = now

    def __enter__(self) -> "LoopWatch":
        self._thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join(timeout=10)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=160)
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pellux-dir", help="import pellux from this directory")
    args = parser.parse_args()
    if args.pellux_dir:
        sys.path.insert(0, args.pellux_dir)
    from pellux import Pellux
    import pellux

    targets = ["/etc/passwd", "/etc/group", "/etc/hosts"]
    with tempfile.TemporaryDirectory(prefix="pellux-threads-") as directory:
        shell = make_shell(directory)
        job(Pellux, shell, targets[0])  # warm caches
        walls, frozen = [], []
        for _ in range(args.rounds):
            with LoopWatch() as watch:
                started = time.monotonic()
                with ThreadPoolExecutor(max_workers=args.threads) as pool:
                    answers = list(pool.map(lambda i: job(Pellux, shell, targets[i % 3]), range(args.jobs)))
                walls.append(time.monotonic() - started)
            frozen.append(watch.worst)
            bad = [a for a in answers if not a.strip().split("\n")[0].strip().isdigit()]
            if bad:
                raise SystemExit(f"{len(bad)} jobs answered unexpectedly, e.g. {bad[0]!r}")

    serial = args.jobs * PAUSE_S
    overlapped = -(-args.jobs // args.threads) * PAUSE_S
    print(f"pellux {pellux.__file__}, Python {sys.version.split()[0]}, load {os.getloadavg()[0]:.2f}")
    print(f"{args.jobs} jobs on {args.threads} threads, {args.rounds} rounds")
    print("  wall time per round: " + ", ".join(f"{w:.2f} s" for w in walls))
    print(f"  median {statistics.median(walls):.2f} s; pauses alone: {serial:.1f} s one after another, "
          f"{overlapped:.1f} s overlapped")
    print("  asyncio loop frozen at worst: " + ", ".join(f"{f * 1000:.0f} ms" for f in frozen))


if __name__ == "__main__":
    main()
