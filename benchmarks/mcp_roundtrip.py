#!/usr/bin/env python3
"""What a turn costs through the MCP server, and how many threads it runs.

One turn is ``6 * 7`` sent to a python3 REPL and read back up to its ``>>> ``
prompt, through:

  pellux   Pellux.send_and_read_until_ready in this process (the program
           started by a wrapper script with the preset's environment, the
           same markers and read parameters)
  MCP      a send_input tool call from the SDK's own stdio client to the
           server (``python -m pellux_agent``) in a subprocess: JSON-RPC over
           pipes, the server's event loop, the terminal's own thread, pellux

The two take turns in blocks, interleaved, so that a noisy machine affects
them alike; every figure is a median. Then it opens 16 python3 sessions
through the server and counts the server's threads (from /proc).

    python benchmarks/mcp_roundtrip.py [--turns 200] [--block 10]

pellux, pellux_agent and the mcp package must be importable
(``pip install '.[mcp]'``).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from typing import Any

import anyio
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from pellux import Pellux

import pellux_agent
from pellux_agent.terminal import MAX_OUTPUT_BYTES, QUIET_MS, SETTLE_MS

MARKERS = [">>> ", "... "]
TIMEOUT_MS = 10_000
SESSIONS = 16


def direct_session(workdir: str) -> Pellux:
    wrapper = os.path.join(workdir, "python-repl")
    with open(wrapper, "w") as f:
        f.write(
            "#!/bin/sh\n"
            "PYTHON_BASIC_REPL=1 PYTHONSTARTUP= TERM=xterm-xfree86 PAGER=cat "
            f"exec '{sys.executable}' -q\n"
        )
    os.chmod(wrapper, 0o700)
    session = Pellux(wrapper, True, MARKERS)
    session.read_until_ready(TIMEOUT_MS)
    return session


def thread_count(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


async def call(session: ClientSession, tool: str, **arguments: Any) -> dict[str, Any]:
    result = await session.call_tool(tool, arguments)
    if result.is_error or not isinstance(result.structured_content, dict):
        raise SystemExit(f"{tool} failed: {result.content}")
    return result.structured_content


def check(text: str) -> None:
    if text != "42\n>>> ":
        raise SystemExit(f"unexpected answer {text!r}")


async def run(turns: int, block: int) -> None:
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(pellux_agent.__file__)))
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "pellux_agent"],
        env={"PATH": os.environ.get("PATH", os.defpath), "PYTHONPATH": package_root},
    )
    times: dict[str, list[float]] = {"pellux": [], "MCP": []}
    with tempfile.TemporaryDirectory(prefix="mcp-roundtrip-") as workdir:
        direct = direct_session(workdir)
        async with stdio_client(params) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                sid = (await call(session, "start_session", command=sys.executable, args=["-q"]))[
                    "session_id"
                ]
                (server_pid,) = [
                    int(line)
                    for line in (
                        await call(session, "send_input", session_id=sid, input="import os; os.getppid()")
                    )["output"].split()
                    if line.isdigit()
                ]
                for _ in range(max(1, turns // block)):
                    for _ in range(block):
                        started = time.perf_counter()
                        check(direct.send_and_read_until_ready(
                            "6 * 7", TIMEOUT_MS, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS))
                        times["pellux"].append(time.perf_counter() - started)
                    for _ in range(block):
                        started = time.perf_counter()
                        turn = await call(session, "send_input", session_id=sid, input="6 * 7")
                        times["MCP"].append(time.perf_counter() - started)
                        check(turn["output"])

                threads_one = thread_count(server_pid)
                async with anyio.create_task_group() as tg:
                    for _ in range(SESSIONS - 1):
                        tg.start_soon(lambda: call(session, "start_session", command="python3"))
                listed = (await call(session, "list_sessions"))["sessions"]
                assert len(listed) == SESSIONS, listed
                threads_many = thread_count(server_pid)
        direct.close()

    base = statistics.median(times["pellux"])
    print(f"python3 `6 * 7` turn, settle {SETTLE_MS} ms, {len(times['MCP'])} turns each, "
          f"load {os.getloadavg()[0]:.2f}")
    print(f"{'driver':<8} {'median':>10} {'p90':>10} {'vs pellux':>11}")
    for name, samples in times.items():
        ordered = sorted(samples)
        median = statistics.median(ordered)
        print(f"{name:<8} {median * 1000:>7.3f} ms {ordered[len(ordered) * 9 // 10] * 1000:>7.3f} ms "
              f"{(median - base) * 1000:>+8.3f} ms")
    print(f"MCP round trip median: {statistics.median(times['MCP']) * 1000:.3f} ms")
    print(f"server threads: {threads_one} with 1 session, {threads_many} with {SESSIONS} sessions "
          "(each session: its terminal's thread and pellux's reader)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=200, help="turns per driver (default 200)")
    parser.add_argument("--block", type=int, default=10, help="turns per block (default 10)")
    options = parser.parse_args()
    anyio.run(run, options.turns, options.block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
