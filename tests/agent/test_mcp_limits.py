"""Bad input, the server's limits and long answers, through the SDK's stdio client."""

from __future__ import annotations

import re
import shutil
import sys
from pathlib import Path

import anyio
import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import connect, numbers, wait_gone  # noqa: E402

from pellux_agent.server import MIN_OUTPUT_CHARS, shorten

pytestmark = pytest.mark.anyio


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


SESSION_TOOLS = {
    "send_input": {"input": "1"},
    "read_output": {},
    "send_interrupt": {},
    "restart_session": {},
    "close_session": {},
    "get_history": {},
}


async def test_every_bad_input_is_a_tool_error_and_the_server_serves_on(tmp_path: Path) -> None:
    not_executable = tmp_path / "data.txt"
    not_executable.write_text("just text\n")
    async with connect("--max-sessions", "2") as client:
        for tool, extra in SESSION_TOOLS.items():
            message = await client.error(tool, session_id="s999", **extra)
            assert "unknown session id 's999'" in message, (tool, message)

        assert "no such program" in await client.error("start_session", command="no-such-program-xyz")
        assert "command is empty" in await client.error("start_session", command="")
        message = await client.error("start_session", command=str(not_executable))
        assert str(not_executable) in message and "EACCES" in message
        message = await client.error("start_session", command="python3", cwd=str(tmp_path / "nowhere"))
        assert "cwd" in message and "nowhere" in message
        for size, value in (("rows", 0), ("rows", 1001), ("cols", 0), ("cols", 5000)):
            message = await client.error("start_session", command="python3", **{size: value})
            assert f"{size} must be between 1 and 1,000, got {value:,}" in message
        message = await client.error("start_session", command="python3", timeout_ms=-1)
        assert "timeout_ms must be between 0 and" in message
        assert "rows" in await client.error("start_session", command="python3", rows="many")
        assert "ready_markers" in await client.error(
            "start_session", command="python3", ready_markers=[""]
        )
        assert "NUL" in await client.error("start_session", command="python3", args=["a\0b"])
        assert (await client.call("list_sessions"))["sessions"] == []  # nothing was left started

        first, _ = await client.start("python3")
        second, _ = await client.start("python3")
        for tool in ("send_input", "read_output", "send_interrupt", "restart_session"):
            message = await client.error(tool, session_id=first, timeout_ms=600_001, **(
                {"input": "1"} if tool == "send_input" else {}))
            assert "timeout_ms must be between 0 and 600,000" in message, tool
        assert "max_chars" in await client.error("get_history", session_id=first, max_chars=0)

        message = await client.error("start_session", command="python3")
        assert "too many sessions" in message and "2" in message
        await client.call("close_session", session_id=second)
        message = await client.error("send_input", session_id=second, input="1")
        assert f"session '{second}' is closed" in message
        assert "is closed" in await client.error("close_session", session_id=second)
        third, _ = await client.start("python3")  # the closed one freed its slot
        assert third not in (first, second)

        # After all that, the sessions still answer.
        for sid in (first, third):
            assert (await client.send(sid, "6 * 7"))["output"] == "42\n>>> "


async def test_a_program_that_dies_at_once_reports_exited(tmp_path: Path) -> None:
    async with connect() as client:
        script = tmp_path / "bye.sh"
        script.write_text("#!/bin/sh\necho bye from $(pwd); exit 3\n")
        script.chmod(0o755)
        # A relative command is found from the session's directory.
        sid, first = await client.start("./bye.sh", cwd=str(tmp_path))
        assert first["alive"] is False and first["status"] == "exited"
        assert f"bye from {tmp_path}" in first["output"]
        message = await client.error("send_input", session_id=sid, input="anything")
        assert sid in message and "has exited" in message and "restart_session" in message
        again = await client.call("restart_session", session_id=sid)
        assert "bye" in again["output"] and again["alive"] is False


async def test_allow_list(tmp_path: Path) -> None:
    python = shutil.which("python3")
    assert python is not None
    impostor = tmp_path / "python3"
    impostor.write_text("#!/bin/sh\necho impostor\n")
    impostor.chmod(0o755)
    async with connect("--allow", "python3", "--allow", "/bin/true") as client:
        message = await client.error("start_session", command="bash")
        assert "'bash' is not allowed" in message and "python3" in message
        await client.start("python3")
        await client.start(python)  # the same program, by path
        # A name is looked up along the PATH the program would get.
        message = await client.error(
            "start_session", command="python3", env={"PATH": str(tmp_path)}
        )
        assert "not allowed" in message and str(impostor) in message
        assert "not allowed" in await client.error("start_session", command=str(impostor))


async def test_long_answers_keep_head_and_tail() -> None:
    async with connect("--max-output-chars", "400") as client:
        sid, _ = await client.start("python3")
        short = await client.send(sid, "print('x' * 100)")
        assert short["truncated"] is False and short["output"] == "x" * 100 + "\n>>> "

        turn = await client.send(sid, "print('HEAD' + 'x' * 5000 + 'TAIL')")
        output = turn["output"]
        assert turn["truncated"] is True and turn["status"] == "ready"
        assert len(output) <= 400
        assert output.startswith("HEAD") and output.endswith("TAIL\n>>> ")
        notes = [line for line in output.splitlines() if "left out" in line]
        assert len(notes) == 1 and "get_history" in notes[0]
        left_out = int(re.search(r"([\d,]+) characters", notes[0]).group(1).replace(",", ""))
        assert len(output) - len(notes[0]) - 2 + left_out == len("HEAD" + "x" * 5000 + "TAIL\n>>> ")

        history = (await client.call("get_history", session_id=sid, max_chars=100_000))["history"]
        assert "HEAD" + "x" * 5000 + "TAIL" in history
        # By default get_history answers within the same size.
        assert len((await client.call("get_history", session_id=sid))["history"]) == 400


@given(
    # Without "[" the text cannot contain a note of its own.
    text=st.text(st.characters(blacklist_characters="["), max_size=3000),
    limit=st.integers(min_value=MIN_OUTPUT_CHARS, max_value=2500),
)
def test_shorten_keeps_the_ends_and_counts_what_it_leaves_out(text: str, limit: int) -> None:
    short, truncated = shorten(text, limit)
    assert truncated == (len(text) > limit)
    if not truncated:
        assert short == text
        return
    assert len(short) <= limit
    start = short.index("\n[... ")
    end = short.index(" ...]\n", start) + len(" ...]\n")
    head, note, tail = short[:start], short[start:end], short[end:]
    left_out = int(re.search(r"([\d,]+) characters", note).group(1).replace(",", ""))
    assert text.startswith(head) and text.endswith(tail)
    assert len(head) + left_out + len(tail) == len(text)
    assert len(tail) >= len(head)


async def test_idle_sessions_are_closed(tmp_path: Path) -> None:
    async with connect("--idle-timeout", "1") as client:
        sid, _ = await client.start("python3")
        (pid,) = numbers((await client.send(sid, "import os; os.getpid()"))["output"])
        with anyio.fail_after(20):
            while (await client.call("list_sessions"))["sessions"]:
                await anyio.sleep(0.1)
        message = await client.error("send_input", session_id=sid, input="1")
        assert "is closed" in message and "unused for 1 s" in message
        assert wait_gone([pid], timeout=10) == []
        # A session in use is not idle, however long its call takes.
        busy, _ = await client.start("python3")
        turn = await client.send(busy, "import time; time.sleep(2); print('done')", timeout_ms=20_000)
        assert "done" in turn["output"] and turn["alive"] is True
