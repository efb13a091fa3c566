"""Recordings of real sessions: a replay ends on the screen the live terminal
showed, the events are all there in order, characters split between reads
and bytes that are no characters come out as valid text, the size cap ends
the recording and not the session, and watch replays and follows a file.
Hidden values typed with send_secret are in none of it."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from pellux_agent import AsyncTerminal, Terminal
from pellux_agent.watch import Event, Header, RecordingError, read_events

WAIT_S = 20.0
SHELL = ["--norc", "--noprofile"]


def events(path: Path) -> list[Event]:
    return [e for e in read_events(path) if isinstance(e, Event)]


def replayed_screen(path: Path):
    """The screen a recording ends on, rendered by pellux_agent.screen."""
    from pellux_agent.screen import Screen

    items = list(read_events(path))
    header = items[0]
    assert isinstance(header, Header)
    rows, cols = header.height, header.width
    screen = Screen(rows, cols)
    for event in items[1:]:
        assert isinstance(event, Event)
        if event.kind == "o":
            screen.feed(event.data.encode("utf-8"))
        elif event.kind == "r":
            cols, rows = map(int, event.data.split("x"))
            screen.resize(rows, cols)
        elif event.kind == "m" and event.data == "restart":
            screen = Screen(rows, cols)  # as the live terminal starts a fresh one
    return screen.snapshot()


def test_a_replayed_recording_ends_on_the_live_screen(tmp_path: Path) -> None:
    pytest.importorskip("pellux_agent.screen")
    try:
        from pellux_agent.screen import Screen

        Screen(2, 2)
    except ImportError as missing:
        pytest.skip(f"no screen emulator: {missing}")
    cast = tmp_path / "session.cast"
    with Terminal("bash", SHELL, screen=True, record=cast, rows=20, cols=60) as t:
        assert t.read(10_000).status == "ready"
        # Carriage returns, absolute cursor moves, scrolling, a long line.
        t.send(r"printf 'abc\rX\n'; printf '\033[5;10Hhere\033[1;1H'; seq 1 30", 10_000)
        t.resize(30, 100)
        t.send("printf '%0150d\\n' 7; printf '\\033[?1049hon the other screen\\033[?1049l'", 10_000)
        t.restart(10_000)
        t.send("echo after restart; printf 'é€😀\\n'", 10_000)
        assert t.send("exit", 10_000).status == "exited"
        live = t.screen()
        assert "after restart" in live.text()
    replay = replayed_screen(cast)
    assert replay.rows == live.rows
    assert (replay.cursor_row, replay.cursor_col) == (live.cursor_row, live.cursor_col)

    # The events: in time order, the inputs as typed, the resize, the
    # restart, the end; the file is its owner's alone.
    recorded = events(cast)
    times = [e.time for e in recorded]
    assert times == sorted(times)
    inputs = "".join(e.data for e in recorded if e.kind == "i")
    assert "seq 1 30\n" in inputs and inputs.endswith("exit\n")
    assert [e.data for e in recorded if e.kind == "r"] == ["100x30"]
    assert [e.data for e in recorded if e.kind == "m"] == ["restart", "end"]
    assert recorded[-1].kind == "m"
    assert cast.stat().st_mode & 0o777 == 0o600
    header = json.loads(cast.read_text().splitlines()[0])
    assert (header["width"], header["height"], header["title"]) == (60, 20, "bash --norc --noprofile")


def test_split_characters_and_bytes_that_are_no_characters(tmp_path: Path) -> None:
    cast = tmp_path / "bytes.cast"
    # Each write reaches the reader on its own (the pauses), so the euro
    # sign and the emoji arrive cut in two and three pieces.
    program = (
        "import os, time\n"
        "for piece in [b'\\xe2', b'\\x82\\xac|', b'\\xf0\\x9f', b'\\x98', b'\\x80|', b'\\xff\\xc3(|', b'\\xed\\xa0\\x80|\\x1b[1m\"\\\\\\n']:\n"
        "    os.write(1, piece); time.sleep(0.05)\n"
    )
    with Terminal(sys.executable, ["-c", program], record=cast) as t:
        deadline = time.monotonic() + WAIT_S
        while t.read(2_000).status != "exited":
            assert time.monotonic() < deadline
    raw = cast.read_bytes()
    raw.decode("utf-8")  # the whole file is valid UTF-8
    for line in raw.splitlines():
        json.loads(line)
    text = "".join(e.data for e in events(cast) if e.kind == "o")
    # Whole characters where they were split; U+FFFD for each byte that
    # starts no valid character (a lone lead, a surrogate's encoding).
    assert text == "€|😀|\ufffd\ufffd(|\ufffd\ufffd\ufffd|\x1b[1m\"\\\r\n"


def test_the_cap_ends_the_recording_not_the_session(tmp_path: Path) -> None:
    cast = tmp_path / "capped.cast"
    with Terminal("bash", SHELL, record=cast, record_max_bytes=4096) as t:
        t.read(10_000)
        t.send("seq 1 5000 | tail -n 1", 10_000)
        t.send("seq 1 20000", 10_000)
        size = cast.stat().st_size
        assert 4096 - 600 < size <= 4096 and t.recording_size == size
        # The session goes on; the file does not grow.
        turn = t.send("echo still $((40+2))", 10_000)
        assert "still 42" in turn.output
    assert cast.stat().st_size == size
    last = events(cast)[-1]
    assert last.kind == "m" and last.data == "recording stopped: size cap of 4096 bytes reached"


def test_bad_recording_arguments_are_refused_before_anything_starts(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="record must be a non-empty path"):
        Terminal("bash", SHELL, record="")
    with pytest.raises(ValueError, match="record_max_bytes must be at least 1024"):
        Terminal("bash", SHELL, record=tmp_path / "x.cast", record_max_bytes=100)
    with pytest.raises(TypeError, match="record must be a path"):
        Terminal("bash", SHELL, record=3)  # type: ignore[arg-type]
    with pytest.raises(FileNotFoundError):
        Terminal("bash", SHELL, record=tmp_path / "missing" / "x.cast")
    # A link planted where the recording goes does not redirect it.
    target = tmp_path / "elsewhere"
    target.write_text("keep")
    (tmp_path / "link.cast").symlink_to(target)
    with pytest.raises(OSError):
        Terminal("bash", SHELL, record=tmp_path / "link.cast")
    assert target.read_text() == "keep"


def test_hidden_values_are_typed_only_into_a_hidden_line(tmp_path: Path) -> None:
    secret = "pa55-wörd"
    cast = tmp_path / "secret.cast"
    program = (
        "import getpass, termios; v = getpass.getpass('pw: '); print(len(v)); "
        "a = termios.tcgetattr(0); a[3] |= termios.ECHO; termios.tcsetattr(0, termios.TCSANOW, a); "
        "input('more: ')"
    )
    with Terminal(sys.executable, ["-c", program], record=cast) as t:
        assert t.read(10_000).output.endswith("pw: ")
        assert t.reads_hidden_line()
        with pytest.raises(ValueError, match="one line"):
            t.send_secret("two\nlines")
        turn = t.send_secret(secret, 10_000)
        assert turn.output.split() == [str(len(secret)), "more:"]
        # The terminal echoes now: refused, nothing typed (the program still waits).
        assert not t.reads_hidden_line()
        with pytest.raises(RuntimeError, match="terminal echoes input.*nothing was typed"):
            t.send_secret(secret)
        assert t.send("visible", 10_000).status == "exited"
        history = t.history()
    assert secret not in history and "visible" in history
    # A plain line read: no echo either (these terminals start without it),
    # but no password prompt; a shell would run the value as a command.
    with Terminal("sh", ready_markers=["$ "], env={"PS1": "$ "}) as t:
        t.read(10_000)
        assert not t.reads_hidden_line()
        with pytest.raises(RuntimeError, match="no program reads a password prompt on /dev/tty"):
            t.send_secret(secret)
        assert "found" not in t.send("echo ok", 10_000).output
    text = cast.read_text(encoding="utf-8")
    assert secret not in text and json.dumps(secret) not in text
    assert '"hidden input typed"' in text


@pytest.mark.anyio
@pytest.mark.parametrize("anyio_backend", ["asyncio"])
async def test_async_terminal_records_and_types_hidden_values(tmp_path: Path, anyio_backend: str) -> None:
    cast = tmp_path / "async.cast"
    async with AsyncTerminal(
        sys.executable, ["-c", "import getpass; print(len(getpass.getpass()))"], record=cast
    ) as t:
        await t.read(10_000)
        assert await t.reads_hidden_line()
        turn = await t.send_secret("abc", 10_000)
        assert turn.output.split() == ["3"] and turn.status == "exited"
        assert t.recording_size == cast.stat().st_size
    kinds = [e.kind + ":" + e.data for e in events(cast) if e.kind == "m"]
    assert kinds == ["m:hidden input typed", "m:end"]


def test_watch_replays_a_file_and_follows_a_live_one(tmp_path: Path) -> None:
    cast = tmp_path / "watched.cast"
    watch = [sys.executable, "-m", "pellux_agent.watch"]
    with Terminal("bash", SHELL, record=cast) as t:
        t.read(10_000)
        t.send("echo first-$((1+1))", 10_000)
        # Follows: what the session prints later reaches the watcher, and it
        # ends by itself when the session ends.
        follower = subprocess.Popen(
            [*watch, str(cast), "--speed", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        try:
            t.send("echo second-$((2+2))", 10_000)
        finally:
            pass
    try:
        out, err = follower.communicate(timeout=WAIT_S)
    finally:
        follower.kill()
    assert follower.returncode == 0, err
    assert b"first-2" in out and b"second-4" in out
    # Replays a finished one, the same bytes the program printed.
    done = subprocess.run(
        [*watch, str(cast), "--speed", "0", "--no-follow"], capture_output=True, timeout=WAIT_S
    )
    assert done.returncode == 0, done.stderr
    printed = "".join(e.data for e in events(cast) if e.kind == "o").encode()
    assert done.stdout == printed == out
    # A file that is not a recording: a message, no traceback.
    bad = tmp_path / "bad.cast"
    bad.write_text("hello\n")
    done = subprocess.run([*watch, str(bad)], capture_output=True, text=True, timeout=WAIT_S)
    assert done.returncode == 1 and "not an asciicast v2 recording" in done.stderr
    with pytest.raises(RecordingError):
        list(read_events(bad))


def test_a_session_recorded_through_the_mcp_server(tmp_path: Path) -> None:
    pytest.importorskip("mcp")
    import anyio

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from mcp_client import connect

    async def scenario() -> tuple[dict, str]:
        async with connect() as client:
            refused = await client.error("start_session", command="bash", args=SHELL, record=True)
        async with connect("--record-dir", str(tmp_path / "casts")) as client:
            sid, first = await client.start("bash", args=SHELL, record=True)
            await client.send(sid, "echo recorded-$((3*3))")
            await client.call("resize_session", session_id=sid, rows=10, cols=50)
            await client.call("close_session", session_id=sid)
        return first, refused

    first, refused = anyio.run(scenario)
    assert "--record-dir" in refused
    path = Path(first["recording"])
    assert path.parent == (tmp_path / "casts").resolve() and oct(path.parent.stat().st_mode & 0o777) == "0o700"
    recorded = events(path)
    assert "recorded-9" in "".join(e.data for e in recorded if e.kind == "o")
    assert ("r", "50x10") in [(e.kind, e.data) for e in recorded]
    assert recorded[-1].data == "end"
