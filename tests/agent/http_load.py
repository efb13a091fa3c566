"""Many clients at once against one HTTP server: each client holds a few
python3 sessions and runs turns whose answers it checks, for a bounded time,
while some clients (separate processes) are killed in the middle of a read.
Used by the load test and by benchmarks/http_load.py.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import anyio

sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import PACKAGE_ROOT, HttpServer, connect_http, server_environment  # noqa: E402


@dataclass
class ServerState:
    threads: int
    fds: int
    rss_kb: int
    children: list[int]
    cpu_s: float


def server_state(pid: int) -> ServerState:
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    children: list[int] = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                children += [int(c) for c in f.read().split()]
        except OSError:
            pass
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return ServerState(
        threads=int(status["Threads"]),
        fds=len(os.listdir(f"/proc/{pid}/fd")),
        rss_kb=int(status["VmRSS"].split()[0]),
        children=sorted(children),
        cpu_s=(int(fields[11]) + int(fields[12])) / ticks,
    )


@dataclass
class LoadResult:
    turns: int = 0
    latencies_s: list[float] = field(default_factory=list)
    wrong: list[str] = field(default_factory=list)
    killed_pids: list[int] = field(default_factory=list)
    wall_s: float = 0.0


async def _client(server: HttpServer, token: str, number: int, sessions: int, seconds: float,
                  result: LoadResult) -> None:
    async with connect_http(server.url, token) as client:

        async def loop(index: int) -> None:
            # Each session starts and goes straight into its turns: one
            # that waited for its siblings to start could pass for idle.
            sid = (await client.start("python3"))[0]
            deadline = time.monotonic() + seconds
            k = 0
            while time.monotonic() < deadline:
                k += 1
                a, b = number * 1000 + index, k
                started = time.perf_counter()
                turn = await client.send(sid, f"{a} * {b}")
                result.latencies_s.append(time.perf_counter() - started)
                result.turns += 1
                if turn["output"] != f"{a * b}\n>>> " or turn["status"] != "ready":
                    result.wrong.append(f"client {number} session {sid}: {a} * {b} gave {turn}")
            await client.call("close_session", session_id=sid)

        async with anyio.create_task_group() as tg:
            for index in range(sessions):
                tg.start_soon(loop, index)


# A client in a process of its own: starts its sessions, says their programs'
# pids, then starts a long read in each, and waits to be killed.
_VICTIM = """
import json, sys, anyio
sys.path.insert(0, {here!r})
from mcp_client import connect_http

async def main():
    async with connect_http({url!r}, {token!r}) as client:
        ids = [(await client.start("python3"))[0] for _ in range({sessions})]
        listed = (await client.call("list_sessions"))["sessions"]
        async with anyio.create_task_group() as tg:
            for sid in ids:
                tg.start_soon(lambda sid=sid: client.send(sid, "import time; time.sleep(60)", timeout_ms={read_ms}))
            await anyio.sleep(0.3)
            print(json.dumps([s["pid"] for s in listed]), flush=True)
            await anyio.sleep(120)

anyio.run(main)
"""


def _start_victim(server: HttpServer, token: str, sessions: int, read_ms: int) -> subprocess.Popen[str]:
    code = _VICTIM.format(here=str(Path(__file__).resolve().parent), url=server.url, token=token,
                          sessions=sessions, read_ms=read_ms)
    return subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
        env=server_environment(), cwd=PACKAGE_ROOT, text=True, start_new_session=True,
    )


async def drive(server: HttpServer, clients: int = 16, sessions: int = 4, seconds: float = 4.0,
                killed: int = 2, read_ms: int = 3000) -> LoadResult:
    """`clients` clients of `sessions` sessions each, `killed` of them in
    processes that are killed mid-read (SIGKILL) while the others run
    their turns for `seconds` (from each session's start: 64 programs
    starting at once take a while on a small machine)."""
    result = LoadResult()
    victims = [_start_victim(server, server.tokens[i % len(server.tokens)], sessions, read_ms)
               for i in range(killed)]
    started = time.monotonic()
    try:
        async with anyio.create_task_group() as tg:
            for number in range(clients - killed):
                tg.start_soon(_client, server, server.tokens[number % len(server.tokens)], number,
                              sessions, seconds, result)

            async def kill_victims() -> None:
                for victim in victims:
                    assert victim.stdout is not None
                    line = await anyio.to_thread.run_sync(victim.stdout.readline)
                    assert line, "a killed client did not start its sessions"
                    result.killed_pids += json.loads(line)
                    os.killpg(victim.pid, signal.SIGKILL)

            tg.start_soon(kill_victims)
    finally:
        for victim in victims:
            if victim.poll() is None:
                os.killpg(victim.pid, signal.SIGKILL)
            victim.wait()
            if victim.stdout is not None:
                victim.stdout.close()
    result.wall_s = time.monotonic() - started
    return result


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]
