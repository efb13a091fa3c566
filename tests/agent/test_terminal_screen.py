"""Full-screen programs through Terminal: keys alone drive less, top and a
progress bar read through screen(), and AsyncTerminal does the same."""

from __future__ import annotations

import asyncio
import shutil
from pathlib import Path

import pytest
from support import wait_until

from pellux_agent import AsyncTerminal, Terminal
from pellux_agent.presets import SHELL_PROMPT

pytest.importorskip("pyghostty", reason="the screen needs pyghostty (pip install '.[screen]')")


def _lines(count: int, tmp_path: Path) -> str:
    path = tmp_path / "numbers.txt"
    path.write_text("".join(f"line {n}\n" for n in range(1, count + 1)))
    return str(path)


def _screen_shows(t: Terminal, check, what: str):
    """Polls t.screen() until `check(snapshot)` holds; returns the snapshot."""
    found = []

    def look() -> bool:
        snap = t.screen()
        if check(snap):
            found.append(snap)
            return True
        return False

    wait_until(look, timeout=15, what=what)
    return found[0]


@pytest.mark.skipif(shutil.which("less") is None, reason="needs less")
def test_less_is_driven_by_keys_alone(tmp_path):
    with Terminal("less", [_lines(500, tmp_path)], env={"LESS": ""}, screen=True) as t:
        first = _screen_shows(t, lambda s: s.rows[0] == "line 1", "the first page")
        assert first.rows[22] == "line 23" and first.cursor_row == 23
        # less asked for application cursor keys; the arrows follow.
        assert t._resources.native.app_cursor
        t.send_keys(["pagedown"], timeout_ms=5_000)
        _screen_shows(t, lambda s: s.rows[0] == "line 24", "the second page")
        t.send_keys(["down"], timeout_ms=5_000)
        _screen_shows(t, lambda s: s.rows[0] == "line 25", "one line further")
        t.send_keys(["/line 4", "2", "enter"], timeout_ms=5_000)
        _screen_shows(t, lambda s: s.rows[0] == "line 42", "the search hit")
        t.send_keys(["n"], timeout_ms=5_000)
        _screen_shows(t, lambda s: s.rows[0] == "line 420", "the next hit")
        turn = t.send_keys("q", timeout_ms=10_000)
        assert (turn.status, turn.alive, turn.exit_code) == ("exited", False, 0)


@pytest.mark.skipif(shutil.which("less") is None, reason="needs less")
def test_a_shell_gets_nothing_stray_after_less_quits(tmp_path):
    with Terminal("bash", env={"LESS": ""}, screen=True) as t:
        assert t.read(timeout_ms=10_000).status == "ready"
        t.write(f"less {_lines(200, tmp_path)}\n")
        _screen_shows(t, lambda s: s.rows[0] == "line 1", "less's page")
        turn = t.send_keys("q", timeout_ms=10_000)
        assert turn.status == "ready" and turn.output.endswith(SHELL_PROMPT)
        # q alone left less: no line feed reached the shell after it.
        assert t.send("echo ok", timeout_ms=10_000).output.endswith("ok\n" + SHELL_PROMPT)
        assert t.screen().rows[t.screen().cursor_row] == SHELL_PROMPT.rstrip()


@pytest.mark.skipif(shutil.which("top") is None, reason="needs top")
def test_top_reads_through_the_screen():
    with Terminal("top", ["-d", "0.2"], rows=30, cols=100, screen=True) as t:
        snap = _screen_shows(
            t,
            lambda s: s.rows[0].startswith("top - ") and any("PID" in r and "COMMAND" in r for r in s.rows),
            "top's summary and process table",
        )
        header = next(i for i, r in enumerate(snap.rows) if "PID" in r)
        assert snap.rows[1].startswith("Tasks:")
        assert len(snap.rows) == 30 and all(len(r) <= 100 for r in snap.rows)
        assert snap.rows[header + 1].split()[0].isdigit()
        # A resize reaches top, which redraws at the new width.
        t.resize(20, 60)
        _screen_shows(
            t,
            lambda s: len(s.rows) == 20 and s.rows[0].startswith("top - ") and any("PID" in r for r in s.rows),
            "top redrawn at 20x60",
        )
        turn = t.send_keys("q", timeout_ms=10_000)
        assert (turn.status, turn.exit_code) == ("exited", 0)


def test_a_progress_bar_reads_as_its_final_state():
    script = (
        'for i in 0 10 20 30 40 50 60 70 80 90 100; do printf "\\rcopying [%-10s] %3d%%" '
        '"$(printf "%$((i / 10))s" | tr " " "#")" "$i"; sleep 0.01; done; printf "\\ndone\\n"'
    )
    with Terminal("sh", ["-c", script], ready_markers=[], screen=True) as t:
        turn = t.read(timeout_ms=10_000)
        assert turn.status == "exited"
        snap = t.screen()
    assert snap.rows[:2] == ["copying [##########] 100%", "done"]
    assert (snap.cursor_row, snap.cursor_col) == (2, 0)


def test_screen_needs_screen_true():
    with Terminal("cat") as t:
        with pytest.raises(RuntimeError, match="screen=True"):
            t.screen()
    with pytest.raises(TypeError, match="screen must be a bool"):
        Terminal("cat", screen="yes")  # type: ignore[arg-type]


def test_async_terminal_keys_screen_resize_and_exit_code():
    async def main() -> None:
        async with AsyncTerminal("sh", ["-c", "stty size; read -r line; exit 5"], ready_markers=[], screen=True) as t:
            assert (await t.read(timeout_ms=10_000)).output == "24 80\n"
            await t.resize(30, 90)
            assert t.size == (30, 90)
            snap = await t.screen()
            assert snap.rows[0] == "24 80"
            turn = await t.send_keys(["hello", "enter"], timeout_ms=10_000)
            assert (turn.status, turn.exit_code) == ("exited", 5)
            assert (t.exit_code, t.exit_signal) == (5, None)

    asyncio.run(main())


def test_a_resize_beyond_a_limit_changes_nothing():
    with Terminal("sh", ["-c", "read -r line; stty size"], ready_markers=[], screen=True) as t:
        for rows, cols in [(5000, 5000), (30, 1001), (0, 80)]:
            with pytest.raises(ValueError, match="must be between 1 and"):
                t.resize(rows, cols)
        with pytest.raises(TypeError, match="rows must be an int"):
            t.resize("30", 90)  # type: ignore[arg-type]
        assert t.size == (24, 80)
        assert len(t.screen().rows) == 24
        turn = t.send("go", timeout_ms=10_000)
        assert turn.output == "24 80\n"
    with Terminal("cat") as t:  # without a screen, the terminal's own limit
        with pytest.raises(ValueError, match="rows must be between 1 and 65535"):
            t.resize(70_000, 80)
        t.resize(2000, 3000)
        assert t.size == (2000, 3000)


@pytest.mark.skipif(shutil.which("vim") is None, reason="needs vim")
def test_vim_help_window_and_split_leave_no_stray_rows(tmp_path):
    _lines(200, tmp_path)
    path = "numbers.txt"  # as vim's status lines show it
    with Terminal("vim", ["-u", "NONE", "-N", "-i", "NONE", path], cwd=str(tmp_path), env={"HOME": "/nonexistent"},
                  screen=True) as t:
        first = _screen_shows(t, lambda s: s.rows[0] == "line 1" and s.rows[-1].startswith('"'), "the file")
        assert first.alt_screen and first.rows[:-1] == [f"line {n}" for n in range(1, 24)]
        t.send_keys([":help", "enter"], timeout_ms=10_000)
        shown = _screen_shows(t, lambda s: s.rows[0].startswith("*help.txt*"), "the help window")
        status = next(i for i, row in enumerate(shown.rows) if row.startswith("help.txt"))
        # Below the help window's status line, the file's window from its top.
        assert shown.rows[status + 1] == "line 1" and shown.rows[-2] == path
        t.send_keys([":q", "enter"], timeout_ms=10_000)
        after = _screen_shows(t, lambda s: s.rows[0] == "line 1", "the file again")
        assert after.rows[:-1] == first.rows[:-1]
        t.send_keys([":split", "enter"], timeout_ms=10_000)
        split = _screen_shows(t, lambda s: s.rows.count(path) == 2, "two windows on the file")
        top = split.rows.index(path)
        assert split.rows[0] == split.rows[top + 1] == "line 1"
        assert split.rows[1:top] == [f"line {n}" for n in range(2, top + 1)]
        t.send_keys([":q", "enter"], timeout_ms=10_000)
        after = _screen_shows(t, lambda s: s.rows.count(path) == 0 and s.rows[0] == "line 1", "one window")
        assert after.rows[:-1] == first.rows[:-1]
        turn = t.send_keys([":qa!", "enter"], timeout_ms=10_000)
        for _ in range(3):  # its last redraw may pause before it exits
            if turn.status == "exited":
                break
            turn = t.read(timeout_ms=10_000)
        assert (turn.status, turn.exit_code) == ("exited", 0)
        assert not t.screen().alt_screen  # it left its alternate screen
