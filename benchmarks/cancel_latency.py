"""How fast another thread ends a long read of the native terminal.

A python3 REPL sleeps (``time.sleep(600)``) while one thread reads with a
10-minute timeout; a second thread calls ``cancel()``, ``send_ctrl_c()`` or
``close()``. Printed: from that call to the read's return, median and
maximum over the tries, per call; for ``close`` also until ``close()`` itself
returns (it then ends the program: hangup and signals).

Usage: python benchmarks/cancel_latency.py [tries]   (default 20)
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time

from pellux_agent._terminal import Terminal as Native

ENV = [f"{k}={v}" for k, v in os.environ.items()] + ["PYTHON_BASIC_REPL=1"]


def _sleeping_repl() -> Native:
    t = Native("python3", ["python3", "-q"], ENV, None, 24, 80, [">>> "])
    t.read(10_000)
    t.write(b"import time; time.sleep(600)\n")
    return t


def _one(t: Native, call: str, rule: str) -> tuple[float, float, str]:
    """(ms from the call to the read's return, ms the call took, reason)."""
    returned: list[float] = []
    reasons: list[str] = []

    def read() -> None:
        _, why = t.read(600_000, rule=rule)
        returned.append(time.perf_counter())
        reasons.append(why)

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(0.2)  # well inside the read's wait
    started = time.perf_counter()
    getattr(t, call)()
    call_done = time.perf_counter()
    reader.join(60)
    return (returned[0] - started) * 1000, (call_done - started) * 1000, reasons[0]


def main() -> None:
    tries = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    print(f"read ended from another thread during a 10-minute read (python3 asleep), {tries} tries")
    for call in ("cancel", "send_ctrl_c", "close"):
        for rule in ("markers", "auto"):
            to_return: list[float] = []
            call_took: list[float] = []
            reasons: set[str] = set()
            t = _sleeping_repl()
            try:
                for _ in range(tries):
                    if call == "close" and not t.is_alive():
                        t = _sleeping_repl()
                    elif call == "send_ctrl_c":
                        t.write(b"time.sleep(600)\n")
                        t.read(200)
                    latency, took, why = _one(t, call, rule)
                    to_return.append(latency)
                    call_took.append(took)
                    reasons.add(why)
            finally:
                t.close()
            line = (
                f"  {call:12s} rule={rule:8s} read returns: median {statistics.median(to_return):6.2f} ms,"
                f" max {max(to_return):6.2f} ms  (reason {', '.join(sorted(reasons))})"
            )
            if call == "close":
                line += f"; close() itself: median {statistics.median(call_took):6.1f} ms"
            print(line)


if __name__ == "__main__":
    main()
