"""Drives the real MCP server (`python -m pellux_agent`) with the SDK's own clients.

`connect()` starts the server as a subprocess over stdio (or, with
`transport="http"`, over streamable HTTP on a loopback port) and yields a
`Client` whose `call()` returns a tool's structured result, and whose
`error()` returns the message of a tool error (the call must fail with
`isError`). `HttpServer` runs one HTTP server that several clients
(`connect_http`) share.
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
# the installed package). It runs from there too: `python -m` puts its
# working directory first on the path, and a checkout's pellux_agent lacks
# the built _terminal module.
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
    # A sanitized run's servers run under the same runtime options (leak
    # checks off: the interpreter's own allocations at exit are no finding).
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(extra or {})
    return env


@asynccontextmanager
async def connect(
    *options: str,
    env: dict[str, str] | None = None,
    transport: str = "stdio",
    elicitation_callback: Any = None,
    errlog: Any = None,
) -> AsyncIterator[Client]:
    """A client connected to a fresh server started with `options`; with an
    `elicitation_callback` it answers the server's questions to its user,
    and `errlog` (a file) receives the server's stderr (over stdio)."""
    if transport == "http":
        with HttpServer(*options, env=env) as server:
            async with connect_http(server.url, server.token, elicitation_callback) as client:
                yield client
        return
    assert transport == "stdio", transport
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "pellux_agent", *options],
        env=server_environment(env),
        cwd=PACKAGE_ROOT,
    )
    async with stdio_client(params, **({"errlog": errlog} if errlog is not None else {})) as (read, write):
        async with ClientSession(read, write, elicitation_callback=elicitation_callback) as session:
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


class RawServer:
    """The server as a plain subprocess speaking JSON-RPC lines, for tests that
    must control exactly when stdin closes and which signals it gets (the
    SDK's client adds its own signals on the way out)."""

    def __init__(self, *options: str, env: dict[str, str] | None = None) -> None:
        import subprocess

        self.process = subprocess.Popen(
            [sys.executable, "-m", "pellux_agent", *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=server_environment(env),
            cwd=PACKAGE_ROOT,
            start_new_session=True,  # our own signals stay ours
        )
        self._ids = iter(range(1, 1_000_000))
        self._request("initialize", {
            "protocolVersion": "2025-06-18",
            "capabilities": {},
            "clientInfo": {"name": "pellux-tests", "version": "0"},
        })
        self._send({"jsonrpc": "2.0", "method": "notifications/initialized"})

    def _send(self, message: dict[str, Any]) -> None:
        import json

        assert self.process.stdin is not None
        self.process.stdin.write(json.dumps(message).encode() + b"\n")
        self.process.stdin.flush()

    def submit(self, method: str, params: dict[str, Any]) -> int:
        """Sends a request without waiting for its answer; returns its id."""
        request_id = next(self._ids)
        self._send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        return request_id

    def _request(self, method: str, params: dict[str, Any], timeout: float = 30.0) -> Any:
        import json
        import select

        request_id = self.submit(method, params)
        assert self.process.stdout is not None
        deadline = time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, f"no answer to {method} within {timeout} s"
            line = self.process.stdout.readline()
            assert line, f"the server closed its output before answering {method}"
            message = json.loads(line)
            if message.get("id") == request_id:
                assert "error" not in message, message
                return message["result"]

    def call(self, tool: str, **arguments: Any) -> dict[str, Any]:
        result = self._request("tools/call", {"name": tool, "arguments": arguments})
        assert not result.get("isError"), result
        return result["structuredContent"]

    def call_raw(self, tool: str, **arguments: Any) -> dict[str, Any]:
        """The whole result, an error included."""
        return self._request("tools/call", {"name": tool, "arguments": arguments})

    def close_stdin(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()

    def kill(self) -> None:
        import signal

        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()


def labelled(text: str) -> dict[str, int]:
    """The `name=number` pairs printed in `text`."""
    import re

    return {name: int(value) for name, value in re.findall(r"\b(\w+)=(\d+)\b", text)}


# ---------------------------------------------------------------------------
# Over HTTP


def _transport_fixture() -> Any:
    import pytest

    @pytest.fixture(params=["stdio", "http"])
    def transport(request: Any) -> str:
        """The scenarios that must hold whatever carries the protocol take
        this fixture and pass it to connect()."""
        return request.param

    return transport


transport = _transport_fixture()

# Tokens for the tests' servers: two, so that two clients can differ in token.
TOKENS = ("first-test-token-0123456789", "second-test-token-0123456789")


class HttpServer:
    """`python -m pellux_agent --http 127.0.0.1:0 ...` as a subprocess, with
    the tokens in TOKENS; `url` is its MCP endpoint, `base` its root."""

    def __init__(self, *options: str, env: dict[str, str] | None = None, tokens: tuple[str, ...] = TOKENS) -> None:
        import subprocess
        import tempfile

        self._dir = tempfile.TemporaryDirectory(prefix="pellux-http-test-")
        token_file = os.path.join(self._dir.name, "tokens")
        with open(token_file, "w") as f:
            f.write("# tokens of the test server\n" + "\n".join(tokens) + "\n")
        self.tokens = tokens
        self.token = tokens[0]
        self.process = subprocess.Popen(
            [sys.executable, "-m", "pellux_agent", "--http", "127.0.0.1:0",
             "--token-file", token_file, *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=server_environment(env),
            cwd=PACKAGE_ROOT,
            start_new_session=True,
        )
        self.pid = self.process.pid
        self.url = self._wait_for_address()
        self.base = self.url.rsplit("/", 1)[0]
        self.port = int(self.base.rsplit(":", 1)[1])

    def _wait_for_address(self, timeout: float = 30.0) -> str:
        import select

        assert self.process.stderr is not None
        deadline = time.monotonic() + timeout
        seen = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.5)
            if not ready:
                continue
            line = self.process.stderr.readline()
            if not line:
                break
            seen += line
            if b"serving MCP at " in line:
                return line.decode().split("serving MCP at ", 1)[1].strip()
        self.stop()
        raise AssertionError(f"the HTTP server did not start: {seen.decode(errors='replace')}")

    def stop(self, timeout: float = 15.0) -> int | None:
        """SIGTERM, then the exit code (SIGKILL after `timeout`)."""
        import signal
        import subprocess

        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.pid, signal.SIGKILL)
                self.process.wait()
        if self.process.stderr is not None:
            self.process.stderr.close()
        self._dir.cleanup()
        return self.process.returncode

    def __enter__(self) -> HttpServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


@asynccontextmanager
async def connect_http(url: str, token: str, elicitation_callback: Any = None) -> AsyncIterator[Client]:
    """A client of a running HTTP server, through the SDK's streamable HTTP client."""
    from mcp.shared._httpx_utils import create_mcp_http_client

    http = create_mcp_http_client(headers={"Authorization": f"Bearer {token}"})
    async with connect_http_client(url, http, elicitation_callback) as client:
        yield client


@asynccontextmanager
async def connect_http_client(url: str, http: Any, elicitation_callback: Any = None) -> AsyncIterator[Client]:
    """A client of a running HTTP server through the given HTTP client
    (an httpx2.AsyncClient, closed on the way out)."""
    from mcp.client.streamable_http import streamable_http_client

    async with http:
        async with streamable_http_client(url, http_client=http) as (read, write):
            async with ClientSession(read, write, elicitation_callback=elicitation_callback) as session:
                await session.initialize()
                yield Client(session)
