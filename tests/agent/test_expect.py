"""Pattern waits against real programs: what matched and what stays queued,
text that arrives in pieces (split characters and escape sequences), the
ends without a match, the waits that interrupt, cancel and close end, and
the search's look-back rule."""

from __future__ import annotations

import asyncio
import re
import threading
import time

import pytest
from agent_support import PYTHON, python_program

from pellux_agent import AsyncTerminal, Terminal
from pellux_agent.expect import LOOKBACK, PatternSearch, compile_patterns
from pellux_agent.presets import SHELL_PROMPT


def test_a_match_returns_its_pattern_groups_and_the_text_up_to_it_and_leaves_the_rest(tmp_path):
    program = python_program(
        tmp_path / "server.py",
        """
        import time
        print("starting", flush=True)
        time.sleep(0.3)
        print("Listening on port 8080 (pid 7)", flush=True)
        print("request one", flush=True)
        input("> ")
        """,
    )
    with Terminal(program) as t:
        turn = t.expect(["nothing like this", re.compile(r"port (?P<port>\d+) \(pid (\d+)\)")], 30_000)
        assert turn.status == "matched" and turn.alive
        assert turn.output.endswith("Listening on port 8080 (pid 7)")
        assert turn.output.startswith("starting")
        match = turn.match
        assert match is not None and match.index == 1
        assert match.text == "port 8080 (pid 7)" and match.groups == ("8080", "7")
        assert match.named == {"port": "8080"}
        assert turn.output[match.start :] == match.text
        # What came after the match is the start of the next read.
        rest = t.read(30_000)
        assert rest.output.startswith("\nrequest one\n") and rest.output.endswith("> ")
        assert rest.status == "ready"


def test_the_pattern_whose_match_begins_first_wins_and_plain_text_is_matched_as_written():
    with Terminal("bash") as t:
        t.read(30_000)
        t.write("printf 'Continue? (y/n) [default: y]\\n'\n")
        # The second pattern is found earlier in the text; the plain string's
        # parentheses and brackets are text, not a regular expression.
        turn = t.expect(["[default: y]", "(y/n)"], 30_000)
        assert turn.status == "matched" and turn.match is not None
        assert turn.match.index == 1 and turn.match.text == "(y/n)"
        turn = t.expect("[default: y]", 30_000)
        assert turn.match is not None and turn.output == " [default: y]"
        turn = t.expect(SHELL_PROMPT, 30_000)
        assert turn.status == "matched"


def test_text_split_inside_a_character_or_an_escape_sequence_is_matched_whole(tmp_path):
    # Each piece arrives on its own, with a pause: the euro sign is cut after
    # two of its three bytes, the colour sequence in its middle.
    program = python_program(
        tmp_path / "pieces.py",
        r"""
        import os, time
        for piece in (b"price: 5 \xe2\x82", b"\xac, colour: \x1b[3", b"1mred\x1b[0m done\n"):
            os.write(1, piece)
            time.sleep(0.3)
        input()
        """,
    )
    with Terminal(program) as t:
        turn = t.expect(re.compile(r"price: (\d) €, colour: (\w+) done"), 30_000)
        assert turn.status == "matched", turn
        assert turn.match is not None and turn.match.groups == ("5", "red")
        assert "\ufffd" not in turn.output and "1m" not in turn.output


def test_without_a_match_the_wait_ends_as_a_read_does_with_all_the_text(tmp_path):
    with Terminal("bash") as t:
        t.read(30_000)
        t.write("echo first; sleep 600\n")
        turn = t.expect("never printed", 500)
        assert turn.status == "timeout" and turn.match is None and "first" in turn.output
        t.interrupt(30_000)
    quitter = python_program(tmp_path / "quit.py", "print('bye'); raise SystemExit(3)\n")
    with Terminal(quitter) as t:
        turn = t.expect("never printed", 30_000)
        assert turn.status == "exited" and not turn.alive and turn.exit_code == 3
        assert "bye" in turn.output


def test_interrupt_and_close_from_another_thread_end_a_wait_at_once():
    for end in ("interrupt", "close"):
        with Terminal("sleep", ["600"]) as t:
            turns = []
            waiter = threading.Thread(target=lambda: turns.append(t.expect("never", 600_000)))
            waiter.start()
            time.sleep(0.5)
            interrupter = threading.Thread(target=lambda: turns.append(t.interrupt(1000)))
            if end == "interrupt":
                interrupter.start()
            else:
                t.close()
            waiter.join(30)
            assert not waiter.is_alive(), f"{end} did not end the wait"
            # The Ctrl-C that follows may end sleep before the wait's turn
            # is made: then that turn says so.
            assert turns[0].status in (("interrupted", "exited") if end == "interrupt" else ("exited",))
            if end == "interrupt":
                interrupter.join(30)
                assert turns[1].status != "interrupted"  # the interrupt's own read


def test_a_stop_between_two_steps_of_a_wait_ends_the_next_step():
    # A wait reads in steps; a cancel that comes between two of them, while
    # no read runs, must still end the wait: the next step sees it.
    with Terminal("sleep", ["600"]) as t:
        native = t._resources.native
        seen = native.stop_count()
        native.cancel()
        started = time.monotonic()
        text, why = native.read(600_000, rule="arrival", stops_seen=seen)
        assert why == "interrupted" and text == ""
        assert time.monotonic() - started < 30
        # Without a stop since, a step waits for its text as usual.
        text, why = native.read(200, rule="arrival", stops_seen=native.stop_count())
        assert why == "timeout"


def test_text_left_by_a_wait_counts_for_the_next_read_under_every_rule(tmp_path):
    program = python_program(
        tmp_path / "ask.py",
        """
        print("ready now", flush=True)
        input("name> ")
        print("hello", flush=True)
        input("name> ")
        """,
    )
    for rule, markers in (("markers", ["name> "]), ("quiet", []), ("auto", [])):
        with Terminal(program, wait_for=rule, ready_markers=markers) as t:
            turn = t.expect("ready now", 30_000)
            assert turn.status == "matched"
            # The prompt came with the match and stays queued: the read that
            # follows answers with it, and does not wait out its timeout.
            rest = t.read(30_000)
            assert rest.output.endswith("name> "), (rule, rest)
            assert rest.status in ("ready", "quiet"), (rule, rest)


def test_patterns_are_checked_before_anything_waits():
    bad = [
        ([], ValueError, "must not be empty"),
        ([""], ValueError, "would match at once"),
        ([re.compile("x*")], ValueError, "matches the empty text"),
        ([re.compile(b"x")], TypeError, "bytes pattern"),
        ([3], TypeError, "patterns[0] must be a str"),
        (b"x", TypeError, "patterns must be"),
    ]
    with Terminal("sleep", ["600"]) as t:
        for patterns, error, message in bad:
            with pytest.raises(error, match=re.escape(message)):
                t.expect(patterns, 600_000)
        with pytest.raises(ValueError, match="timeout_ms"):
            t.expect("x", -1)


def test_async_expect_matches_and_its_cancellation_ends_the_wait():
    async def main() -> None:
        async with AsyncTerminal(PYTHON, ["-c", "import time; time.sleep(0.3); print('up 42'); input()"]) as t:
            turn = await t.expect(re.compile(r"up (\d+)"), 30_000)
            assert turn.status == "matched" and turn.match is not None
            assert turn.match.groups == ("42",)
            # A wait that would last ten minutes ends when its task is cancelled.
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(t.expect("never", 600_000), 0.5)
            # The terminal goes on: the program still waits in input().
            turn = await asyncio.wait_for(t.send("", 30_000), 30)
            assert turn.status == "exited" and turn.exit_code == 0

    asyncio.run(asyncio.wait_for(main(), 60))


def test_the_search_finds_a_match_that_begins_within_its_look_back_and_none_before():
    def run(pieces: list[str], pattern: str) -> object:
        search = PatternSearch(compile_patterns(re.compile(pattern, re.S)))
        found = None
        for piece in pieces:
            found = found or search.feed(piece)
        return found

    # The match begins exactly LOOKBACK characters before the piece it ends in.
    head = "x" * 100_000 + "<" + "y" * (LOOKBACK - 1)
    found = run([head, ">"], "<y*>")
    assert found is not None and found.start == 100_000 and len(found.text) == LOOKBACK + 1
    # One character further back, it is out of reach.
    assert run([head + "y", ">"], "<y*>") is None
    # Searched pieces are not searched again: a match is reported once, and
    # split() cuts right after it, however the text was pieced.
    search = PatternSearch(compile_patterns("ab"))
    assert [search.feed(p) is not None for p in ("xxa", "b yy")] == [False, True]
    assert search.split() == ("xxab", " yy")
