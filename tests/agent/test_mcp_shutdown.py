"""When the client goes away or the server is told to stop, no program is left running.

The programs run in terminal sessions of their own, so the signals a client
sends the server's process group never reach them: the server must end them,
background jobs included, also while a session is stuck in a long read.
"""

from __future__ import annotations

import signal
import sys
import time
from pathlib import Path

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import RawServer, connect, labelled, numbers, running, wait_gone  # noqa: E402

# A read that would go on for ten minutes if nothing ended it.
STUCK = "import time; time.sleep(600)"


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


@pytest.mark.anyio
async def test_client_leaving_mid_call_ends_every_program() -> None:
    async with connect() as client:
        shell, _ = await client.start("bash")
        pids = labelled(
            (await client.send(shell, "sleep 300 & echo job=$!; echo shell=$$ server=$PPID"))["output"]
        )
        python, _ = await client.start("python3")
        (python_pid,) = numbers((await client.send(python, "import os; os.getpid()"))["output"])
        async with anyio.create_task_group() as tg:
            tg.start_soon(lambda: client.send(python, STUCK, timeout_ms=600_000))
            with anyio.fail_after(20):
                while not any(s["busy"] for s in (await client.call("list_sessions"))["sessions"]):
                    await anyio.sleep(0.02)
            tg.cancel_scope.cancel()  # the client leaves with the call pending
    pids = [pids["shell"], pids["job"], pids["server"], python_pid]
    assert wait_gone(pids, timeout=15) == [], "left running after the client left"


@pytest.mark.anyio
async def test_close_session_ends_a_session_stuck_in_a_read() -> None:
    async with connect() as client:
        stuck, _ = await client.start("python3")
        (pid,) = numbers((await client.send(stuck, "import os; os.getpid()"))["output"])
        other, _ = await client.start("python3")
        answers: list[object] = []

        async def wait_long() -> None:
            answers.append(await client.call_raw(
                "send_input", session_id=stuck, input=STUCK, timeout_ms=600_000))

        async with anyio.create_task_group() as tg:
            tg.start_soon(wait_long)
            with anyio.fail_after(20):
                while not any(s["busy"] for s in (await client.call("list_sessions"))["sessions"]):
                    await anyio.sleep(0.02)
                assert await client.call("close_session", session_id=stuck) == {"closed": True}
        # The pending call came back (not after ten minutes) and the program is gone.
        assert len(answers) == 1
        assert wait_gone([pid], timeout=5) == []
        assert [s["session_id"] for s in (await client.call("list_sessions"))["sessions"]] == [other]
        assert (await client.send(other, "6 * 7"))["output"] == "42\n>>> "


def _programs_of(server: RawServer) -> tuple[list[int], str]:
    """Starts a shell with a background job and a Python stuck in a read; returns their pids."""
    shell = server.call("start_session", command="bash")["session_id"]
    shell_pids = labelled(
        server.call("send_input", session_id=shell, input="sleep 300 & echo job=$!; echo shell=$$")["output"]
    )
    python = server.call("start_session", command="python3")["session_id"]
    (python_pid,) = numbers(
        server.call("send_input", session_id=python, input="import os; os.getpid()")["output"]
    )
    server.submit("tools/call", {
        "name": "send_input",
        "arguments": {"session_id": python, "input": STUCK, "timeout_ms": 600_000},
    })
    time.sleep(0.3)  # let the read begin; the test holds with or without it
    return [shell_pids["shell"], shell_pids["job"], python_pid], python


@pytest.mark.parametrize("how", ["stdin closes", "SIGTERM"])
def test_server_ends_its_programs_and_exits_by_itself(how: str) -> None:
    server = RawServer()
    try:
        pids, _ = _programs_of(server)
        assert all(running(pid) for pid in pids)
        began = time.monotonic()
        if how == "stdin closes":
            server.close_stdin()
        else:
            server.process.send_signal(signal.SIGTERM)
        # Nobody else signals it here: it must end on its own, and in time
        # for a client that kills it after a grace period.
        code = server.process.wait(timeout=15)
        took = time.monotonic() - began
        assert wait_gone(pids, timeout=5) == []
        assert code == 0, code
        print(f"server ended {how}: {took:.2f} s")
    finally:
        server.kill()
