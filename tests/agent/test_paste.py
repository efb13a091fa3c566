"""Input of several lines: one paste, then Enter, to a program that turned
bracketed paste on; line by line elsewhere."""

from __future__ import annotations

import subprocess

import pytest

from pellux_agent import Terminal
from pellux_agent.presets import SHELL_CONTINUATION

FUNCTION = 'greet() {\n  local who="$1"\n  echo "hello, $who"\n}\ngreet world'
HEREDOC = "cat <<'EOF'\nfirst line\n  second, $NOT_EXPANDED\nEOF"


def bash() -> Terminal:
    version = subprocess.run(
        ["bash", "-c", "echo $((BASH_VERSINFO[0] * 100 + BASH_VERSINFO[1]))"],
        capture_output=True, text=True, check=True,
    )
    if int(version.stdout) < 501:
        pytest.skip("bash before 5.1 does not turn bracketed paste on")
    t = Terminal("bash")
    t.read(30_000)
    assert t._resources.native.bracketed_paste, "bash at its prompt asked for bracketed paste"
    return t


def test_a_function_and_a_heredoc_arrive_whole_in_one_turn():
    with bash() as t:
        turn = t.send(FUNCTION, 30_000)
        # One paste: no line was read (and answered with the continuation
        # prompt) before the rest arrived, and the turn ends at the prompt.
        assert turn.status == "ready", turn
        assert SHELL_CONTINUATION not in turn.output
        assert "hello, world" in turn.output
        turn = t.send(HEREDOC, 30_000)
        assert turn.status == "ready" and SHELL_CONTINUATION not in turn.output
        assert "first line\n  second, $NOT_EXPANDED\n" in turn.output
        # The function stayed defined.
        assert "hello, again" in t.send("greet again", 30_000).output


def test_without_bracketed_paste_the_lines_are_typed_one_by_one():
    with bash() as t:
        t.send("bind 'set enable-bracketed-paste off'", 30_000)
        assert t._resources.native.bracketed_paste is False
        turn = t.send(HEREDOC, 30_000)
        # Each line is read on its own, the next ones at the continuation
        # prompt; the text still arrives.
        assert SHELL_CONTINUATION in turn.output + t.read(2_000).output
        assert "hello" not in turn.output
        assert "hello, you" in t.send(FUNCTION.replace("world", "you"), 30_000).output + t.read(2_000).output


def test_a_paste_cannot_carry_its_own_end():
    with bash() as t:
        with pytest.raises(RuntimeError, match=r"ESC \[ 201 ~.*nothing was typed"):
            t.send("echo one\n\x1b[201~echo two", 30_000)
        assert "still here" in t.send("echo still here", 30_000).output
