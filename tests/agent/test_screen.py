"""The screen: real full-screen programs, progress bars, cut input, bounds."""

from __future__ import annotations

import shutil
import unicodedata
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("pyghostty", reason="the screen needs pyghostty (pip install '.[screen]')")
from pellux_agent import screen as screen_module  # noqa: E402
from pellux_agent.screen import Screen  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pty_support import PtyProgram  # noqa: E402


def test_a_progress_bar_reads_as_its_final_state() -> None:
    script = (
        'for i in 0 10 20 30 40 50 60 70 80 90 100; do printf "\\rcopying [%-10s] %3d%%" '
        '"$(printf "%$((i / 10))s" | tr " " "#")" "$i"; sleep 0.01; done; printf "\\ndone\\n"'
    )
    with PtyProgram(["sh", "-c", script]) as program:
        program.wait_exit()
        snap = program.screen.snapshot()
    assert snap.rows[:2] == ["copying [##########] 100%", "done"]
    assert (snap.cursor_row, snap.cursor_col) == (2, 0)
    # The raw output held all eleven states on one line.
    assert program.raw.count(b"\r") >= 11


@pytest.mark.skipif(shutil.which("top") is None, reason="needs top")
def test_top_reads_as_its_screen() -> None:
    with PtyProgram(["top", "-d", "0.2"], rows=30, cols=100) as top:
        snap = top.wait_for(
            lambda s: s.rows[0].startswith("top - ") and any("PID" in r and "COMMAND" in r for r in s.rows),
            "top's summary and process table",
        )
        header = next(i for i, r in enumerate(snap.rows) if "PID" in r)
        assert snap.rows[1].startswith("Tasks:")
        assert len(snap.rows) == 30 and all(len(r) <= 100 for r in snap.rows)
        # Process rows start with a pid; a redraw replaced the first frame in place.
        assert snap.rows[header + 1].split()[0].isdigit()
        top.wait_for(lambda s: top.raw.count(b"top - ") >= 3, "two more frames")
        assert top.screen.snapshot().rows[0].startswith("top - ")
        top.press("q")
        top.wait_exit()


@pytest.mark.skipif(shutil.which("less") is None, reason="needs less")
def test_the_shell_screen_comes_back_after_less_quits(tmp_path: Path) -> None:
    text = tmp_path / "page.txt"
    text.write_text("".join(f"page line {n}\n" for n in range(200)))
    with PtyProgram(["bash", "--norc", "--noprofile"], env={"PS1": "$ ", "LESS": ""}) as bash:
        bash.wait_for(lambda s: s.rows[0] == "$", "the prompt")
        bash.press(["echo before less", "enter"])
        # Keys typed before the prompt would be echoed by the terminal first.
        bash.wait_for(lambda s: s.rows[1:3] == ["before less", "$"], "the echo and a prompt")
        bash.press([f"less {text}", "enter"])
        bash.wait_for(lambda s: s.rows[0] == "page line 0", "less's page")
        bash.press("q")
        # The command line wraps where the temporary path is long.
        snap = bash.wait_for(
            lambda s: s.cursor_row >= 3 and s.rows[s.cursor_row] == "$", "the shell again"
        )
        assert snap.rows[:2] == ["$ echo before less", "before less"]
        assert "".join(snap.rows[2 : snap.cursor_row]) == f"$ less {text}"
        assert not any("page line" in row for row in snap.rows)
        assert snap.cursor_col == 2


def test_cut_input_renders_like_whole_input() -> None:
    stream = (
        "plain\r\n\x1b[1;31mred\x1b[m é漢字 \x1b[2;5Hmoved\x1b[Kx\x1b[3;1H\x1b]0;title\x07"
        "ok\x1b[?1049h\x1b[Halt\x1b[?1049lback\r\nwrapped " + "w" * 90 + "\r\n\x1b[Aup"
    ).encode()
    whole = Screen(6, 40)
    whole.feed(stream)
    expected = whole.snapshot()
    # Text over a wide character replaces it; the alternate screen gives
    # the rows and the cursor back; a long line wraps; the first line has
    # scrolled off.
    assert expected.rows == [
        "red movedx", "okback", "wrapped " + "w" * 32, "w" * 40, "up" + "w" * 16, ""
    ]
    assert expected.scrollback == ["plain"]
    for cut in range(1, len(stream)):
        pieces = Screen(6, 40)
        pieces.feed(stream[:cut])
        pieces.feed(stream[cut:])
        assert pieces.snapshot() == expected, cut


def test_rows_cursor_and_wide_characters() -> None:
    s = Screen(4, 10)
    s.feed("ab漢字\x1b[3;4Hx".encode())
    snap = s.snapshot()
    assert snap.rows == ["ab漢字", "", "   x", ""]
    assert (snap.cursor_row, snap.cursor_col) == (2, 4)
    s.feed(b"\x1b[1;1H" + b"0123456789")  # a full row leaves the cursor on its last cell
    assert s.snapshot().rows[0] == "0123456789" and s.snapshot().cursor_col == 9
    assert s.snapshot().text() == "0123456789\n\n   x"


def test_scrollback_keeps_the_latest_lines_within_its_bound() -> None:
    s = Screen(3, 20, scrollback=5)
    s.feed(b"".join(b"line %d\r\n" % n for n in range(100)))
    snap = s.snapshot()
    assert snap.rows == ["line 98", "line 99", ""]
    assert snap.scrollback == [f"line {n}" for n in range(93, 98)]
    none = Screen(3, 20, scrollback=0)
    none.feed(b"a\r\nb\r\nc\r\nd\r\n")
    assert none.snapshot().scrollback == []
    # Scrolling inside a region below the top row (a full-screen program's
    # title kept fixed) or on the alternate screen keeps nothing.
    region = Screen(4, 20, scrollback=5)
    region.feed(b"\x1b[2;4r\x1b[4;1H" + b"x\r\n" * 10)
    assert region.snapshot().scrollback == []
    alt = Screen(3, 20, scrollback=5)
    alt.feed(b"\x1b[?1049h" + b"y\r\n" * 10 + b"\x1b[?1049l")
    assert alt.snapshot().scrollback == []


def test_resize_keeps_the_cursor_row_in_view() -> None:
    s = Screen(6, 20, scrollback=10)
    s.feed(b"one\r\ntwo\r\nthree\r\nfour")
    s.resize(3, 20)
    snap = s.snapshot()
    assert snap.rows == ["two", "three", "four"] and snap.scrollback == ["one"]
    assert (snap.cursor_row, snap.cursor_col) == (2, 4)
    # Narrower, the lines reflow as in a terminal window: the cursor's line
    # stays at the bottom, the wrapped rows above it go to the scrollback.
    s.resize(3, 3)
    narrow = s.snapshot()
    assert narrow.rows == ["ee", "fou", "r"] and (narrow.cursor_row, narrow.cursor_col) == (2, 1)
    assert narrow.scrollback[-3:] == ["one", "two", "thr"]
    # Wider and taller, the wrapped lines join again and come back from the
    # scrollback, the cursor still after "four".
    s.resize(5, 30)
    assert s.snapshot().rows == ["one", "two", "three", "four", ""]
    assert (s.snapshot().cursor_row, s.snapshot().cursor_col) == (3, 4)
    s.feed(b"\r\n" + b"z" * 30)
    assert s.snapshot().rows[4] == "z" * 30 and (s.rows, s.cols) == (5, 30)
    # A prompt at the top with empty rows below keeps its place.
    top = Screen(10, 20)
    top.feed(b"$ ")
    top.resize(4, 20)
    assert top.snapshot().rows[0] == "$" and top.snapshot().cursor_row == 0


def test_saved_cursor_is_one_slot_not_a_growing_stack() -> None:
    s = Screen(5, 20)
    s.feed(b"\x1b[2;3H\x1b7" * 10_000)
    s.feed(b"\x1b[5;1H\x1b8a\x1b[5;1H\x1b8b")
    assert s.snapshot().rows[1] == "  b" and s.snapshot().cursor_col == 3


def test_a_full_reset_leaves_the_alternate_screen_blank() -> None:
    s = Screen(3, 10)
    s.feed(b"main")
    s.feed(b"\x1b[?1049hfull\x1bc")
    assert s.snapshot().rows == ["", "", ""]
    s.feed(b"\x1b[?1049l")  # nothing left to come back to
    assert s.snapshot().rows == ["", "", ""]


def test_bad_sizes_and_a_missing_emulator(monkeypatch: pytest.MonkeyPatch) -> None:
    for rows, cols, error in [(0, 80, ValueError), (24, 1001, ValueError), (24.0, 80, TypeError),
                              (True, 80, TypeError)]:
        with pytest.raises(error, match="rows|cols"):
            Screen(rows, cols)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="scrollback"):
        Screen(24, 80, scrollback=-1)
    with pytest.raises(ValueError, match="cols must be between 1 and 1000"):
        Screen(24, 80).resize(24, 0)
    monkeypatch.setitem(sys.modules, "pyghostty", None)
    with pytest.raises(ImportError, match=r"pip install 'pellux\[screen\]'"):
        Screen(24, 80)


def test_sequences_the_emulator_cannot_do_are_ignored() -> None:
    # pyte raises on these (a private marker its handler does not take, too
    # many numbers) and would drop the rest of the output fed with them.
    s = Screen(3, 20)
    s.feed(b"a\x1b[?Xb\x1b[1;2;3;4Hc\x1b[?5;6Jd\r\nnext")
    snap = s.snapshot()
    assert snap.rows[:2] == ["abcd", "next"]


_PIECES = [
    b"\x1b[", b"\x1b[?", b"\x1b]", b"\x1bP", b"\x1b7", b"\x1b8", b"\x1bc", b"\x1bM", b"\x1b#8",
    b"1049h", b"1049l", b"3h", b"r", b"H", b"J", b"K", b"L", b"M", b"@", b"P", b"X", b"m", b";",
    b"999999999", b"5", b"\r", b"\n", b"\x08", b"\t", "漢".encode(), b"\xc3", b"\xff", b"xxxxxxxx",
    b"\x07", b"\x1b\\", b"\x0e", b"\x1b(0", b"\x9b", b"\x1b[?1h",
]


@settings(max_examples=150, deadline=None)
@given(
    st.integers(1, 30), st.integers(1, 100), st.integers(0, 20),
    st.lists(st.lists(st.sampled_from(_PIECES), max_size=12), max_size=40),
    st.lists(st.tuples(st.integers(1, 40), st.integers(1, 120)), max_size=3),
)
def test_any_output_leaves_a_consistent_screen(rows, cols, scrollback, feeds, sizes) -> None:
    s = Screen(rows, cols, scrollback=scrollback)
    for index, pieces in enumerate(feeds):
        s.feed(b"".join(pieces))
        if sizes and index % 10 == 9:
            s.resize(*sizes.pop())
    snap = s.snapshot()
    assert len(snap.rows) == s.rows
    assert all(len(row) <= s.cols for row in snap.rows)
    assert 0 <= snap.cursor_row < s.rows and 0 <= snap.cursor_col < s.cols
    assert len(snap.scrollback) <= scrollback


# --- streams of the kinds real programs print, made here, and their screens ---


def _fed(rows: int, cols: int, stream: bytes, chunk: int = 4096) -> Screen:
    screen = Screen(rows, cols)
    for i in range(0, len(stream), chunk):
        screen.feed(stream[i : i + chunk])
    return screen


def test_streams_end_on_the_screens_a_person_sees() -> None:
    # Coloured long lines scrolling (ls --color): the last lines, wrapped.
    ls = b"".join(
        b"\x1b[0m\x1b[01;34mdir%04d\x1b[0m  \x1b[01;32mrun.sh\x1b[0m  file-with-a-long-name-%04d.txt\r\n"
        % (n, n) for n in range(500)
    )
    snap = _fed(5, 30, ls).snapshot()
    assert snap.rows == [
        "dir0498  run.sh  file-with-a-l", "ong-name-0498.txt",
        "dir0499  run.sh  file-with-a-l", "ong-name-0499.txt", "",
    ]
    assert snap.scrollback[-2:] == ["dir0497  run.sh  file-with-a-l", "ong-name-0497.txt"]
    # A \r progress bar: its last state only.
    bar = b"".join(b"\r[%-20s] %3d%%" % (b"#" * (n // 5), n) for n in range(101)) + b"\r\n"
    assert _fed(3, 40, bar, chunk=7).snapshot().rows == ["[####################] 100%", "", ""]
    # A top-like redraw by cursor moves: only the last frame's numbers.
    top = b"".join(
        b"\x1b[H\x1b[1mtop - frame %d\x1b[m\x1b[K\r\n" % f
        + b"".join(b"\x1b[%d;1H%5d proc%d\x1b[K" % (r + 2, f * 10 + r, r) for r in range(3))
        for f in range(50)
    )
    assert _fed(5, 30, top, chunk=33).snapshot().rows == [
        "top - frame 49", "  490 proc0", "  491 proc1", "  492 proc2", ""
    ]
    # Full-screen frames on the alternate screen with a scroll region under a
    # fixed title and status line; leaving gives the shell's rows back.
    frames = b"$ edit\r\n\x1b[?1049h\x1b[H\x1b[7mTITLE\x1b[m\x1b[2;4r\x1b[4;1H"
    frames += b"".join(b"\r\nline %d" % n for n in range(10))
    frames += b"\x1b[r\x1b[5;1H-- status --"
    full = _fed(5, 20, frames, chunk=5)
    snap = full.snapshot()
    assert snap.rows == ["TITLE", "line 7", "line 8", "line 9", "-- status --"] and snap.alt_screen
    full.feed(b"\x1b[?1049l")
    snap = full.snapshot()
    assert snap.rows[:2] == ["$ edit", ""] and not snap.alt_screen and snap.scrollback == []
    # CJK and combining text: each character in its columns, the cursor after it.
    cjk = Screen(3, 10)
    cjk.feed("漢字e\u0301x\r\nn\u0303漢\u0301".encode())
    snap = cjk.snapshot()
    assert [unicodedata.normalize("NFC", r) for r in snap.rows] == ["漢字éx", "ñ漢\u0301", ""]
    assert (snap.cursor_row, snap.cursor_col) == (1, 3)
    # Plain log lines: the last ones, the earlier ones in the scrollback.
    log = b"".join(b"12:00:%02d INFO request %d done\r\n" % (n % 60, n) for n in range(300))
    snap = _fed(4, 40, log).snapshot()
    assert snap.rows == ["12:00:57 INFO request 297 done", "12:00:58 INFO request 298 done",
                         "12:00:59 INFO request 299 done", ""]
    assert len(snap.scrollback) == 297 and snap.scrollback[0] == "12:00:00 INFO request 0 done"


def test_delete_line_moves_every_row_and_strings_are_not_text() -> None:
    s = Screen(4, 10)
    s.feed(b"\x1b[1;1HAAA\x1b[2;1HBBB\x1b[3;1HCCC\x1b[1;1H\x1b[2M")
    assert s.snapshot().rows == ["CCC", "", "", ""]
    # A DCS request (vim sends this one) and an application string are not shown.
    s.feed(b"\x1b[2;1Ha\x1bP+q544e\x1b\\b\x1b_Gi=1\x1b\\c")
    assert s.snapshot().rows[1] == "abc"


def test_wide_and_combining_characters_take_their_columns() -> None:
    s = Screen(3, 5)
    # A wide character that does not fit in the last column wraps whole.
    s.feed("abcd漢".encode())
    snap = s.snapshot()
    assert snap.rows[:2] == ["abcd", "漢"] and (snap.cursor_row, snap.cursor_col) == (1, 2)
    # Over the right half of a wide character, it goes and a blank is left.
    s.feed("\x1b[2;2Hx".encode())
    assert s.snapshot().rows[1] == " x"
    # A combining mark joins the character before it and moves nothing.
    s.feed("\x1b[3;1Hu\u0308\u0301v".encode())
    snap = s.snapshot()
    assert unicodedata.normalize("NFC", snap.rows[2]) == unicodedata.normalize("NFC", "u\u0308\u0301v")
    assert snap.cursor_col == 2


def test_resize_with_the_cursor_on_the_bottom_row_keeps_the_bottom_rows() -> None:
    s = Screen(6, 20, scrollback=100)
    s.feed(b"".join(b"line %d\r\n" % n for n in range(1, 10)) + b"$ ")
    assert s.snapshot().cursor_row == 5
    s.resize(3, 20)
    snap = s.snapshot()
    assert snap.rows == ["line 8", "line 9", "$"] and (snap.cursor_row, snap.cursor_col) == (2, 2)
    assert snap.scrollback[-2:] == ["line 6", "line 7"]
    # Taller again, the rows come back from the scrollback, the prompt last.
    s.resize(6, 20)
    snap = s.snapshot()
    assert snap.rows == ["line 5", "line 6", "line 7", "line 8", "line 9", "$"]
    assert (snap.cursor_row, snap.cursor_col) == (5, 2)
    # A full-screen program's rows are its own: it redraws after a resize.
    full = Screen(6, 20)
    full.feed(b"\x1b[?1049h\x1b[6;1Hstatus")
    full.resize(4, 20)
    assert full.snapshot().alt_screen and len(full.snapshot().rows) == 4


@pytest.mark.parametrize("cols", [1, 80, 1000])
def test_the_scrollback_view_holds_its_lines_at_any_width(cols: int) -> None:
    s = Screen(4, cols)
    line = b"y" * cols
    s.feed(b"".join(b"%d\r\n" % n + line + b"\r\n" for n in range(700)))
    snap = s.snapshot()
    # 1,400 lines went by (a number wraps at one column): the view keeps
    # the latest 1,000 whatever the width, the byte budget grows with it.
    assert len(snap.scrollback) == 1000
    assert snap.rows[-2:] == ["y" * cols, ""]
    if cols >= 3:
        assert snap.rows[:2] == ["y" * cols, "699"] and snap.scrollback[-2:] == ["y" * cols, "698"]


@pytest.mark.skipif(shutil.which("vim") is None, reason="needs vim")
def test_a_captured_vim_session_renders_the_same_in_any_pieces(tmp_path: Path) -> None:
    (tmp_path / "notes.txt").write_text("".join(f"note {n}\n" for n in range(1, 100)))
    argv = ["vim", "-u", "NONE", "-N", "-i", "NONE", str(tmp_path / "notes.txt")]
    with PtyProgram(argv, rows=12, cols=50, env={"HOME": str(tmp_path)}) as vim:
        vim.wait_for(lambda s: s.rows[0] == "note 1", "the file")
        vim.press(["ctrl-f"])
        vim.wait_for(lambda s: s.rows[0] == "note 10", "the next page")
        vim.press([":help", "enter"])
        vim.wait_for(lambda s: s.rows[0].startswith("*help.txt*"), "the help window")
        vim.press([":q", "enter"])
        live = vim.wait_for(lambda s: s.rows[0] == "note 10" and not any("help" in r for r in s.rows), "one window")
        raw = bytes(vim.raw)
    assert live.rows[:10] == [f"note {n}" for n in range(10, 20)] and live.alt_screen
    for chunk in (1, 7, 4096):
        replay = _fed(12, 50, raw, chunk)
        assert replay.snapshot() == live, chunk
