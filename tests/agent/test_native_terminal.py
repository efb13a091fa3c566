"""The native terminal under the agent layer, against real programs: exit
status, resize, raw writes, the reason each read ended, the raw-output tap,
the cursor-key mode, and use from several threads."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time

import pytest
from agent_support import PYTHON, REPL, python_program
from support import wait_until

from pellux_agent import Terminal
from pellux_agent._terminal import Terminal as Native


def native(argv: list[str], markers: list[str] | None = None, **kwargs: object) -> Native:
    """A native terminal on `argv`, 24x80, inheriting the environment."""
    return Native(
        argv[0],
        argv,
        kwargs.get("env"),
        kwargs.get("cwd"),
        kwargs.get("rows", 24),
        kwargs.get("cols", 80),
        markers or [],
    )


# --- exit status ---------------------------------------------------------------


def test_exit_code_and_signal_of_a_shell():
    with Terminal("bash") as t:
        t.read(timeout_ms=10_000)
        assert (t.exit_code, t.exit_signal) == (None, None)
        turn = t.send("exit 7", timeout_ms=10_000)
        assert (turn.status, turn.alive, turn.exit_code, turn.signal) == ("exited", False, 7, None)
        assert (t.exit_code, t.exit_signal) == (7, None)
    with Terminal("sh", ["-c", "kill -9 $$"]) as t:
        turn = t.read(timeout_ms=10_000)
        assert (turn.status, turn.exit_code, turn.signal) == ("exited", None, 9)
        assert (t.exit_code, t.exit_signal) == (None, 9)
        # A restart forgets the old program's status.
        t.restart(timeout_ms=10_000)
        assert t.exit_signal == 9  # the new one was killed the same way


def test_a_running_program_has_no_exit_status_and_close_forgets_it():
    t = Terminal("sleep", ["60"])
    assert t.read(timeout_ms=200).status == "timeout"
    assert (t.exit_code, t.exit_signal) == (None, None)
    t.close()
    assert (t.exit_code, t.exit_signal) == (None, None)


# --- resize --------------------------------------------------------------------


def test_resize_reaches_the_program_as_sigwinch_and_stty_agrees(tmp_path):
    program = python_program(
        tmp_path / "winch",
        """\
        import os, signal, sys
        def report(*_):
            size = os.get_terminal_size(0)
            print(f"winch {size.lines} {size.columns}", flush=True)
        signal.signal(signal.SIGWINCH, report)
        print("ready", flush=True)
        while True:
            signal.pause()
        """,
    )
    # The program never reads its terminal: its answers end on quiet output.
    with Terminal(program, ready_markers=[], wait_for="quiet") as t:
        assert t.read(timeout_ms=10_000).output == "ready\n"
        t.resize(40, 132)
        assert t.size == (40, 132)
        assert t.read(timeout_ms=10_000).output == "winch 40 132\n"
    with Terminal("dash") as t:
        t.read(timeout_ms=10_000)
        assert t.send("stty size", timeout_ms=10_000).output == "24 80\n[pellux]$ "
        t.resize(50, 100)
        assert t.send("stty size", timeout_ms=10_000).output == "50 100\n[pellux]$ "
        # The size survives a restart.
        t.restart(timeout_ms=10_000)
        assert t.send("stty size", timeout_ms=10_000).output == "50 100\n[pellux]$ "


def test_resize_refuses_bad_sizes():
    with Terminal("cat") as t:
        for rows, cols, error in [(0, 80, ValueError), (24, 70_000, ValueError), ("24", 80, TypeError)]:
            with pytest.raises(error):
                t.resize(rows, cols)  # type: ignore[arg-type]
        assert t.size == (24, 80)
    with pytest.raises(RuntimeError, match="is closed"):
        t.resize(30, 90)


# --- raw writes -----------------------------------------------------------------


def test_a_single_y_answers_a_question_without_a_line_feed():
    with Terminal("bash") as t:
        t.read(timeout_ms=10_000)
        # The question is no prompt of the shell, but bash waits for the key:
        # the read ends there as the kernel shows it.
        turn = t.send('read -n 1 -p "Continue (y/n)? " a; echo; echo "got [$a]"', timeout_ms=10_000)
        assert turn.output.endswith("Continue (y/n)? ") and turn.status == "ready"
        t.write("y")
        assert t.read(timeout_ms=10_000).output.endswith("got [y]\n[pellux]$ ")
        # No line feed followed the y: the shell has no empty command queued
        # (bash's line editor starts each answer with a line feed of its own).
        assert t.send("echo next", timeout_ms=10_000).output == "\nnext\n[pellux]$ "


def test_bytes_and_escape_sequences_reach_the_program_exactly(tmp_path):
    program = python_program(
        tmp_path / "raw",
        """\
        import sys, tty
        tty.setraw(0)
        data = sys.stdin.buffer.read(6)
        sys.stdout.write(data.hex() + "\\r\\n")
        sys.stdout.flush()
        """,
    )
    with Terminal(program, ready_markers=[]) as t:
        time.sleep(0.3)  # until it has made its terminal raw
        t.write(b"\x1b[A\x04\xff\n")
        assert t.read(timeout_ms=10_000).output == "1b5b4104ff0a\n"


def test_a_write_the_program_does_not_take_times_out_and_says_so():
    with Terminal("sh", ["-c", "sleep 60"]) as t:
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="write failed: timed out"):
            # Whole lines: a terminal in line mode drops what overflows one
            # line instead of making the writer wait.
            t.write(("x" * 99 + "\n") * 2_000, timeout_ms=300)
        assert time.monotonic() - started < 10
        with pytest.raises(TypeError):
            t.write(3)  # type: ignore[arg-type]


def test_writing_to_an_exited_program_says_it_has_exited():
    with Terminal("sh", ["-c", "exit 3"]) as t:
        assert t.read(timeout_ms=10_000).status == "exited"
        with pytest.raises(RuntimeError, match="the program has exited"):
            t.write("y")


# --- why a read ended ------------------------------------------------------------


def test_each_read_reason_agrees_with_what_the_program_did():
    # marker: python's prompt
    t = native([PYTHON, "-q"], [">>> "], env=[f"{k}={v}" for k, v in os.environ.items()] + ["PYTHON_BASIC_REPL=1"])
    try:
        assert t.read(10_000) == (">>> ", "marker")
        # timeout: the answer takes longer than the read may
        assert t.send("import time; time.sleep(1.5); print('done')", 300) == ("", "timeout")
        assert t.read(10_000) == ("done\n>>> ", "marker")
        # cap: more output than the read may take
        text, why = t.send("print('a' * 5000)", 10_000, 1000)
        assert why == "cap" and len(text) <= 1000
        # exited: the program's output ends
        t.read_available(10**6)
        time.sleep(0.1)
        t.read_available(10**6)
        assert t.send("exit()", 10_000)[1] == "exited"
        # The output ends a moment before the program can be collected.
        wait_until(lambda: not t.is_alive(), timeout=10, what="python collected")
        assert t.exit_status() == (0, None)
    finally:
        t.close()
    # quiet: a program without markers that pauses
    t = native(["sh", "-c", "echo one; sleep 60"])
    try:
        assert t.read(10_000) == ("one\n", "quiet")
        assert t.read(200) == ("", "timeout")
    finally:
        t.close()


def test_turn_status_follows_the_reason_on_every_kind_of_end():
    with Terminal(REPL, ["-q"]) as t:
        assert t.read(timeout_ms=10_000).status == "ready"
        assert t.send("import time; time.sleep(1.5)", timeout_ms=300).status == "timeout"
        assert t.read(timeout_ms=10_000).status == "ready"
        # Over the 2 MiB cap in one answer.
        assert t.send("print('x' * 3_000_000)", timeout_ms=20_000).status == "limit"
    with Terminal("sh", ["-c", "echo one; sleep 60"], ready_markers=[], wait_for="quiet") as t:
        assert t.read(timeout_ms=10_000).status == "quiet"
    with Terminal("sh", ["-c", "echo bye"]) as t:
        assert t.read(timeout_ms=10_000).status == "exited"


# --- tap and cursor-key mode ----------------------------------------------------


def test_the_tap_keeps_the_raw_bytes_within_its_bound():
    t = native(["sh", "-c", r"printf 'ab\rcd\033[1mX\n'; sleep 60"])
    try:
        assert t.take_tap() == b""  # off until asked for
        t.set_tap(1 << 20)
        text, why = t.read(10_000)
        assert why == "quiet"
        assert t.take_tap() == b"ab\rcd\x1b[1mX\r\n"
        assert t.take_tap() == b""
    finally:
        t.close()
    # Bounded: only the most recent bytes stay.
    t = native(["sh", "-c", "printf 0123456789; sleep 60"])
    try:
        t.set_tap(4)
        t.read(10_000)
        assert t.take_tap() == b"6789"
    finally:
        t.close()


def test_the_cursor_key_mode_is_followed_across_split_sequences():
    t = native(["sh", "-c", r"printf '\033[?'; sleep 0.5; printf '1;1049h'; sleep 0.5; printf '\033[?1l'; sleep 60"])
    try:
        assert t.app_cursor is False
        t.read(10_000)  # ends on quiet after the first half
        assert t.app_cursor is False
        t.read(10_000)
        assert t.app_cursor is True
        t.read(10_000)
        assert t.app_cursor is False
    finally:
        t.close()


# --- the program's start ----------------------------------------------------------


def test_a_name_is_looked_up_along_the_programs_own_path(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    python_program(bin_dir / "only-here", "print('found')\n")
    with Terminal("only-here", env={"PATH": f"{bin_dir}:{os.defpath}"}) as t:
        assert t.read(timeout_ms=10_000).output == "found\n"
    with pytest.raises(FileNotFoundError):
        Terminal("only-here")


def test_native_arguments_are_checked():
    with pytest.raises(TypeError, match="argv must be a list of str"):
        Native("sh", "sh", None, None, 24, 80, [])
    with pytest.raises(ValueError, match="argv must hold at least"):
        Native("sh", [], None, None, 24, 80, [])
    with pytest.raises(ValueError, match="rows must be between 1 and 65535"):
        Native("sh", ["sh"], None, None, 0, 80, [])
    with pytest.raises(FileNotFoundError):
        Native("sh", ["sh"], ["A=1"], "/no/such/dir", 24, 80, [])
    with pytest.raises(OSError):
        Native("sh\0x", ["sh"], None, None, 24, 80, [])


# --- threads and processes ----------------------------------------------------------


def test_the_native_terminal_needs_no_owner_thread():
    t = native(["cat"])
    results: list[object] = []

    def use() -> None:
        try:
            results.append(t.send("hello", 10_000))
        except BaseException as error:  # reported below
            results.append(error)

    workers = [threading.Thread(target=use) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(30)
    # Calls on one terminal run one at a time; every line came back once.
    assert all(isinstance(r, tuple) and r[1] == "quiet" for r in results), results
    assert "".join(r[0] for r in results).count("hello") == 4  # type: ignore[index]
    closer = threading.Thread(target=t.close)
    closer.start()
    closer.join(30)
    assert not t.is_alive()
    with pytest.raises(RuntimeError, match="closed"):
        t.read(0)


def test_a_forked_child_sees_the_terminal_closed_and_leaves_the_parents_alone(tmp_path):
    script = tmp_path / "fork.py"
    script.write_text(
        "import os, sys\n"
        "from pellux_agent._terminal import Terminal\n"
        "t = Terminal('cat', ['cat'], None, None, 24, 80, [])\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    ok = not t.is_alive()\n"
        "    try:\n"
        "        t.read(0)\n"
        "        ok = False\n"
        "    except RuntimeError as e:\n"
        "        ok = ok and 'closed' in str(e)\n"
        "    del t\n"
        "    os._exit(0 if ok else 1)\n"
        "_, status = os.waitpid(pid, 0)\n"
        "assert os.waitstatus_to_exitcode(status) == 0, status\n"
        "assert t.is_alive()\n"
        "text, why = t.send('still here', 10000)\n"
        "assert text == 'still here\\n' and why == 'quiet', (text, why)\n"
        "t.close()\n"
        "print('ok')\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_interpreter_exit_with_a_daemon_thread_inside_a_read_is_clean(tmp_path):
    # The thread asks for the interpreter lock back during finalization and
    # is ended by a forced unwind, which must pass through the module; the
    # terminal, closed at exit from the main thread, must not wait out the
    # thread's long read.
    script = tmp_path / "daemon_read.py"
    script.write_text(
        "import threading, time\n"
        "from pellux_agent import Terminal\n"
        "from pellux_agent._terminal import Terminal as Native\n"
        "def quick():\n"
        "    t = Native('cat', ['cat'], None, None, 24, 80, ['NEVER'])\n"
        "    while True:\n"
        "        t.read(30)\n"
        "started = threading.Event()\n"
        "def long():\n"
        "    t = Terminal('cat', ready_markers=['NEVER'])\n"
        "    print(t.pid, flush=True)\n"
        "    started.set()\n"
        "    t.read(timeout_ms=60_000)\n"
        "threading.Thread(target=quick, daemon=True).start()\n"
        "threading.Thread(target=long, daemon=True).start()\n"
        "started.wait(30)  # a loaded machine may take a while to start the program\n"
        "time.sleep(0.3)\n"
    )
    for _ in range(5):
        started = time.monotonic()
        done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert "terminate" not in done.stderr and "Traceback" not in done.stderr, done.stderr
        assert time.monotonic() - started < 30
        assert not os.path.exists(f"/proc/{int(done.stdout)}/stat") or open(
            f"/proc/{int(done.stdout)}/stat"
        ).read().split(") ")[1][0] in "ZX"


# --- the read rules in the native loop ---------------------------------------------


def _probe_unknown(t: Native) -> bool:
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return t.probe() == "unknown"


def test_output_that_cleans_to_nothing_still_ends_a_read_on_quiet():
    # Only cursor moves: the text is empty, but the program answered. Under
    # "quiet" that output counts for the quiet period; under "auto" the
    # program then waits on the terminal, which ends the read (or, where the
    # probe cannot tell, the same quiet period does). A program that sleeps
    # after it is never "ready" under "auto": it is still busy.
    for rule, script, reasons in (
        ("quiet", r"printf '\033[5;5H'; sleep 60", {"quiet"}),
        ("auto", r"printf '\033[5;5H'; read line", {"input", "quiet"}),
    ):
        t = native(["sh", "-c", script])
        try:
            started = time.monotonic()
            text, why = t.read(30_000, rule=rule)
            assert text == "" and why in reasons, (rule, why)
            assert time.monotonic() - started < 5
        finally:
            t.close()


@pytest.mark.skipif(not os.path.exists("/usr/bin/vim"), reason="needs vim")
def test_vim_keys_under_auto_end_well_before_the_timeout(tmp_path):
    sample = tmp_path / "sample.txt"
    sample.write_text("hello world, a line to move on\n")
    t = native(
        ["vim", "-u", "NONE", "-i", "NONE", "-n", str(sample)],
        env=[f"{k}={v}" for k, v in os.environ.items()] + ["TERM=xterm"],
    )
    try:
        # The first screen, then keys that each answer with cursor moves only.
        t.read(30_000, rule="auto")
        t.write(b"$")
        t.read(30_000, rule="auto")
        for key in (b"h", b"0", b"A", b"\x1b"):
            started = time.monotonic()
            t.write(key)
            text, why = t.read(30_000, rule="auto")
            assert why in ("quiet", "input"), (key, text, why)
            assert time.monotonic() - started < 5, key
    finally:
        t.close()


def test_the_byte_cap_counts_raw_output():
    # Each line is mostly escape sequences: the clean text is far below the
    # cap when the raw output reaches it.
    t = native(["sh", "-c", r"i=0; while [ $i -lt 400 ]; do printf '\033[1;31mx\033[0m\n'; i=$((i+1)); done; sleep 60"])
    try:
        for rule in ("quiet", "auto", "markers"):
            text, why = t.read(10_000, 1000, rule=rule)
            assert why == "cap", rule
            assert 0 < len(text) < 300, rule
    finally:
        t.close()


def test_rules_and_markers_are_checked():
    t = native(["cat"])
    try:
        with pytest.raises(ValueError, match="rule must be one of"):
            t.read(0, rule="soon")
        with pytest.raises(TypeError, match="rule must be a str"):
            t.send("x", 0, rule=3)  # type: ignore[arg-type]
    finally:
        t.close()
    with pytest.raises(ValueError, match="ready_markers must not contain an empty string"):
        Native("cat", ["cat"], None, None, 24, 80, ["$ ", ""])


def test_an_unknown_probe_warns_once_and_reads_fall_back_on_markers():
    import warnings

    t = native([PYTHON, "-q"], [">>> "], env=[f"{k}={v}" for k, v in os.environ.items()] + ["PYTHON_BASIC_REPL=1"])
    try:
        verdict = _probe_unknown(t)
        # Whatever the probe can tell here, "auto" ends on the prompt.
        assert t.read(10_000, rule="auto")[0] == ">>> "
        text, why = t.send("6*7", 10_000, rule="auto")
        assert text == "42\n>>> " and why in ("input", "marker")
        if verdict:
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                assert t.probe() == "unknown"
            assert seen == []  # said once per process already
    finally:
        t.close()


def test_input_rule_ends_when_the_program_waits():
    t = native(["sh", "-c", "printf 'name? '; read x; echo got $x; sleep 60"])
    try:
        if _probe_unknown(t):
            pytest.skip("the input probe cannot tell here")
        assert t.read(10_000, rule="input") == ("name? ", "input")
    finally:
        t.close()


# --- reads that other threads end ---------------------------------------------------


def _during_a_long_read(t: Native, end: object, *, read_rule: str = "auto") -> tuple[tuple[str, str], float]:
    results: list[object] = []

    def read() -> None:
        try:
            results.append(t.read(600_000, rule=read_rule))
        except BaseException as error:  # reported below
            results.append(error)

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(0.5)  # inside the read's wait
    started = time.monotonic()
    end()  # type: ignore[operator]
    reader.join(30)
    elapsed = time.monotonic() - started
    assert not reader.is_alive()
    assert len(results) == 1 and isinstance(results[0], tuple), results
    return results[0], elapsed  # type: ignore[return-value]


def _sleeping_python() -> Native:
    t = native([PYTHON, "-q"], [">>> "], env=[f"{k}={v}" for k, v in os.environ.items()] + ["PYTHON_BASIC_REPL=1"])
    assert t.read(10_000)[0] == ">>> "
    t.write(b"import time; time.sleep(600)\n")
    return t


def test_cancel_from_another_thread_ends_a_long_read():
    t = _sleeping_python()
    try:
        for rule in ("auto", "markers", "quiet"):
            (text, why), elapsed = _during_a_long_read(t, t.cancel, read_rule=rule)
            assert why == "interrupted", rule
            assert elapsed < 5
        # Without a read running, cancel does nothing, and the next read is whole.
        t.cancel()
        t.send_ctrl_c()
        text, why = t.read(10_000)
        assert why == "marker" and text.endswith("KeyboardInterrupt\n>>> ")
    finally:
        t.close()


def test_a_send_waiting_to_write_is_ended_by_cancel_close_and_interrupt():
    # The program sleeps and reads nothing: a long input fills the terminal's
    # input queue and the send waits for room, within a 10-minute timeout.
    lines = "pass\n" * 100_000
    for end, reason in (("cancel", "interrupted"), ("send_ctrl_c", "interrupted"), ("close", "closed")):
        t = _sleeping_python()
        try:
            results: list[object] = []
            sender = threading.Thread(target=lambda: results.append(t.send(lines, 600_000)))
            sender.start()
            time.sleep(0.5)  # inside the write's wait
            started = time.monotonic()
            getattr(t, end)()
            sender.join(30)
            assert not sender.is_alive() and time.monotonic() - started < 5, end
            assert len(results) == 1 and results[0][1] == reason, (end, results)
            if end == "close":
                continue
            # Nothing of the stopped input stays queued to run later.
            if end == "cancel":
                t.send_ctrl_c()
            text, why = t.read(10_000)
            assert why == "marker" and text.endswith("KeyboardInterrupt\n>>> "), (end, text)
            assert t.send("6*7", 10_000) == ("42\n>>> ", "marker")
        finally:
            t.close()


def test_a_write_waiting_for_room_is_ended_by_another_thread():
    t = _sleeping_python()
    try:
        failures: list[BaseException] = []

        def write() -> None:
            try:
                t.write(b"pass\n" * 100_000, 600_000)
            except RuntimeError as error:
                failures.append(error)

        writer = threading.Thread(target=write)
        writer.start()
        time.sleep(0.5)  # inside the write's wait
        started = time.monotonic()
        t.send_ctrl_c()
        writer.join(30)
        assert not writer.is_alive() and time.monotonic() - started < 5
        assert len(failures) == 1 and "write failed: stopped" in str(failures[0]), failures
        text, why = t.read(10_000)
        assert why == "marker" and text.endswith("KeyboardInterrupt\n>>> "), text
        assert t.send("6*7", 10_000) == ("42\n>>> ", "marker")
    finally:
        t.close()


def test_send_ctrl_c_from_another_thread_ends_the_read_then_interrupts():
    t = _sleeping_python()
    try:
        (text, why), elapsed = _during_a_long_read(t, t.send_ctrl_c)
        assert why == "interrupted" and elapsed < 5
        text, why = t.read(10_000)
        assert why == "marker" and text.endswith("KeyboardInterrupt\n>>> ")
        assert t.send("6*7", 10_000) == ("42\n>>> ", "marker")
    finally:
        t.close()


def test_close_from_another_thread_ends_the_read_and_the_program():
    t = _sleeping_python()
    pid = t.pid
    (text, why), elapsed = _during_a_long_read(t, t.close)
    assert why == "closed" and elapsed < 5
    assert not t.is_alive()
    assert not os.path.exists(f"/proc/{pid}/stat") or open(f"/proc/{pid}/stat").read().split(") ")[1][0] in "ZX"
    with pytest.raises(RuntimeError, match="closed"):
        t.read(0)
