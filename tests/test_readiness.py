"""The waiting reads: read_until_ready in marker and quiet modes,
send_and_read_until_ready, set_ready_markers and reset.

Children are small scripts written into tmp_path that print known bytes on a
known schedule. Timing checks only ever bound from one side with wide
margins: a read that must wait for its deadline is checked to have taken at
least that long (a monotonic clock cannot make that flaky), and a read that
must end early is checked against a deadline many times longer than it
needs."""

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from support import python_child

SETTLE_S = 0.2
LONG_MS = 20_000  # deadline for reads that must end well before it
EARLY_S = 10  # "well before": half of LONG_MS


# ---- fixtures and helpers -----------------------------------------------------





def timed_child(tmp_path, steps):
    """Writes each (delay in seconds, bytes) step after its delay, then
    touches the done file and idles."""
    return python_child(
        tmp_path,
        f"""
        for delay, data in {list(steps)!r}:
            if delay:
                time.sleep(delay)
            write(data)
        done()
        time.sleep(120)
        """,
    )


def silent_child(tmp_path):
    return python_child(tmp_path, "time.sleep(120)\n")


def wait_done(tmp_path, name="done", timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (tmp_path / name).exists():
        if time.monotonic() > deadline:
            pytest.fail(f"the child did not finish writing within {timeout} s")
        time.sleep(0.01)
    time.sleep(SETTLE_S)


def collect(s, until, timeout=20.0):
    """Calls read_available until `until(text so far)` holds."""
    text = ""
    deadline = time.monotonic() + timeout
    while not until(text):
        if time.monotonic() > deadline:
            pytest.fail(f"condition not met within {timeout} s; got {text[-300:]!r}")
        piece = s.read_available()
        if piece:
            text += piece
        else:
            time.sleep(0.01)
    return text


def timed(call, *args, **kwargs):
    started = time.monotonic()
    result = call(*args, **kwargs)
    return result, time.monotonic() - started


MODES = {
    "quiet": (False, None),
    "markers": (True, ["never-printed> "]),
}

# 400 distinct ASCII bytes without a line feed.
NUMBERED = "".join(f"{i:03d}," for i in range(100))


# ---- quiet reading ------------------------------------------------------------------


def test_quiet_period_counts_from_the_latest_chunk(spawn, tmp_path):
    # Measured from the start of the read, 0.9 s of quiet would be over when
    # "a" arrives; measured from the first chunk, before "c" arrives.
    s = spawn(timed_child(tmp_path, [(1.0, b"a"), (0.5, b"b"), (0.5, b"c")]))
    assert s.read_until_ready(timeout_ms=LONG_MS, quiet_ms=900) == "abc"


def test_quiet_read_ends_at_a_long_gap_and_the_next_read_takes_the_rest(spawn, tmp_path):
    s = spawn(timed_child(tmp_path, [(0, b"first"), (0.8, b"second")]))
    # The default quiet period (80 ms) is far shorter than the gap.
    assert s.read_until_ready(timeout_ms=LONG_MS) == "first"
    assert s.read_until_ready(timeout_ms=LONG_MS) == "second"
    assert s.get_history() == "firstsecond"


def test_quiet_zero_ends_right_after_the_first_chunk(spawn, tmp_path):
    s = spawn(timed_child(tmp_path, [(0.2, b"x"), (1.0, b"y")]))
    assert s.read_until_ready(timeout_ms=LONG_MS, quiet_ms=0) == "x"


def test_output_with_short_gaps_keeps_a_quiet_read_going_to_its_deadline(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        for _ in range(1500):
            write(b"tick\\n")
            time.sleep(0.02)
        """,
    )
    s = spawn(child)
    text, elapsed = timed(s.read_until_ready, timeout_ms=1000, quiet_ms=3000)
    assert elapsed >= 1.0
    assert elapsed < EARLY_S
    lines = text.split("\n")
    assert len(lines) > 3
    assert set(lines[:-1]) == {"tick"}


@pytest.mark.parametrize(
    "interactive, markers",
    [
        pytest.param(False, None, id="quiet"),
        pytest.param(True, [], id="quiet-empty-list"),
        pytest.param(True, ["$ "], id="markers"),
        pytest.param(True, [""], id="empty-string-marker"),
    ],
)
def test_a_silent_child_makes_the_read_wait_its_whole_timeout(spawn, tmp_path, interactive, markers):
    s = spawn(silent_child(tmp_path), interactive, markers)
    # quiet_ms=0 and settle_ms=0: neither may start before a first chunk.
    text, elapsed = timed(s.read_until_ready, timeout_ms=600, quiet_ms=0, settle_ms=0)
    assert text == ""
    assert elapsed >= 0.6
    assert elapsed < EARLY_S


def test_a_prompt_taken_before_the_read_is_not_seen_again(spawn, tmp_path):
    s = spawn(timed_child(tmp_path, [(0, b"(gdb) ")]), True)
    wait_done(tmp_path)
    assert s.read_available() == "(gdb) "
    text, elapsed = timed(s.read_until_ready, timeout_ms=500)
    assert text == ""
    assert elapsed >= 0.5


# ---- zero budgets -------------------------------------------------------------------------


@pytest.mark.parametrize("budget", [{"timeout_ms": 0}, {"max_output_bytes": 0}], ids=["timeout-0", "cap-0"])
@pytest.mark.parametrize(
    "interactive, markers",
    [
        pytest.param(False, None, id="quiet"),
        pytest.param(True, ["$ "], id="markers"),
        pytest.param(True, [""], id="empty-string-marker"),
    ],
)
def test_a_zero_budget_takes_nothing_and_leaves_output_queued(spawn, tmp_path, interactive, markers, budget):
    s = spawn(timed_child(tmp_path, [(0, b"queued $ ")]), interactive, markers)
    wait_done(tmp_path)
    text, elapsed = timed(s.read_until_ready, **budget)
    assert text == ""
    assert elapsed < EARLY_S
    assert s.get_history() == ""
    assert s.read_available() == "queued $ "


@pytest.mark.parametrize("budget", [{"timeout_ms": 0}, {"max_output_bytes": 0}], ids=["timeout-0", "cap-0"])
def test_send_with_a_zero_budget_still_sends(spawn, tmp_path, budget):
    child = python_child(
        tmp_path,
        """
        line = sys.stdin.readline()
        write(b"got " + repr(line).encode() + b"\\n")
        time.sleep(120)
        """,
    )
    s = spawn(child, True, ["never-printed> "])
    assert s.send_and_read_until_ready("ping", **budget) == ""
    assert collect(s, lambda t: t.endswith("\n")) == "got 'ping\\n'\n"


# ---- marker reading: settling ------------------------------------------------------------


def test_settle_takes_output_close_behind_the_prompt_and_leaves_later_output(spawn, tmp_path):
    steps = [(0, b"P> "), (0.005, b"a"), (0.005, b"b"), (1.0, b"LATE")]
    s = spawn(timed_child(tmp_path, steps), True, ["P> "])
    # A settle period of 5 s would take "LATE" if it ran to its end: 25 ms
    # without a chunk must end it.
    assert s.read_until_ready(timeout_ms=LONG_MS, settle_ms=5000) == "P> ab"
    assert collect(s, lambda t: "LATE" in t) == "LATE"
    assert s.get_history() == "P> abLATE"


def test_settle_period_ends_at_settle_ms_even_while_output_continues(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        write(b"P> ")
        for _ in range(6000):
            time.sleep(0.005)
            write(b".")
        write(b"END")
        time.sleep(120)
        """,
    )
    s = spawn(child, True, ["P> "])
    text, elapsed = timed(s.read_until_ready, timeout_ms=LONG_MS, settle_ms=300)
    assert text.startswith("P> ")
    assert set(text[3:]) <= {"."}
    # The dots go on for 30 s or more: a read that ended with them would
    # have taken far longer than this.
    assert elapsed < EARLY_S


# ---- marker reading: matching -----------------------------------------------------------


MATCH_CASES = [
    # (markers, raw pieces written 0.3 s apart, clean text of the read)
    pytest.param(None, [b"(gd", b"b) "], "(gdb) ", id="split-across-chunks"),
    pytest.param(None, [b"x" * 20000 + b"(gd", b"b) "], "x" * 20000 + "(gdb) ", id="split-after-20k"),
    pytest.param(["\u03bb> "], [b"\xce", b"\xbb> "], "\u03bb> ", id="split-inside-character"),
    pytest.param(None, [b"(g\x1b[3", b"1mdb) "], "(gdb) ", id="split-inside-escape"),
    pytest.param(None, [b"out\n\x1b[1;32m(gdb)\x1b[0m "], "out\n(gdb) ", id="coloured-prompt"),
    pytest.param(None, [b"\x1b]0;gdb: prog\x07(gdb) "], "(gdb) ", id="title-before-prompt"),
    pytest.param(None, [b"pwn\x1b[31mdbg\x1b[0m> "], "pwndbg> ", id="colour-inside-prompt"),
    pytest.param(None, [b"\r(gdb) "], "(gdb) ", id="carriage-return-before-prompt"),
    pytest.param(None, [b"a line with (gdb) inside\nand more\n"], "a line with (gdb) inside\nand more\n", id="mid-output"),
    pytest.param(["nope> ", "yes> "], [b"yes> "], "yes> ", id="second-marker"),
    pytest.param(["a\tb"], [b"x a\tb y"], "x a\tb y", id="tab-in-marker"),
    pytest.param(["l1\nl2"], [b"l1\nl2"], "l1\nl2", id="line-feed-in-marker"),
    pytest.param([""], [b"anything"], "anything", id="empty-string-marker"),
    pytest.param(["\u00e9t\u00e9> "], ["\u00e9t\u00e9> ".encode()], "\u00e9t\u00e9> ", id="non-ascii-marker"),
]


@pytest.mark.parametrize("markers, pieces, expected", MATCH_CASES)
def test_marker_in_the_clean_output_ends_the_wait(spawn, tmp_path, markers, pieces, expected):
    steps = [(0.3 if i else 0, p) for i, p in enumerate(pieces)]
    s = spawn(timed_child(tmp_path, steps), True, markers)
    text, elapsed = timed(s.read_until_ready, timeout_ms=LONG_MS)
    assert text == expected
    assert elapsed < EARLY_S


def test_markers_with_control_bytes_never_match(spawn, tmp_path):
    markers = ["\r(gdb) ", "(gdb)\x1b[0m ", "\x07", "\x00", "\x1b"]
    # The raw output holds every one of these markers byte for byte.
    raw = b"\r(gdb) \x07\x00(gdb)\x1b[0m \x1b"
    child = python_child(
        tmp_path,
        f"""
        while True:
            write({raw!r})
            if not sys.stdin.readline():
                break
        """,
    )
    s = spawn(child, True, markers)
    text, elapsed = timed(s.read_until_ready, timeout_ms=1000)
    assert text == "(gdb) (gdb) "
    assert elapsed >= 1.0
    # Beside a marker that can match, the wait ends.
    s.set_ready_markers(markers + ["(gdb) "])
    text, elapsed = timed(s.send_and_read_until_ready, "", timeout_ms=LONG_MS)
    assert text == "(gdb) (gdb) "
    assert elapsed < EARLY_S


MODE_CASES = [
    # (interactive, constructor markers, markers set afterwards, expected)
    pytest.param(False, ["(gdb) "], "keep", "(gdb) more", id="not-interactive-ignores-markers"),
    pytest.param(True, [], "keep", "(gdb) more", id="empty-list-reads-until-quiet"),
    pytest.param(True, ["(gdb) "], [], "(gdb) more", id="cleared-list-reads-until-quiet"),
    pytest.param(True, [], ["(gdb) "], "(gdb) ", id="list-set-later-waits-for-markers"),
    pytest.param(True, None, "keep", "(gdb) ", id="default-markers"),
    pytest.param(True, ["P> "], ["x> ", "(gdb) ", "(gdb) "], "(gdb) ", id="list-replaced"),
]


@pytest.mark.parametrize("interactive, markers, later, expected", MODE_CASES)
def test_mode_follows_the_interactive_flag_and_the_current_list(
    spawn, tmp_path, interactive, markers, later, expected
):
    s = spawn(timed_child(tmp_path, [(0, b"(gdb) "), (0.3, b"more")]), interactive, markers)
    if later != "keep":
        assert s.set_ready_markers(later) is None
    # Marker mode stops 25 ms after the prompt; quiet mode waits out the
    # 0.3 s gap.
    assert s.read_until_ready(timeout_ms=LONG_MS, settle_ms=200, quiet_ms=700) == expected


# ---- byte cap ----------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_cap_ends_the_read_and_the_rest_goes_to_the_next_read(spawn, tmp_path, mode):
    s = spawn(timed_child(tmp_path, [(0, NUMBERED.encode())]), *MODES[mode])
    wait_done(tmp_path)
    # Neither a marker nor 10 s of quiet would end these reads soon.
    first, elapsed = timed(s.read_until_ready, timeout_ms=LONG_MS, max_output_bytes=150, quiet_ms=10_000)
    assert first == NUMBERED[:150]
    assert elapsed < EARLY_S
    assert s.get_history() == first
    second = s.read_until_ready(timeout_ms=LONG_MS, max_output_bytes=150, quiet_ms=10_000)
    assert second == NUMBERED[150:300]
    assert s.read_available() == NUMBERED[300:]
    assert s.get_history() == NUMBERED


def test_default_cap_is_2_mib(spawn, tmp_path):
    data = "".join(f"{i:07d};" for i in range(375_000))  # 3,000,000 bytes
    s = spawn(timed_child(tmp_path, [(0, data.encode())]))
    wait_done(tmp_path)
    text, elapsed = timed(s.read_until_ready, timeout_ms=LONG_MS, quiet_ms=10_000)
    assert text == data[:2_097_152]
    assert elapsed < EARLY_S
    assert s.read_available(1 << 22) == data[2_097_152:]


def test_cap_reached_by_the_chunk_with_the_marker_ends_the_read(spawn, tmp_path):
    s = spawn(timed_child(tmp_path, [(0, b"(gdb) " + NUMBERED.encode())]), True)
    wait_done(tmp_path)
    assert s.read_until_ready(timeout_ms=LONG_MS, max_output_bytes=10) == "(gdb) " + NUMBERED[:4]
    assert s.read_available() == NUMBERED[4:]


@pytest.mark.parametrize("mode", MODES)
def test_cap_inside_a_character_leaves_its_tail_queued(spawn, tmp_path, mode):
    data = ("\u00e9" * 50).encode()
    s = spawn(timed_child(tmp_path, [(0, data)]), *MODES[mode])
    wait_done(tmp_path)
    first = s.read_until_ready(timeout_ms=LONG_MS, max_output_bytes=5, quiet_ms=10_000)
    second = s.read_until_ready(timeout_ms=LONG_MS, max_output_bytes=5, quiet_ms=10_000)
    assert first == "\u00e9\u00e9\ufffd"
    assert second == "\ufffd\u00e9\u00e9"
    assert s.get_history() == "\u00e9" * 5
    assert s.read_available() == "\u00e9" * 45


def test_cap_applies_to_output_taken_while_settling(spawn, tmp_path):
    steps = [(0, b"P> ")] + [(0.005, NUMBERED[i : i + 40].encode()) for i in range(0, 400, 40)]
    s = spawn(timed_child(tmp_path, steps), True, ["P> "])
    wait_done(tmp_path)
    assert s.read_until_ready(timeout_ms=LONG_MS, max_output_bytes=103, settle_ms=5000) == "P> " + NUMBERED[:100]
    assert s.read_available() == NUMBERED[100:]


# ---- the interpreter runs on while a read waits -------------------------------------------


def spin_rate_during(action):
    """How far a spinning Python thread counts while `action` runs."""
    count = 0
    stop = False

    def spin():
        nonlocal count
        while not stop:
            count += 1

    thread = threading.Thread(target=spin, daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + 10
        while count == 0:
            assert time.monotonic() < deadline
            time.sleep(0.001)
        before = count
        action()
        return count - before
    finally:
        stop = True
        thread.join(10)


@pytest.mark.parametrize(
    "call, interactive",
    [("read_until_ready", True), ("send_and_read_until_ready", False)],
    ids=["read-markers", "send-quiet"],
)
def test_the_interpreter_lock_is_released_while_waiting(spawn, tmp_path, call, interactive):
    s = spawn(silent_child(tmp_path), interactive)
    free = spin_rate_during(lambda: time.sleep(0.2))
    if call == "read_until_ready":
        waited = spin_rate_during(lambda: s.read_until_ready(timeout_ms=1000))
    else:
        waited = spin_rate_during(lambda: s.send_and_read_until_ready("hi", timeout_ms=1000))
    # 1 s of waiting should give about five times what 0.2 s of sleep
    # gave; holding the lock would give next to nothing.
    assert waited > free


# ---- send and read -------------------------------------------------------------------


@pytest.fixture
def raw_echo(tmp_path, spawn):
    """A child in raw mode that answers each burst of input with the repr of
    the bytes it got, then its prompt."""
    child = python_child(
        tmp_path,
        """
        import select, tty
        tty.setraw(0)
        write(b"READY> ")
        while True:
            data = os.read(0, 65536)
            if not data:
                break
            while select.select([0], [], [], 0.15)[0]:
                more = os.read(0, 65536)
                if not more:
                    break
                data += more
            write(b"got " + repr(data).encode() + b"\\r\\nREADY> ")
        """,
    )

    def start(interactive=True):
        s = spawn(child, interactive, ["READY> "])
        assert collect(s, lambda t: t.endswith("READY> ")) == "READY> "
        return s

    return start


SEND_INPUTS = [
    pytest.param("", id="empty"),
    pytest.param("hello", id="word"),
    pytest.param("two\nlines", id="line-feed-inside"),
    pytest.param("ends with a line feed\n", id="trailing-line-feed"),
    pytest.param("  spaced  \t", id="spaces-kept"),
    pytest.param("h\u00e9llo \u20ac \U0001F600", id="non-ascii"),
    pytest.param("\x03\x1b[A\r", id="control-bytes"),
    pytest.param("x" * 8191, id="8191-bytes"),
    pytest.param("x" * 8192, id="8192-bytes"),
    pytest.param("".join(f"{i:05d}" for i in range(4000)), id="20000-bytes"),
]


@pytest.mark.parametrize("line", SEND_INPUTS)
def test_send_writes_exactly_the_input_and_one_line_feed(raw_echo, line):
    s = raw_echo()
    sent = (line + "\n").encode()
    reply = s.send_and_read_until_ready(line, timeout_ms=LONG_MS)
    assert reply == f"got {sent!r}\nREADY> "


def test_send_in_quiet_mode_reads_the_reply(raw_echo):
    s = raw_echo(interactive=False)
    assert s.send_and_read_until_ready("abc", timeout_ms=LONG_MS, quiet_ms=400) == "got b'abc\\n'\nREADY> "
    assert s.get_history() == "READY> got b'abc\\n'\nREADY> "


def test_send_reply_starts_with_output_already_waiting(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        write(b"banner\\nP> ")
        done()
        while True:
            line = sys.stdin.readline()
            if not line:
                break
            write(b"echo:" + line.strip().encode() + b"\\nP> ")
        """,
    )
    s = spawn(child, True, ["P> "])
    wait_done(tmp_path)
    reply = s.send_and_read_until_ready("x", timeout_ms=LONG_MS)
    # The waiting prompt matches at once, possibly before the answer.
    assert reply.startswith("banner\nP> ")
    rest = reply[len("banner\nP> ") :]
    if rest != "echo:x\nP> ":
        assert rest == ""
        assert s.read_until_ready(timeout_ms=LONG_MS) == "echo:x\nP> "


# ---- reset ----------------------------------------------------------------------------


@pytest.fixture
def echo_program(tmp_path):
    return python_child(
        tmp_path,
        """
        write(f"pid={os.getpid()}\\n".encode() + b"P> ")
        while True:
            line = sys.stdin.readline()
            if not line:
                break
            write(b"echo:" + line.strip().encode() + b"\\nP> ")
        """,
        name="echo.py",
    )


def first_output(s, interactive):
    """The new child's greeting after a reset: reset may already have taken
    it into the history."""
    text = s.get_history()
    if not text.endswith("P> "):
        text += s.read_until_ready(timeout_ms=LONG_MS, quiet_ms=400)
    assert text.endswith("P> "), text
    return text


def pid_of(greeting):
    assert greeting.startswith("pid=")
    return int(greeting[4:].split("\n")[0])


@pytest.mark.parametrize("interactive", [True, False], ids=["interactive", "not-interactive"])
def test_reset_keeps_command_mode_and_markers_and_replaces_child_and_history(
    spawn, echo_program, interactive
):
    s = spawn(echo_program, interactive, ["never-printed> "])
    s.set_ready_markers(["P> "])
    greeting = first_output(s, interactive)
    old_pid = pid_of(greeting)
    assert s.send_and_read_until_ready("before", timeout_ms=LONG_MS, quiet_ms=400) == "echo:before\nP> "

    assert s.reset() is None

    assert s.get_initial_command() == echo_program
    assert s.is_interactive() is interactive
    assert s.is_alive()
    assert "before" not in s.get_history()
    new_greeting = first_output(s, interactive)
    new_pid = pid_of(new_greeting)
    assert new_pid != old_pid
    with pytest.raises(ProcessLookupError):
        os.kill(old_pid, 0)
    # With the markers reset to the constructor's list or the defaults this
    # would wait for its whole deadline.
    reply, elapsed = timed(s.send_and_read_until_ready, "after", timeout_ms=LONG_MS, quiet_ms=400)
    assert reply == "echo:after\nP> "
    assert elapsed < EARLY_S
    assert s.get_history() == new_greeting + reply


def test_reset_after_close_starts_a_new_child(spawn, echo_program):
    s = spawn(echo_program, True, ["P> "])
    old_pid = pid_of(first_output(s, True))
    s.close()
    assert not s.is_alive()
    s.reset()
    assert s.is_alive()
    assert pid_of(first_output(s, True)) != old_pid
    assert s.send_and_read_until_ready("again", timeout_ms=LONG_MS) == "echo:again\nP> "


def test_reset_takes_at_most_256_kib_of_the_new_output_and_leaves_the_rest_in_order(spawn, tmp_path):
    lines = 120_000  # a little over 1 MiB through the terminal
    child = python_child(
        tmp_path,
        f"""
        write(b"".join(b"%07d\\n" % i for i in range({lines})))
        time.sleep(120)
        """,
    )
    expected = "".join("%07d\n" % i for i in range(lines))
    s = spawn(child)
    collect(s, lambda t: len(t) > 1000)
    s.reset()
    history = s.get_history()
    assert len(history) <= 262_144
    assert expected.startswith(history)
    rest = collect(s, lambda t: len(history) + len(t) >= len(expected))
    assert history + rest == expected


def test_reset_of_a_child_held_by_a_full_channel(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        block = b"y" * 65535 + b"\\n"
        while True:
            write(block)
        """,
    )
    s = spawn(child)
    time.sleep(1.0)  # long enough to fill the channel on most machines
    _, elapsed = timed(s.reset)
    assert elapsed < EARLY_S
    assert s.is_alive()
    assert len(s.get_history()) <= 262_144
    assert set(s.read_available(1000)) <= {"y", "\n"}
    s.close()


LEAK_CHECK = """
import os, sys
import pellux

program = sys.argv[1]

def counts():
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))

def pid_after_reset(s):
    text = s.get_history()
    if not text.endswith("P> "):
        text += s.read_until_ready(timeout_ms=20000)
    return int(text[4:].split("\\n")[0])

s = pellux.Pellux(program, True, ["P> "])
s.reset()
before = counts()
pids = []
for _ in range(4):
    pids.append(pid_after_reset(s))
    s.reset()
assert counts() == before, (counts(), before)
for pid in pids:  # collected, not left as zombies
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        pass
    else:
        raise AssertionError(f"old child {pid} still exists")
# Failed resets release what they opened too.
os.chmod(program, 0o644)
closed = []
for _ in range(3):
    try:
        s.reset()
    except Exception:
        closed.append(counts())
    else:
        raise AssertionError("reset of a program that cannot run succeeded")
assert closed[0] == closed[1] == closed[2], closed
os.chmod(program, 0o755)
s.reset()
assert counts() == before, (counts(), before)
s.close()
print("ok")
"""


def test_resets_leave_no_descriptors_threads_or_children_behind(echo_program):
    # In a fresh interpreter, so that sessions of other tests cannot change
    # the counts meanwhile.
    run = subprocess.run(
        [sys.executable, "-c", LEAK_CHECK, echo_program], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == "ok\n"


@pytest.mark.parametrize(
    "break_program, errno_text",
    [
        pytest.param(os.remove, "ENOENT: No such file or directory", id="removed"),
        pytest.param(lambda p: os.chmod(p, 0o644), "EACCES: Permission denied", id="not-executable"),
    ],
)
def test_failed_reset_leaves_a_closed_session_that_a_later_reset_revives(
    spawn, echo_program, break_program, errno_text
):
    s = spawn(echo_program, True, ["P> "])
    first_output(s, True)
    saved = Path(echo_program).read_bytes()
    break_program(echo_program)
    with pytest.raises(Exception) as info:
        s.reset()
    assert type(info.value) is Exception
    assert str(info.value) == f"Failed to spawn process with command '{echo_program}': {errno_text}"
    assert s.is_alive() is False
    assert s.close() is None
    assert isinstance(s.read_available(), str)
    assert s.read_until_ready(timeout_ms=5000) == ""
    Path(echo_program).write_bytes(saved)
    os.chmod(echo_program, 0o755)
    s.reset()
    assert s.is_alive()
    assert s.send_and_read_until_ready("back", timeout_ms=LONG_MS).endswith("echo:back\nP> ")
