"""Drives the real MCP server (`python -m pellux_agent`) with the SDK's own stdio client.

`connect()` starts the server as a subprocess over stdio and yields a `Client`
whose `call()` returns a tool's structured result, and whose `error()` returns
the message of a tool error (the call must fail with `isError`).
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

import pellux_agent
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

# The server must import the same pellux_agent as the tests (a checkout or
# the installed package).
PACKAGE_ROOT = str(Path(pellux_agent.__file__).resolve().parent.parent)


class Client:
    def __init__(self, session: ClientSession) -> None:
        self.session = session

    async def call_raw(self, tool: str, **arguments: Any) -> Any:
        return await self.session.call_tool(tool, arguments)

    async def call(self, tool: str, **arguments: Any) -> dict[str, Any]:
        result = await self.call_raw(tool, **arguments)
        assert not result.is_error, f"{tool}({arguments}) failed: {result.content}"
        assert isinstance(result.structured_content, dict), result
        return result.structured_content

    async def error(self, tool: str, **arguments: Any) -> str:
        result = await self.call_raw(tool, **arguments)
        assert result.is_error, f"{tool}({arguments}) should fail, gave {result.structured_content}"
        return " ".join(getattr(block, "text", "") for block in result.content)

    async def start(self, command: str, **arguments: Any) -> tuple[str, dict[str, Any]]:
        """Starts a session; returns its id and the first answer."""
        first = await self.call("start_session", command=command, **arguments)
        return first["session_id"], first

    async def send(self, session_id: str, text: str, **arguments: Any) -> dict[str, Any]:
        return await self.call("send_input", session_id=session_id, input=text, **arguments)


def server_environment(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = {
        "PATH": os.environ.get("PATH", os.defpath),
        "PYTHONPATH": os.pathsep.join(
            p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH", "")) if p
        ),
    }
    env.update(extra or {})
    return env


@asynccontextmanager
async def connect(*options: str, env: dict[str, str] | None = None) -> AsyncIterator[Client]:
    """A client connected to a fresh server started with `options`."""
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "pellux_agent", *options],
        env=server_environment(env),
    )
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            yield Client(session)


def process_state(pid: int) -> str | None:
    """The state letter of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2]


def running(pid: int) -> bool:
    state = process_state(pid)
    return state is not None and state not in ("Z", "X")


def wait_gone(pids: list[int], timeout: float) -> list[int]:
    """Waits until none of `pids` runs; returns those still running after `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        left = [pid for pid in pids if running(pid)]
        if not left:
            return []
        time.sleep(0.02)
    return [pid for pid in pids if running(pid)]


def numbers(text: str) -> list[int]:
    """The whole numbers printed on their own lines of `text`."""
    return [int(line) for line in text.split() if line.isdigit()]
