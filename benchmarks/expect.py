"""What a pattern wait costs: MiB/s of text searched until a match at its end.

Two parts:

* search alone, in this process: the text arrives in pieces of a given size
  and the pattern is searched after each one, as a wait does. ``expect``'s
  search (each piece with the 8 KiB before it) against ``re.search`` over
  the whole text so far, the obvious way, which costs the square of the
  length (it is run only up to the size where it is still bearable);
* end to end: a real program prints N MiB of lines and then the line the
  pattern waits for; ``Terminal.expect`` reads it through the terminal,
  cleans it and searches it as it arrives. The same run with ``re.search``
  over the growing text, on the same native reads, is the baseline.

    python benchmarks/expect.py [--mib 100] [--piece-kib 8]
"""

from __future__ import annotations

import argparse
import re
import sys
import time

from pellux_agent import Terminal
from pellux_agent.expect import PatternSearch, compile_patterns

PATTERN = re.compile(r"DONE (\d+)")
LINE = "x" * 79 + "\n"


def search_alone(mib: float, piece_kib: int, naive: bool) -> float:
    """MiB/s of searching `mib` MiB in pieces, the match in the last one."""
    piece = LINE * (piece_kib * 1024 // len(LINE))
    count = max(1, int(mib * 1024 * 1024 / len(piece)))
    started = time.perf_counter()
    if naive:
        text = ""
        found = None
        for _ in range(count):
            text += piece
            found = PATTERN.search(text)
        text += "DONE 42\n"
        found = PATTERN.search(text)
    else:
        search = PatternSearch(compile_patterns(PATTERN))
        for _ in range(count):
            search.feed(piece)
        found = search.feed("DONE 42\n")
        search.split()
    elapsed = time.perf_counter() - started
    assert found is not None
    return count * len(piece) / (1024 * 1024) / elapsed


def program(mib: float) -> list[str]:
    body = (
        "import sys, time\n"
        f"block = ({LINE!r} * 800).encode()\n"
        f"for _ in range(int({mib} * 1024 * 1024 / len(block))):\n"
        "    sys.stdout.buffer.write(block)\n"
        "sys.stdout.buffer.write(b'DONE 42\\n')\n"
        "sys.stdout.flush()\n"
        "time.sleep(600)\n"
    )
    return [sys.executable, "-c", body]


def end_to_end(mib: float, naive: bool) -> tuple[float, int]:
    """MiB/s of clean text until the match, and how many reads it took."""
    argv = program(mib)
    with Terminal(argv[0], argv[1:], wait_for="quiet", ready_markers=[]) as t:
        started = time.perf_counter()
        if naive:
            native = t._resources.native
            text, reads = "", 0
            while True:
                piece, why = native.read(600_000, 2 * 1024 * 1024, rule="arrival")
                reads += 1
                text += piece
                if PATTERN.search(text) or why != "arrived":
                    break
            size = len(text)
        else:
            turn = t.expect(PATTERN, 600_000)
            assert turn.status == "matched", turn.status
            size, reads = len(turn.output), -1
        elapsed = time.perf_counter() - started
    return size / (1024 * 1024) / elapsed, reads


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mib", type=float, default=100.0, help="text before the match (MiB)")
    parser.add_argument("--piece-kib", type=int, default=8, help="piece size of the search-alone part")
    parser.add_argument("--naive-mib", type=float, default=16.0, help="largest size re.search runs on")
    args = parser.parse_args()

    print(f"search alone, pieces of {args.piece_kib} KiB, match at the end (MiB/s)")
    print(f"{'MiB':>8} {'expect search':>15} {'re.search(text)':>16}")
    sizes = sorted({1.0, 4.0, args.naive_mib, args.mib})
    for mib in sizes:
        ours = search_alone(mib, args.piece_kib, naive=False)
        naive = (
            f"{search_alone(mib, args.piece_kib, naive=True):16.1f}" if mib <= args.naive_mib else f"{'(skipped)':>16}"
        )
        print(f"{mib:8.0f} {ours:15.1f} {naive}")

    print("\nend to end: a program prints N MiB, then the line waited for (MiB/s of clean text)")
    print(f"{'MiB':>8} {'Terminal.expect':>16} {'re.search(text)':>16} {'reads':>7}")
    for mib in sorted({args.naive_mib, args.mib}):
        ours, _ = end_to_end(mib, naive=False)
        if mib <= args.naive_mib:
            naive, reads = end_to_end(mib, naive=True)
            print(f"{mib:8.0f} {ours:16.1f} {naive:16.1f} {reads:7d}")
        else:
            print(f"{mib:8.0f} {ours:16.1f} {'(skipped)':>16} {'':>7}")


if __name__ == "__main__":
    main()
