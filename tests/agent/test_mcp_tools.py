"""The MCP server's tools against real programs, through the SDK's stdio client."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import connect, numbers, transport  # noqa: E402, F401

pytestmark = pytest.mark.anyio

TURN_KEYS = {"output", "status", "alive", "truncated", "foreground", "alt_screen", "echo_off"}


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


async def test_tools_are_described_for_a_model() -> None:
    async with connect() as client:
        tools = {t.name: t for t in (await client.session.list_tools()).tools}
    assert set(tools) == {
        "start_session", "send_input", "read_output", "send_interrupt",
        "restart_session", "close_session", "list_sessions", "get_history",
        "send_keys", "resize_session", "get_screen", "wait_for_output", "send_secret",
    }
    for tool in tools.values():
        assert tool.description and len(tool.description) > 60, tool.name
        assert tool.output_schema is not None, f"{tool.name} has no structured result"
    # When to interrupt and when to restart, and every status, are explained.
    assert "hangs" in tools["send_interrupt"].description
    assert "exited" in tools["restart_session"].description
    for name in (
        "start_session", "send_input", "read_output", "send_interrupt", "restart_session", "wait_for_output"
    ):
        for status in ("'ready'", "'quiet'", "'timeout'", "'exited'", "'limit'", "'interrupted'", "'matched'"):
            assert status in tools[name].description, (name, status)
        # What an agent does when a pager or an editor is in front.
        for advice in ("foreground", "'q'", ":q!", "echo_off", "alt_screen"):
            assert advice in tools[name].description, (name, advice)
    status = tools["send_input"].output_schema["properties"]["status"]
    assert set(status["enum"]) == {"ready", "quiet", "timeout", "exited", "limit", "interrupted", "matched"}


async def test_python_session_through_every_tool(transport: str) -> None:
    async with connect(transport=transport) as client:
        sid, first = await client.start("python3")
        assert first["status"] == "ready" and first["alive"] is True
        assert first["output"].endswith(">>> ")
        assert set(first) == {"session_id"} | TURN_KEYS

        turn = await client.send(sid, "6 * 7")
        front = turn["foreground"]
        assert front["name"].startswith("python") and front["pid"] > 0
        assert turn == {
            "output": "42\n>>> ", "status": "ready", "alive": True, "truncated": False,
            "foreground": front, "alt_screen": False, "echo_off": False,
        }

        # A compound statement, one line per call as the tool description says.
        for line in ("def double(x):", "    return 2 * x"):
            turn = await client.send(sid, line)
            assert (turn["output"], turn["status"]) == ("... ", "ready")
        assert (await client.send(sid, ""))["output"] == ">>> "
        assert (await client.send(sid, "double(21)"))["output"] == "42\n>>> "

        # A slow answer: the read gives up, the program keeps running, and the
        # rest arrives through read_output.
        turn = await client.send(sid, "import time; time.sleep(1.5); print('late')", timeout_ms=200)
        assert turn["status"] == "timeout" and turn["alive"] is True
        assert "late" not in turn["output"]
        now = await client.call("read_output", session_id=sid)  # timeout_ms=0: no wait
        assert "late" not in now["output"]
        later = await client.call("read_output", session_id=sid, timeout_ms=10_000)
        assert later["output"] == "late\n>>> " and later["status"] == "ready"

        # A command that never ends is stopped by Ctrl-C; the state survives.
        await client.send(sid, "kept = 5")
        turn = await client.send(sid, 'exec("while True: pass")', timeout_ms=300)
        assert turn["status"] == "timeout"
        turn = await client.call("send_interrupt", session_id=sid)
        assert "KeyboardInterrupt" in turn["output"] and turn["status"] == "ready"
        assert (await client.send(sid, "kept * 2"))["output"] == "10\n>>> "

        # The program exits; restart_session brings a fresh one.
        turn = await client.send(sid, "exit()")
        assert turn["status"] == "exited" and turn["alive"] is False
        listed = (await client.call("list_sessions"))["sessions"]
        assert [(s["session_id"], s["alive"]) for s in listed] == [(sid, False)]
        assert ">>> " in listed[0]["ready_markers"]
        turn = await client.call("restart_session", session_id=sid)
        assert turn["status"] == "ready" and turn["alive"] is True
        assert "NameError" in (await client.send(sid, "kept"))["output"]

        history = (await client.call("get_history", session_id=sid))["history"]
        assert "NameError" in history
        assert (await client.call("get_history", session_id=sid, max_chars=4))["history"] == ">>> "

        assert await client.call("close_session", session_id=sid) == {"closed": True}
        assert (await client.call("list_sessions"))["sessions"] == []


async def test_bash_gets_cwd_environment_and_size(tmp_path: Path, transport: str) -> None:
    tricky = "it's $(touch pwned) \"quoted\" `x` \\ end"
    async with connect(env={"PELLUX_MCP_GONE": "present"}, transport=transport) as client:
        sid, first = await client.start(
            "bash",
            cwd=str(tmp_path),
            env={"PELLUX_MCP_VALUE": tricky, "PELLUX_MCP_GONE": None},
            rows=33,
            cols=101,
        )
        assert first["status"] == "ready", first
        assert str(tmp_path) in (await client.send(sid, "pwd"))["output"]
        assert tricky in (await client.send(sid, 'printf "%s\\n" "$PELLUX_MCP_VALUE"'))["output"]
        assert "unset" in (await client.send(sid, 'echo "${PELLUX_MCP_GONE-unset}"'))["output"]
        assert "33 101" in (await client.send(sid, "stty size"))["output"]
        listed = (await client.call("list_sessions"))["sessions"][0]
        assert listed["command"] == "bash" and listed["cwd"] == str(tmp_path)
        assert str(listed["pid"]) in (await client.send(sid, "echo $$"))["output"]
        assert (listed["rows"], listed["cols"]) == (33, 101)
    assert not (tmp_path / "pwned").exists()


GDB_PROGRAM = r"""
#include <stdio.h>
static int square(int x) { return x * x; }
int main(void) {
    int n = square(7);
    printf("n=%d\n", n);
    return 0;
}
"""


@pytest.mark.skipif(not (shutil.which("gdb") and shutil.which("cc")), reason="needs gdb and cc")
async def test_gdb_debugs_a_c_program(tmp_path: Path, transport: str) -> None:
    (tmp_path / "square.c").write_text(GDB_PROGRAM)
    subprocess.run(["cc", "-g", "-O0", "-o", "square", "square.c"], cwd=tmp_path, check=True)
    async with connect(transport=transport) as client:
        sid, first = await client.start("gdb", args=["-q", "-nx", "./square"], cwd=str(tmp_path))
        assert first["status"] == "ready" and first["output"].endswith("(gdb) ")
        for setting in ("set pagination off", "set confirm off"):
            await client.send(sid, setting)
        assert "Breakpoint 1" in (await client.send(sid, "break square"))["output"]
        stopped = await client.send(sid, "run", timeout_ms=30_000)
        assert stopped["status"] == "ready" and "square (x=7)" in stopped["output"]
        trace = (await client.send(sid, "bt"))["output"]
        assert "#0" in trace and "#1" in trace and "main" in trace
        assert "= 49" in (await client.send(sid, "finish"))["output"]
        done = await client.send(sid, "continue", timeout_ms=30_000)
        assert "n=49" in done["output"] and "exited normally" in done["output"]
        assert done["status"] == "ready" and done["alive"] is True  # gdb itself runs on


@pytest.mark.skipif(shutil.which("sqlite3") is None, reason="needs sqlite3 (CI installs it)")
async def test_sqlite3_with_its_continuation_prompt(tmp_path: Path) -> None:
    async with connect() as client:
        sid, first = await client.start("sqlite3", args=[str(tmp_path / "t.db")])
        assert first["status"] == "ready", first
        await client.send(sid, "create table t(x integer);")
        await client.send(sid, "insert into t values (6 * 7);")
        # Without the semicolon sqlite3 asks for more: that is a prompt too.
        pending = await client.send(sid, "select x from t")
        assert pending["status"] == "ready" and "42" not in pending["output"]
        answer = await client.send(sid, ";")
        assert answer["status"] == "ready" and numbers(answer["output"]) == [42]
    assert (tmp_path / "t.db").stat().st_size > 0


async def test_sessions_run_in_parallel(tmp_path: Path) -> None:
    """A call waiting on one session never holds up calls on another.

    The first session waits for a file that only the second creates: were
    calls served one after the other, the first would run into its timeout.
    """
    flag = tmp_path / "flag"
    async with connect() as client:
        ids = []
        async with anyio.create_task_group() as tg:
            async def start_one() -> None:
                ids.append((await client.start("python3"))[0])
            for _ in range(3):
                tg.start_soon(start_one)
        waiter, creator, other = ids
        results: dict[str, dict] = {}

        async def wait_for_flag() -> None:
            # One line, so that no prompt comes back before the loop ends.
            loop = f"import os, time\\nwhile not os.path.exists({str(flag)!r}): time.sleep(0.01)"
            results["wait"] = await client.send(waiter, f'exec("{loop}")', timeout_ms=30_000)

        async with anyio.create_task_group() as tg:
            tg.start_soon(wait_for_flag)
            with anyio.fail_after(20):
                while True:
                    listed = (await client.call("list_sessions"))["sessions"]
                    if any(s["session_id"] == waiter and s["busy"] for s in listed):
                        break
                    await anyio.sleep(0.02)
            assert (await client.send(other, "6 * 7"))["output"] == "42\n>>> "
            await client.send(creator, f"open({str(flag)!r}, 'w').close()")
        assert results["wait"]["status"] == "ready", results
        assert {s["session_id"] for s in (await client.call("list_sessions"))["sessions"]} == set(ids)


async def test_send_interrupt_ends_a_send_input_in_progress_at_once() -> None:
    # The agent's client may call send_interrupt while send_input waits for
    # a long computation: the interrupt must not queue behind that read.
    async with connect() as client:
        sid, _ = await client.start("python3")
        results: dict[str, dict[str, object]] = {}

        async def long_send() -> None:
            results["send"] = await client.send(sid, "import time; time.sleep(600)", timeout_ms=600_000)

        async with anyio.create_task_group() as tg:
            tg.start_soon(long_send)
            await anyio.sleep(1.0)  # the send is under way
            with anyio.fail_after(30):  # not the sleep's ten minutes
                results["interrupt"] = await client.call("send_interrupt", session_id=sid, timeout_ms=20_000)
        assert results["send"]["status"] == "interrupted" and results["send"]["alive"] is True
        assert results["interrupt"]["status"] == "ready"
        assert "KeyboardInterrupt" in str(results["send"]["output"]) + str(results["interrupt"]["output"])
        assert (await client.send(sid, "6 * 7"))["output"] == "42\n>>> "
