"""Refusals that tell the truth: strict tool arguments, a line the terminal
would cut, a restart that cannot start, and what close and shutdown leave
behind (nothing they can find)."""

from __future__ import annotations

import shutil
import signal
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import RawServer, connect, labelled, running, wait_gone  # noqa: E402

pytestmark = pytest.mark.anyio


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


async def test_arguments_are_taken_as_they_are_or_refused() -> None:
    async with connect() as client:
        for bad, name in (
            ({"rows": "24"}, "rows"),
            ({"rows": True}, "rows"),
            ({"cols": 80.5}, "cols"),
            ({"screen": "yes"}, "screen"),
            ({"args": "-q"}, "args"),
            ({"colz": 100}, "colz"),
        ):
            message = await client.error("start_session", command="cat", **bad)
            assert name in message, (bad, message)
        assert "verbose" in await client.error("list_sessions", verbose=True)
        # Nothing was started by any of them, and a good call still works.
        assert (await client.call("list_sessions"))["sessions"] == []
        sid, _ = await client.start("cat", rows=24, screen=False, timeout_ms=3000)
        assert "timeout_ms" in await client.error(
            "send_input", session_id=sid, input="x", timeout_ms="100"
        )


async def test_a_line_longer_than_the_terminal_takes_is_refused_untyped() -> None:
    async with connect() as client:
        sid, _ = await client.start("cat", timeout_ms=3000)
        message = await client.error("send_input", session_id=sid, input="x" * 5000)
        assert "5000 bytes" in message and "4095" in message and "nothing was typed" in message
        # The longest line it takes arrives whole; nothing of the refused one does.
        whole = await client.send(sid, "y" * 4095, timeout_ms=5000)
        assert whole["output"].count("y") == 4095 and "x" not in whole["output"]
        # Several lines, each short enough, are fine in one input.
        lines = await client.send(sid, "\n".join(["z" * 3000] * 3), timeout_ms=5000)
        assert lines["output"].count("z") == 9000


async def test_a_restart_that_cannot_start_says_why(tmp_path: Path) -> None:
    program = tmp_path / "prog"
    shutil.copy2(shutil.which("cat") or "/bin/cat", program)
    async with connect() as client:
        sid, _ = await client.start(str(program), timeout_ms=3000)
        program.unlink()
        message = await client.error("restart_session", session_id=sid)
        assert "ENOENT" in message and "has exited" not in message
        # The session is over, and says why.
        message = await client.error("send_input", session_id=sid, input="x")
        assert "is closed" in message and "ENOENT" in message
        assert (await client.call("list_sessions"))["sessions"] == []


async def test_close_ends_a_process_that_left_the_session_but_holds_the_terminal() -> None:
    async with connect() as client:
        sid, _ = await client.start("bash", timeout_ms=5000)
        turn = await client.send(
            sid, "setsid sh -c 'echo escaped=$$; exec sleep 1000' & sleep 0.5", timeout_ms=10_000
        )
        escaped = labelled(turn["output"])["escaped"]
        assert running(escaped)
        with open(f"/proc/{escaped}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # Its own session, not the shell's.
        assert int(fields[3]) == escaped
        await client.call("close_session", session_id=sid)
        assert wait_gone([escaped], timeout=10) == []


def test_shutdown_removes_every_private_directory(tmp_path: Path) -> None:
    # A flood rendered on a screen keeps a session's thread busy when SIGTERM
    # comes; its private directory must go all the same.
    temp = tmp_path / "tmp"
    temp.mkdir()
    server = RawServer(env={"TMPDIR": str(temp)})
    try:
        sids = []
        for _ in range(2):
            sids.append(server.call("start_session", command="bash", screen=True)["session_id"])
        assert any(temp.iterdir())
        for sid in sids:
            server.submit("tools/call", {
                "name": "send_input",
                "arguments": {"session_id": sid, "input": "yes flood", "timeout_ms": 600_000},
            })
        time.sleep(1.0)
        server.process.send_signal(signal.SIGTERM)
        assert server.process.wait(timeout=20) == 0
        assert list(temp.iterdir()) == []
    finally:
        server.kill()
