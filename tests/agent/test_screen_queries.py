"""The program's questions to its terminal are answered while a read runs:
by the screen's emulator with a screen, by fixed answers without one."""

from __future__ import annotations

import shutil
import sys

import pytest

from pellux_agent import Terminal

pytest.importorskip("pyghostty", reason="the screen needs pyghostty (pip install '.[screen]')")
from pellux_agent.screen import Screen  # noqa: E402

# Asks its terminal (argv[1], written in pieces split at "|" with a pause
# between them), then reads the answer byte by byte until it ends with
# argv[2], as a program that waits for it does; prints what it got.
ASKER = r"""
import os, sys, termios, time, tty
old = termios.tcgetattr(0)
tty.setraw(0)
try:
    for n, piece in enumerate(sys.argv[1].split("|")):
        if n:
            time.sleep(0.2)
        os.write(1, piece.encode().decode("unicode_escape").encode("latin-1"))
    got = b""
    while not got.endswith(sys.argv[2].encode()):
        got += os.read(0, 1)
finally:
    termios.tcsetattr(0, termios.TCSADRAIN, old)
print("\r\nGOT", got.hex())
"""


def _ask(question: str, ends_with: str, screen: bool) -> bytes:
    """What the terminal answered the asker; fails if the asker never got it."""
    with Terminal(sys.executable, ["-c", ASKER, question, ends_with], screen=screen, ready_markers=[]) as t:
        output = ""
        for _ in range(5):
            turn = t.read(timeout_ms=10_000)
            output += turn.output
            if turn.status == "exited":
                break
        assert "GOT " in output and turn.exit_code == 0, f"no answer came: {output!r}"
        return bytes.fromhex(output.split("GOT ")[1].split()[0])


@pytest.mark.parametrize("screen", [False, True], ids=["fixed", "screen"])
@pytest.mark.parametrize(
    "question, ends_with",
    [
        pytest.param(r"\x1b[c", "c", id="device-attributes"),
        pytest.param(r"\x1b[>c", "c", id="secondary-attributes"),
        pytest.param(r"\x1b[5n", "n", id="status"),
        pytest.param(r"\x1b|[|c", "c", id="device-attributes-cut-in-three"),
    ],
)
def test_device_attributes_and_status_are_answered_as_the_emulator_answers(question, ends_with, screen):
    # With or without a screen, the program sees the same terminal.
    emulator = Screen(24, 80).answer(question.replace("|", "").encode().decode("unicode_escape").encode())
    assert emulator.endswith(ends_with.encode())
    assert _ask(question, ends_with, screen) == emulator


@pytest.mark.parametrize(
    "question, answer",
    [
        pytest.param(r"hello\x1b[3;7H\x1b[6n", b"\x1b[3;7R", id="after-a-move"),
        pytest.param(r"ab漢|\x1b[6|n", b"\x1b[1;5R", id="after-a-wide-character-cut"),
        pytest.param(r"\x1b[?2004h\x1b[?2004$p", b"\x1b[?2004;1$y", id="a-mode"),
    ],
)
def test_a_program_waiting_for_the_screen_gets_its_answer(question, answer):
    assert _ask(question, chr(answer[-1]), screen=True) == answer


def test_without_a_screen_no_cursor_position_is_guessed():
    # Nothing is typed: the asker would take any input as its answer.
    with Terminal(sys.executable, ["-c", ASKER, r"\x1b[6n", "R"], ready_markers=[]) as t:
        turn = t.read(timeout_ms=3_000)
        assert turn.alive and "GOT" not in turn.output
        t.write(b"\x1b[9;9R")
        assert "GOT " + b"\x1b[9;9R".hex() in t.read(timeout_ms=10_000).output


@pytest.mark.skipif(shutil.which("vim") is None, reason="needs vim")
@pytest.mark.parametrize("screen", [False, True], ids=["fixed", "screen"])
def test_vim_gets_its_answers(screen):
    with Terminal("vim", ["-u", "NONE", "-N", "-i", "NONE"], screen=screen, env={"HOME": "/tmp"}) as t:
        t.read(timeout_ms=10_000)
        turn = t.send_keys([":echo 'R=' . v:termresponse", "enter"], timeout_ms=10_000)
        # vim asked for the secondary device attributes and kept the answer.
        assert "R=^[[>1;0;0c" in turn.output
        t.send_keys([":qa!", "enter"], timeout_ms=10_000)


def test_a_failing_screen_costs_the_answer_not_the_read(monkeypatch):
    def broken(output: bytes) -> bytes:
        raise ValueError("the emulator broke")

    for answerer, error in ((broken, ValueError), (lambda output: "not bytes", TypeError)):
        raised = []
        monkeypatch.setattr(sys, "unraisablehook", lambda report: raised.append(report.exc_value))
        with Terminal(sys.executable, ["-c", ASKER, r"\x1b[6n", "R"], ready_markers=[], screen=True) as t:
            native = t._resources.native
            with pytest.raises(TypeError, match="answerer must be callable or None"):
                native.set_answerer(42)
            native.set_answerer(answerer)
            turn = t.read(timeout_ms=3_000)
            # The read went on; the program got nothing and still waits.
            assert turn.alive and "GOT" not in turn.output
            assert [type(e) for e in raised] == [error]
            t.write(b"\x1b[1;1R")
            assert "GOT " + b"\x1b[1;1R".hex() in t.read(timeout_ms=10_000).output
