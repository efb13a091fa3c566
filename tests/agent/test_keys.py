"""Named keys: their bytes, the cursor-key mode they follow, and real programs driven by keys alone."""

from __future__ import annotations

import os
import re
import signal
import shutil
import sys
from pathlib import Path

import pytest

from pellux_agent.keys import encode_keys

sys.path.insert(0, str(Path(__file__).resolve().parent))
pytest.importorskip("pyghostty", reason="the screen needs pyghostty (pip install '.[screen]')")
from pty_support import PtyProgram  # noqa: E402

# What an xterm sends (its ctlseqs documentation, "PC-Style Function Keys").
XTERM = {
    "enter": b"\r", "tab": b"\t", "shift-tab": b"\x1b[Z", "escape": b"\x1b",
    "backspace": b"\x7f", "delete": b"\x1b[3~", "insert": b"\x1b[2~", "space": b" ",
    "pageup": b"\x1b[5~", "pagedown": b"\x1b[6~",
    "f1": b"\x1bOP", "f4": b"\x1bOS", "f5": b"\x1b[15~", "f10": b"\x1b[21~",
    "f11": b"\x1b[23~", "f12": b"\x1b[24~",
}


def test_keys_are_sent_as_an_xterm_sends_them() -> None:
    for name, expected in XTERM.items():
        assert encode_keys([name]) == expected, name
        assert encode_keys([name.upper()]) == expected, name  # names ignore case
    # The cursor keys, Home and End follow the mode the program chose.
    for name, final in {"up": b"A", "down": b"B", "right": b"C", "left": b"D",
                        "home": b"H", "end": b"F"}.items():
        assert encode_keys([name]) == b"\x1b[" + final
        assert encode_keys([name], app_cursor=True) == b"\x1bO" + final
    # Keys that do not move the cursor never change with the mode.
    assert encode_keys(["pagedown", "f5"], app_cursor=True) == b"\x1b[6~\x1b[15~"


def test_control_and_alt_keys_in_every_spelling() -> None:
    assert encode_keys(["ctrl-a", "Ctrl-Z", "CTRL+c", "control-d", "^D", "^c"]) == b"\x01\x1a\x03\x04\x04\x03"
    assert encode_keys(["ctrl-@", "ctrl-[", "ctrl-\\", "ctrl-]", "ctrl-^", "ctrl-_", "ctrl-?"]) == (
        b"\x00\x1b\x1c\x1d\x1e\x1f\x7f"
    )
    assert encode_keys(["alt-b", "meta-.", "alt-enter"]) == b"\x1bb\x1b.\x1b\r"
    assert encode_keys(["alt-up"], app_cursor=True) == b"\x1b\x1bOA"
    assert encode_keys(["esc", "pgdn", "del", "return", "backtab"]) == b"\x1b\x1b[6~\x1b[3~\r\x1b[Z"


def test_text_is_typed_as_it_is() -> None:
    # A string is text, even one that reads like a key name.
    assert encode_keys("enter") == b"enter"
    assert encode_keys("q") == b"q"
    assert encode_keys("héllo\n") == "héllo\n".encode()
    # In a list, items that name no key are text.
    assert encode_keys(["/needle", "enter", "y", ":wq!", "ls -l"]) == b"/needle\ry:wq!ls -l"
    assert encode_keys([]) == b"" and encode_keys("") == b""


def test_misspelt_or_invalid_keys_are_refused_by_name() -> None:
    for bad in ["ctrl-", "ctrl-é", "ctrl-ab", "f13", "F0", "shift-x", "alt-", "alt-nosuchkey", "^1"]:
        with pytest.raises(ValueError, match=re.escape(f"unknown key {bad!r}")):
            encode_keys(["enter", bad])
    # A word close to a key name is taken for a misspelling, not typed.
    for typo, meant in [("pgdwn", "pgdn"), ("entr", "enter"), ("Escpe", "escape"), ("hom", "home")]:
        with pytest.raises(ValueError, match=re.escape(f"did you mean {meant!r}")):
            encode_keys([typo])
    assert encode_keys(["yes", "ls", "help", "paste"]) == b"yeslshelppaste"
    assert encode_keys("pgdwn") == b"pgdwn"  # a string is always text
    with pytest.raises(TypeError, match=r"keys\[1\] must be a string"):
        encode_keys(["enter", 3])  # type: ignore[list-item]
    with pytest.raises(TypeError, match="not bytes"):
        encode_keys(b"q")  # type: ignore[arg-type]


def test_send_keys_follows_the_mode_the_program_set_even_cut_and_reset(tmp_path: Path) -> None:
    # The program switches to application cursor keys with a sequence cut
    # in two writes, later resets the terminal (ESC c), and shows the bytes
    # of each key it gets: the arrows must follow each switch.
    from agent_support import python_program

    from pellux_agent import Terminal

    program = python_program(
        tmp_path / "keys",
        """\
        import os, sys, termios, time
        attrs = termios.tcgetattr(0)
        attrs[3] &= ~(termios.ICANON | termios.ECHO)
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        def show():
            time.sleep(0.2)  # the whole key has arrived
            print(os.read(0, 64).hex(), flush=True)
        print("normal", flush=True); show()
        sys.stdout.write("\\x1b[?1"); sys.stdout.flush(); time.sleep(0.3)
        sys.stdout.write("h"); sys.stdout.flush()
        print("app", flush=True); show()
        sys.stdout.write("\\x1bc"); sys.stdout.flush()
        print("reset", flush=True); show()
        """,
    )
    with Terminal(program, ready_markers=[], wait_for="quiet") as t:
        seen = ""

        def shown(word: str) -> None:
            nonlocal seen
            for _ in range(20):  # bounded: a few seconds at most
                if word in seen:
                    seen = seen.split(word, 1)[1]
                    return
                seen += t.read(timeout_ms=1_000).output
            raise AssertionError(f"the program never showed {word!r}: {seen!r}")

        def sent_up() -> str:
            nonlocal seen
            key, _, seen = t.send_keys(["up"], timeout_ms=10_000).output.lstrip("\n").partition("\n")
            return key

        shown("normal")
        assert sent_up() == "1b5b41"
        shown("app")
        assert sent_up() == "1b4f41"
        shown("reset")
        assert sent_up() == "1b5b41", "a full reset puts the cursor keys back to normal"


def _lines(count: int, tmp_path: Path) -> str:
    path = tmp_path / "numbers.txt"
    path.write_text("".join(f"line {n}\n" for n in range(1, count + 1)))
    return str(path)


@pytest.mark.skipif(shutil.which("less") is None, reason="needs less")
def test_less_is_driven_by_keys_alone(tmp_path: Path) -> None:
    with PtyProgram(["less", _lines(500, tmp_path)], rows=24, cols=80, env={"LESS": ""}) as less:
        # The whole page, not just its first row: less may still be drawing.
        less.wait_for(lambda s: s.rows[0] == "line 1" and s.rows[22] == "line 23", "the first page")
        assert less.app_cursor, "less switches to application cursor keys"
        less.press(["pagedown"])
        less.wait_for(lambda s: s.rows[0] == "line 24", "the second page")
        less.press(["down"])
        less.wait_for(lambda s: s.rows[0] == "line 25", "one line further")
        less.press(["end"])
        less.wait_for(lambda s: "line 500" in s.rows, "the end of the file")
        less.press(["home"])
        less.wait_for(lambda s: s.rows[0] == "line 1", "the start again")
        less.press(["/line 4", "2", "enter"])  # text and keys in one list
        less.wait_for(lambda s: s.rows[0] == "line 42", "the search hit")
        less.press(["n"])
        less.wait_for(lambda s: s.rows[0] == "line 420", "the next hit")
        less.press("q")
        assert less.wait_exit() == 0


def test_line_editing_keys_reach_readline(tmp_path: Path) -> None:
    # bash's readline leaves the cursor keys in normal mode: CSI arrows.
    with PtyProgram(["bash", "--norc", "--noprofile"], env={"PS1": "$ "}) as bash:
        bash.wait_for(lambda s: s.rows[0].startswith("$"), "the prompt")
        assert not bash.app_cursor
        bash.press(["xecho 12", "left", "left", "X", "end", "Yz", "backspace", "home",
                    "delete", "enter"])
        bash.wait_for(lambda s: "X12Y" in s.rows, "the edited line's output")
        bash.press(["sleep 30", "enter"])
        bash.settle(0.2)
        bash.press(["ctrl-c"])
        bash.wait_for(lambda s: s.rows[s.cursor_row] == "$", "the prompt after Ctrl-C")
        bash.press(["ctrl-d"])
        # bash leaves with the status of its last command, the interrupted sleep.
        assert os.waitstatus_to_exitcode(bash.wait_exit()) == 128 + signal.SIGINT


def test_the_terminal_type_lists_exactly_these_keys() -> None:
    # Programs find their keys in terminfo under the TERM they get; each key
    # must be what that entry says (cursor keys in the application mode that
    # terminfo programs switch on with smkx).
    curses = pytest.importorskip("curses")
    from pellux_agent.presets import BASE_ENV

    curses.setupterm(BASE_ENV["TERM"], sys.__stdout__.fileno() if sys.__stdout__ else 1)
    caps = {
        "kcuu1": "up", "kcud1": "down", "kcuf1": "right", "kcub1": "left", "khome": "home",
        "kend": "end", "kpp": "pageup", "knp": "pagedown", "kdch1": "delete", "kich1": "insert",
        "kbs": "backspace", "kcbt": "shift-tab",
        **{f"kf{n}": f"f{n}" for n in range(1, 13)},
    }
    for cap, key in caps.items():
        assert curses.tigetstr(cap) == encode_keys([key], app_cursor=True), (cap, key)
    assert curses.tigetstr("smkx").startswith(b"\x1b[?1h")
    # Ending attributes sends nothing the cleaner would leave as text (xterm's
    # ESC ( B would leave a "B").
    assert b"\x1b(" not in curses.tigetstr("sgr0")


def test_attributes_leave_no_stray_text_in_a_terminal() -> None:
    from pellux_agent import Terminal

    with Terminal("sh", ["-c", "tput bold; printf bold; tput sgr0; echo ' plain'; tput smso; "
                               "printf stand; tput rmso; echo ' out'"]) as t:
        turn = t.read(10_000)
    assert turn.output.split() == ["bold", "plain", "stand", "out"]
    assert turn.exit_code == 0
