#!/usr/bin/env python3
"""What serving over HTTP costs, and what one server does under many clients.

1. Overhead: the same turn (``6 * 7`` sent to a python3 REPL, read back up to
   its prompt) through the SDK's stdio client and through its streamable
   HTTP client (loopback, bearer token), each against its own server
   process, in interleaved blocks so a noisy machine affects both alike.

2. Load: 16 clients of 4 python3 sessions each against one HTTP server,
   every session running checked turns for a few seconds, two clients
   killed mid-read (the load test's driver, tests/agent/http_load.py):
   turn latency p50/p99, the server's CPU time and its memory before,
   at the peak and after the clients left.

    python benchmarks/http_transport.py [--turns 200] [--block 10] [--seconds 5]

pellux_agent and the mcp package must be importable (``pip install '.[test]'``).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time
from pathlib import Path

import anyio

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "agent"))
from http_load import drive, percentile, server_state  # noqa: E402
from mcp_client import HttpServer, connect, connect_http  # noqa: E402


async def overhead(turns: int, block: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {"stdio": [], "http": []}
    with HttpServer() as server:
        async with connect() as over_stdio, connect_http(server.url, server.token) as over_http:
            clients = {"stdio": over_stdio, "http": over_http}
            sids = {name: (await c.start("python3"))[0] for name, c in clients.items()}
            for name, client in clients.items():  # warm both
                for _ in range(5):
                    await client.send(sids[name], "6 * 7")
            for _ in range(max(1, turns // block)):
                for name, client in clients.items():
                    for _ in range(block):
                        started = time.perf_counter()
                        turn = await client.send(sids[name], "6 * 7")
                        times[name].append(time.perf_counter() - started)
                        assert turn["output"] == "42\n>>> ", turn
    return times


def load(seconds: float) -> None:
    with HttpServer("--max-sessions", "64", "--max-client-sessions", "4", "--client-idle-timeout", "3") as server:
        before = server_state(server.pid)
        peak = [before.rss_kb]
        stop = threading.Event()

        def watch() -> None:
            while not stop.wait(0.1):
                try:
                    peak.append(server_state(server.pid).rss_kb)
                except (OSError, KeyError):
                    return

        watcher = threading.Thread(target=watch)
        watcher.start()
        cpu_before = server_state(server.pid).cpu_s
        clients_before = time.process_time()
        try:
            result = anyio.run(lambda: drive(server, seconds=seconds, killed=2, read_ms=1500))
        finally:
            stop.set()
            watcher.join()
        cpu = server_state(server.pid).cpu_s - cpu_before
        clients_cpu = time.process_time() - clients_before
        deadline = time.monotonic() + 30
        after = server_state(server.pid)
        while (after.children or after.threads > before.threads + 8) and time.monotonic() < deadline:
            time.sleep(0.2)
            after = server_state(server.pid)
    assert not result.wrong, result.wrong[:3]
    lat = result.latencies_s
    print(f"\n16 clients x 4 python3 sessions over HTTP, {seconds:g} s of turns each, 2 clients killed "
          f"mid-read; load {os.getloadavg()[0]:.2f}")
    print(f"turns: {result.turns} checked, none wrong, in {result.wall_s:.1f} s "
          f"({result.turns / result.wall_s:.0f} turns/s overall)")
    print(f"turn latency: p50 {percentile(lat, 50) * 1000:.1f} ms, p90 {percentile(lat, 90) * 1000:.1f} ms, "
          f"p99 {percentile(lat, 99) * 1000:.1f} ms, max {max(lat) * 1000:.1f} ms")
    print(f"server CPU: {cpu:.1f} s over {result.wall_s:.1f} s ({cpu / result.wall_s * 100:.0f}% of one core, "
          f"{cpu / max(1, result.turns) * 1000:.2f} ms per turn including 64 program starts)")
    print(f"the 14 live clients (the SDK's client, one process): CPU {clients_cpu:.1f} s "
          f"({clients_cpu / result.wall_s * 100:.0f}% of one core): on 2 cores they, the server and the "
          "64 programs share, the latency is mostly waiting for a core")
    print(f"server memory (RSS): {before.rss_kb / 1024:.1f} MiB before, {max(peak) / 1024:.1f} MiB at the "
          f"peak, {after.rss_kb / 1024:.1f} MiB after the clients left; threads {before.threads} -> "
          f"{after.threads}, descriptors {before.fds} -> {after.fds}, programs left {len(after.children)}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=200, help="turns per transport (default 200)")
    parser.add_argument("--block", type=int, default=10, help="turns per block (default 10)")
    parser.add_argument("--seconds", type=float, default=5.0, help="turns per session under load (default 5)")
    options = parser.parse_args()

    times = anyio.run(overhead, options.turns, options.block)
    base = statistics.median(times["stdio"])
    print(f"python3 `6 * 7` turn, {len(times['stdio'])} turns each, load {os.getloadavg()[0]:.2f}")
    print(f"{'transport':<10} {'median':>10} {'p90':>10} {'p99':>10} {'vs stdio':>10}")
    for name, samples in times.items():
        median = statistics.median(samples)
        print(f"{name:<10} {median * 1000:>7.3f} ms {percentile(samples, 90) * 1000:>7.3f} ms "
              f"{percentile(samples, 99) * 1000:>7.3f} ms {(median - base) * 1000:>+7.3f} ms")
    load(options.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
