"""The MCP server's keys, resize, screen and exit status, through the SDK's stdio client."""

from __future__ import annotations

import shutil
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
pytest.importorskip("pyghostty", reason="the screen needs pyghostty (pip install '.[screen]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import Client, connect, transport  # noqa: E402, F401

pytestmark = pytest.mark.anyio

# Generous: the machine running the tests may be busy.
WAIT_S = 15.0


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


async def screen_until(client: Client, sid: str, condition, what: str) -> dict:
    """get_screen until `condition(rows)` holds, letting output arrive between looks."""
    deadline = time.monotonic() + WAIT_S
    while True:
        shown = await client.call("get_screen", session_id=sid)
        if condition(shown["rows"]):
            return shown
        assert time.monotonic() < deadline, f"the screen never showed {what}: {shown['rows']}"
        await client.call("read_output", session_id=sid, timeout_ms=100)


async def test_the_new_tools_are_described_for_a_model() -> None:
    async with connect() as client:
        tools = {t.name: t for t in (await client.session.list_tools()).tools}
    assert {"send_keys", "resize_session", "get_screen"} <= set(tools)
    keys = tools["send_keys"].description
    assert "send_input" in keys and "'q'" in keys and "pagedown" in str(tools["send_keys"].input_schema)
    assert "screen=false" in tools["get_screen"].description
    assert "SIGWINCH" in tools["resize_session"].description
    assert "screen" in tools["start_session"].input_schema["properties"]
    for name in ("send_input", "send_keys", "get_screen"):
        assert "exit_code" in tools[name].output_schema["properties"], name


@pytest.mark.skipif(shutil.which("less") is None, reason="needs less")
async def test_less_driven_by_keys_and_read_from_the_screen(tmp_path: Path, transport: str) -> None:
    text = tmp_path / "numbers.txt"
    text.write_text("".join(f"line {n}\n" for n in range(1, 501)))
    async with connect(transport=transport) as client:
        sid, _ = await client.start("less", args=[str(text)], screen=True, env={"LESS": ""})
        shown = await screen_until(client, sid, lambda rows: rows[0] == "line 1", "the first page")
        assert len(shown["rows"]) == 24 and shown["rows"][22] == "line 23"
        assert "exit_code" not in shown and shown["alive"] is True

        await client.call("send_keys", session_id=sid, keys=["pagedown"], timeout_ms=1000)
        await screen_until(client, sid, lambda rows: rows[0] == "line 24", "the second page")
        await client.call("send_keys", session_id=sid, keys=["end"], timeout_ms=1000)
        await screen_until(client, sid, lambda rows: "line 500" in rows, "the last line")
        await client.call("send_keys", session_id=sid, keys=["home", "/line 42", "enter"],
                          timeout_ms=1000)
        await screen_until(client, sid, lambda rows: rows[0] == "line 42", "the search hit")

        # q alone quits: no line feed follows it.
        turn = await client.call("send_keys", session_id=sid, keys="q", timeout_ms=10_000)
        assert (turn["status"], turn["alive"], turn["exit_code"]) == ("exited", False, 0)
        assert "signal" not in turn


@pytest.mark.skipif(shutil.which("top") is None, reason="needs top")
async def test_top_through_the_screen_and_a_resize() -> None:
    async with connect() as client:
        sid, _ = await client.start("top", args=["-d", "0.3"], screen=True, rows=24, cols=80,
                                    timeout_ms=500)
        shown = await screen_until(
            client, sid, lambda rows: rows[0].startswith("top - ") and any("PID" in r for r in rows),
            "top's table",
        )
        assert shown["rows"][1].startswith("Tasks:")
        assert await client.call("resize_session", session_id=sid, rows=40, cols=120) == {
            "rows": 40, "cols": 120
        }
        shown = await screen_until(
            client, sid, lambda rows: len(rows) == 40 and any(len(r) > 80 for r in rows),
            "top redrawn at 40x120",
        )
        listed = (await client.call("list_sessions"))["sessions"][0]
        assert (listed["rows"], listed["cols"], listed["screen"]) == (40, 120, True)
        turn = await client.call("send_keys", session_id=sid, keys="q", timeout_ms=10_000)
        assert (turn["status"], turn["exit_code"]) == ("exited", 0)


async def test_a_progress_bar_shows_its_last_state() -> None:
    script = (
        'for i in 0 20 40 60 80 100; do printf "\\r[%-5s] %3d%%" '
        '"$(printf "%$((i / 20))s" | tr " " "#")" "$i"; sleep 0.02; done; echo; sleep 30'
    )
    async with connect() as client:
        sid, first = await client.start("sh", args=["-c", script], screen=True, timeout_ms=500)
        shown = await screen_until(client, sid, lambda rows: rows[0].endswith("100%"), "100%")
        assert shown["rows"][0] == "[#####] 100%"
        assert (shown["cursor_row"], shown["cursor_col"]) == (1, 0)


async def test_exit_status_and_signal_reach_the_results() -> None:
    async with connect() as client:
        sid, first = await client.start("bash")
        assert "exit_code" not in first and "signal" not in first
        turn = await client.send(sid, "exit 7")
        assert (turn["status"], turn["alive"], turn["exit_code"]) == ("exited", False, 7)
        message = await client.error("send_input", session_id=sid, input="echo again")
        assert "exited with code 7" in message and "restart_session" in message

        turn = await client.call("restart_session", session_id=sid)
        assert turn["status"] == "ready" and "exit_code" not in turn
        turn = await client.send(sid, "kill -9 $$")
        assert (turn["status"], turn["signal"]) == ("exited", 9)
        assert "exit_code" not in turn
        message = await client.error("send_keys", session_id=sid, keys=["enter"])
        assert "killed by SIGKILL (9)" in message


async def test_resize_reaches_the_program_and_keys_edit_a_line(transport: str) -> None:
    async with connect(transport=transport) as client:
        sid, _ = await client.start("bash", rows=24, cols=80)
        await client.call("resize_session", session_id=sid, rows=33, cols=101)
        assert "33 101" in (await client.send(sid, "stty size"))["output"]
        # Keys without Enter, then Enter as a key: the answer comes back as a turn.
        turn = await client.call("send_keys", session_id=sid, keys="echo 12")
        assert turn["alive"] is True
        turn = await client.call("send_keys", session_id=sid,
                                 keys=["left", "left", "X", "end", "Y", "enter"])
        assert "X12Y" in turn["output"] and turn["status"] == "ready"


async def test_bad_keys_sizes_and_screens_are_tool_errors() -> None:
    async with connect() as client:
        # Every session has a screen unless it opts out.
        sid, _ = await client.start("bash", screen=False)
        assert "has no screen" in await client.error("get_screen", session_id=sid)
        assert "screen=false" in await client.error("get_screen", session_id=sid)
        assert "unknown key 'pgdwn'" in await client.error(
            "send_keys", session_id=sid, keys=["pgdwn"]
        )
        assert "keys is empty" in await client.error("send_keys", session_id=sid, keys=[])
        assert "rows must be between 1 and 1,000" in await client.error(
            "resize_session", session_id=sid, rows=0, cols=80
        )
        assert "cols must be between" in await client.error(
            "resize_session", session_id=sid, rows=24, cols=5000
        )
        assert "unknown session id 'nope'" in await client.error("get_screen", session_id="nope")
        assert "scrollback must be between" in await client.error(
            "get_screen", session_id=sid, scrollback=-1
        )
        # The server keeps serving after every error.
        answer = await client.send(sid, "echo fine")
        assert "fine" in answer["output"].split() and answer["status"] == "ready", answer


async def test_scrollback_on_request_within_the_answer_size() -> None:
    async with connect("--max-output-chars", "2000") as client:
        sid, _ = await client.start("bash", screen=True, rows=10, cols=80)
        await client.send(sid, "for i in $(seq 1 300); do echo \"row $i $(printf '%60s' | tr ' ' x)\"; done")
        shown = await client.call("get_screen", session_id=sid)
        assert shown["scrollback"] == []
        shown = await client.call("get_screen", session_id=sid, scrollback=1000)
        assert 0 < len(shown["scrollback"]) < 300
        assert sum(len(r) + 1 for r in shown["rows"] + shown["scrollback"]) <= 2000
        # The latest lines are the ones kept, oldest first, right above the rows.
        numbers = [int(line.split()[1]) for line in shown["scrollback"]]
        assert numbers == list(range(numbers[0], numbers[0] + len(numbers)))
        first_row = int(shown["rows"][0].split()[1])
        assert numbers[-1] == first_row - 1


async def test_every_session_has_a_screen_unless_the_emulator_is_missing() -> None:
    async with connect() as client:
        tools = {t.name: t for t in (await client.session.list_tools()).tools}
        assert tools["start_session"].input_schema["properties"]["screen"]["default"] is True
        sid, _ = await client.start("sh", args=["-c", "printf '\\033[?1049hfull'; read -r x"], ready_markers=[])
        shown = await screen_until(client, sid, lambda rows: rows[0] == "full", "the program's screen")
        assert shown["alt_screen"] is True
    # An emulator whose library cannot load: no screen by default, and asking
    # for one says why.
    async with connect(env={"PYGHOSTTY_LIB": "/nonexistent/libghostty-vt.so"}) as client:
        tools = {t.name: t for t in (await client.session.list_tools()).tools}
        assert tools["start_session"].input_schema["properties"]["screen"]["default"] is False
        sid, _ = await client.start("sh", args=["-c", "read -r x"], ready_markers=[])
        assert "has no screen" in await client.error("get_screen", session_id=sid)
        message = await client.error("start_session", command="sh", screen=True)
        assert "pip install 'pellux[screen]'" in message
