"""What recording a session costs.

1. The recording itself (benchmarks/bench_recording.cpp, built here with
   g++): microseconds per recorded turn (the line typed and the answer's
   pieces, written to a real file event by event) and milliseconds per MiB
   of output in the reader thread's 8 KiB chunks, with the file's growth.
2. End to end: turns of ``bash`` through ``pellux_agent.Terminal`` with and
   without ``record=``, alternated in rounds; the median turn of each and
   the difference (noisy on a busy machine: the first figure is the cost).

    python benchmarks/recording.py [--turns 300] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def native(workdir: str) -> None:
    exe = os.path.join(workdir, "bench_recording")
    subprocess.run(
        ["g++", "-std=c++23", "-O2", "-I", str(ROOT / "src"), "-pthread",
         str(ROOT / "benchmarks" / "bench_recording.cpp"), str(ROOT / "src" / "session" / "recording.cpp"),
         "-o", exe],
        check=True,
    )
    print("the recording alone (native):")
    sys.stdout.flush()
    subprocess.run([exe, workdir], check=True)


def end_to_end(workdir: str, turns: int, rounds: int) -> None:
    from pellux_agent import Terminal

    samples: dict[bool, list[float]] = {False: [], True: []}
    for round_ in range(rounds):
        cast = os.path.join(workdir, f"e2e-{round_}.cast")
        with Terminal("bash", ["--norc", "--noprofile"]) as plain, Terminal(
            "bash", ["--norc", "--noprofile"], record=cast
        ) as recorded:
            pair = {False: plain, True: recorded}
            for t in pair.values():
                t.read(10_000)
                for _ in range(20):  # warm up
                    t.send("echo hello", 10_000)
            # Turn by turn in alternation, so that the machine's load weighs
            # on both alike.
            for i in range(2 * turns):
                record = bool(i % 2) ^ bool(round_ % 2)
                start = time.perf_counter()
                pair[record].send("echo hello", 10_000)
                samples[record].append((time.perf_counter() - start) * 1000)
    plain_ms, recorded_ms = statistics.median(samples[False]), statistics.median(samples[True])
    print(f"\nend to end, bash 'echo hello', {rounds} rounds x {turns} turns each, alternated:")
    print(f"  median turn without recording {plain_ms:.3f} ms, with {recorded_ms:.3f} ms, "
          f"difference {recorded_ms - plain_ms:+.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--turns", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="pellux-recording-") as workdir:
        native(workdir)
        end_to_end(workdir, options.turns, options.rounds)


if __name__ == "__main__":
    main()
