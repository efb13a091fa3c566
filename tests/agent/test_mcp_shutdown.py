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
