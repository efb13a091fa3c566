"""One HTTP server under 16 clients of 4 python3 sessions each, some killed
mid-read: every other client's turns stay right, and once the clients are
gone the server holds no program, descriptor or thread more than before, and
about the memory it had."""

from __future__ import annotations

import sys
import time
from pathlib import Path

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from http_load import drive, server_state  # noqa: E402
from mcp_client import HttpServer, wait_gone  # noqa: E402

# Resident memory a load may leave behind (allocator arenas, caches filled
# once): leaks proportional to the turns run would pass it many times over.
MEMORY_SLACK_KB = 24 * 1024


def settled(pid: int, fds: int, threads: int, timeout: float = 30.0):
    """The server's state once its programs are gone and its descriptors and
    threads are back to at most `fds`/`threads` (or the timeout passed)."""
    deadline = time.monotonic() + timeout
    while True:
        state = server_state(pid)
        if (not state.children and state.fds <= fds and state.threads <= threads) or time.monotonic() > deadline:
            return state
        time.sleep(0.2)


def test_sixteen_clients_of_four_sessions_with_some_killed_mid_read() -> None:
    # A client with no request in flight for three seconds (a killed one)
    # is gone; a live one always has one of its four sessions' turns going.
    with HttpServer("--max-sessions", "64", "--max-client-sessions", "4", "--client-idle-timeout", "3") as server:
        # Warm up at full scale, so the baseline holds what a first load
        # fills once (thread pools, imports, allocator arenas).
        warm = anyio.run(lambda: drive(server, seconds=0.5, killed=0))
        assert not warm.wrong, warm.wrong[:3]
        base = settled(server.pid, fds=10**6, threads=10**6, timeout=5)
        base = settled(server.pid, fds=base.fds, threads=base.threads)
        assert not base.children

        result = anyio.run(lambda: drive(server, seconds=4.0, killed=2, read_ms=1500))
        assert not result.wrong, result.wrong[:5]
        assert result.turns > 14 * 4, result.turns  # every live session ran turns
        assert len(result.killed_pids) == 2 * 4
        # The killed clients' programs end once their reads are over and
        # their sessions idle.
        assert wait_gone(result.killed_pids, 30) == []

        after = settled(server.pid, fds=base.fds, threads=base.threads)
        assert after.children == [], after
        assert after.fds <= base.fds, (base, after)
        assert after.threads <= base.threads, (base, after)
        assert after.rss_kb - base.rss_kb < MEMORY_SLACK_KB, (base, after)
        print(f"\nturns {result.turns} in {result.wall_s:.1f} s; rss {base.rss_kb} -> {after.rss_kb} kB; "
              f"fds {base.fds} -> {after.fds}; threads {base.threads} -> {after.threads}")
