"""Real programs driven through several agent turns: gdb on a small C
program, the Python REPL, and a POSIX shell. Each turn checks the content
that comes back, the way an agent would rely on it."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import pellux

TURN_MS = 30_000  # deadline of one turn; turns normally take milliseconds


@pytest.fixture
def spawn():
    sessions = []

    def start(command, interactive=True, markers=None):
        s = pellux.Pellux(str(command), interactive, markers)
        sessions.append(s)
        return s

    yield start
    for s in sessions:
        s.close()


def write_program(path, text):
    path = Path(path)
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


def greeting_after_reset(s, marker):
    """Reset may already have taken the new program's first output into the
    history; read the rest of its greeting if it has not."""
    text = s.get_history()
    if not text.endswith(marker):
        text += s.read_until_ready(timeout_ms=TURN_MS)
    return text


# ---- gdb --------------------------------------------------------------------------

C_PROGRAM = r"""
#include <stdio.h>

volatile unsigned long counter;

static int twice(int x) {
    return 2 * x;
}

int main(void) {
    int value = twice(21);
    printf("value=%d\n", value);
    fflush(stdout);
    for (;;) {
        counter++;
    }
    return 0;
}
"""


@pytest.fixture(scope="module")
def debuggee(tmp_path_factory):
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not installed")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    where = tmp_path_factory.mktemp("gdb")
    source = where / "loop.c"
    source.write_text(C_PROGRAM)
    binary = where / "loop"
    subprocess.run([compiler, "-g", "-O0", "-o", str(binary), str(source)], check=True, timeout=120)
    wrapper = write_program(
        where / "gdb-loop",
        "#!/bin/sh\n"
        "unset DEBUGINFOD_URLS\n"
        f"exec gdb -q -nx -iex 'set pagination off' -iex 'set confirm off' {binary}\n",
    )
    return wrapper


def test_gdb_session_through_breakpoint_stepping_interrupt_and_reset(spawn, debuggee):
    gdb = spawn(debuggee)  # the default markers include "(gdb) "

    text = gdb.read_until_ready(timeout_ms=TURN_MS)
    assert "Reading symbols from" in text
    assert text.endswith("(gdb) ")

    text = gdb.send_and_read_until_ready("break main", timeout_ms=TURN_MS)
    assert re.search(r"Breakpoint 1 at 0x[0-9a-f]+: file .*loop\.c, line \d+\.", text), text
    assert text.endswith("(gdb) ")

    text = gdb.send_and_read_until_ready("run", timeout_ms=TURN_MS)
    # gdb breaks the line before "at" when the file's path is long.
    assert re.search(r"Breakpoint 1, main \(\)\s+at ", text), text
    assert "int value = twice(21);" in text
    assert text.endswith("(gdb) ")

    text = gdb.send_and_read_until_ready("bt", timeout_ms=TURN_MS)
    assert re.search(r"#0  main \(\) at .*loop\.c:\d+", text), text
    assert "#1" not in text

    text = gdb.send_and_read_until_ready("info registers rip", timeout_ms=TURN_MS)
    assert re.search(r"rip\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <main\+\d+>", text), text

    text = gdb.send_and_read_until_ready("next", timeout_ms=TURN_MS)
    assert 'printf("value=%d\\n", value);' in text, text
    text = gdb.send_and_read_until_ready("print value", timeout_ms=TURN_MS)
    assert re.search(r"\$1 = 42\b", text), text
    # The program's own output comes through the same terminal.
    text = gdb.send_and_read_until_ready("next", timeout_ms=TURN_MS)
    assert "value=42" in text, text

    # Let it loop: no prompt comes back until it is interrupted.
    text = gdb.send_and_read_until_ready("continue", timeout_ms=1000)
    assert "Continuing." in text
    assert "(gdb) " not in text
    gdb.send_ctrl_c()
    text = gdb.read_until_ready(timeout_ms=TURN_MS)
    assert "Program received signal SIGINT" in text, text
    assert text.endswith("(gdb) ")
    text = gdb.send_and_read_until_ready("print counter > 0", timeout_ms=TURN_MS)
    assert re.search(r"\$2 = 1\b", text), text

    history = gdb.get_history()
    for seen in ("Reading symbols from", "Breakpoint 1, main ()", "value=42", "SIGINT"):
        assert seen in history
    assert "\x1b" not in history and "\r" not in history

    # A fresh gdb: no breakpoints, no old history.
    gdb.reset()
    assert gdb.is_alive()
    assert "(gdb) " in greeting_after_reset(gdb, "(gdb) ")
    text = gdb.send_and_read_until_ready("info breakpoints", timeout_ms=TURN_MS)
    assert "No breakpoints" in text, text
    assert "SIGINT" not in gdb.get_history()


# ---- the Python REPL ----------------------------------------------------------------------

REPL_MARKERS = [">>> ", "... "]


@pytest.fixture
def repl(tmp_path, spawn):
    wrapper = write_program(
        tmp_path / "repl",
        "#!/bin/sh\n"
        "unset PYTHONSTARTUP\n"
        "export PYTHON_BASIC_REPL=1 NO_COLOR=1\n"
        f"exec {sys.executable} -q -i\n",
    )
    s = spawn(wrapper, True, REPL_MARKERS)
    assert s.read_until_ready(timeout_ms=TURN_MS).endswith(">>> ")
    return s


def test_repl_defines_and_calls_a_function(repl):
    assert repl.send_and_read_until_ready("def square(x):", timeout_ms=TURN_MS).endswith("... ")
    assert repl.send_and_read_until_ready("    return x * x", timeout_ms=TURN_MS).endswith("... ")
    assert repl.send_and_read_until_ready("", timeout_ms=TURN_MS).endswith(">>> ")
    text = repl.send_and_read_until_ready("square(12)", timeout_ms=TURN_MS)
    assert text.endswith(">>> ")
    assert "144" in text.splitlines()
    text = repl.send_and_read_until_ready("print('\\u00e9t\\u00e9', sum(map(square, range(4))))", timeout_ms=TURN_MS)
    assert "\u00e9t\u00e9 14" in text.splitlines()


def test_repl_traceback_then_keeps_going(repl):
    text = repl.send_and_read_until_ready("1 / 0", timeout_ms=TURN_MS)
    assert "Traceback (most recent call last):" in text
    assert "ZeroDivisionError: division by zero" in text
    assert text.endswith(">>> ")
    text = repl.send_and_read_until_ready("[n for n in range(5)]", timeout_ms=TURN_MS)
    assert "[0, 1, 2, 3, 4]" in text.splitlines()


def test_repl_ctrl_c_interrupts_a_busy_loop(repl):
    repl.send_and_read_until_ready("n = 0", timeout_ms=TURN_MS)
    assert repl.send_and_read_until_ready("while True: n += 1", timeout_ms=TURN_MS).endswith("... ")
    # The blank line starts the loop; no prompt while it spins.
    text = repl.send_and_read_until_ready("", timeout_ms=500)
    assert ">>> " not in text and "... " not in text
    repl.send_ctrl_c()
    text = repl.read_until_ready(timeout_ms=TURN_MS)
    assert "KeyboardInterrupt" in text
    assert text.endswith(">>> ")
    text = repl.send_and_read_until_ready("n > 0", timeout_ms=TURN_MS)
    assert "True" in text.splitlines()


def test_repl_reset_forgets_definitions(repl):
    repl.send_and_read_until_ready("kept = 'old'", timeout_ms=TURN_MS)
    assert "old" in repl.send_and_read_until_ready("kept", timeout_ms=TURN_MS)
    repl.reset()
    assert greeting_after_reset(repl, ">>> ").endswith(">>> ")
    text = repl.send_and_read_until_ready("kept", timeout_ms=TURN_MS)
    assert "NameError" in text
    assert "'old'" not in repl.get_history()


# ---- a POSIX shell ------------------------------------------------------------------------

PROMPT = "pellux$ "


@pytest.fixture
def shell(tmp_path, spawn):
    wrapper = write_program(
        tmp_path / "shell",
        f"#!/bin/sh\nunset ENV\nPS1='{PROMPT}'\nexport PS1\nexec /bin/sh -i\n",
    )
    s = spawn(wrapper, True, [PROMPT])
    assert s.read_until_ready(timeout_ms=TURN_MS) == PROMPT
    return s


def turn(s, line, **kwargs):
    kwargs.setdefault("timeout_ms", TURN_MS)
    text = s.send_and_read_until_ready(line, **kwargs)
    assert text.endswith(PROMPT), text
    return text[: -len(PROMPT)]


def test_shell_turns(shell, tmp_path):
    assert turn(shell, "echo hello world") == "hello world\n"
    assert turn(shell, "x=21; echo $((x * 2))") == "42\n"
    assert turn(shell, "false; echo status=$?") == "status=1\n"
    assert turn(shell, f"cd '{tmp_path}' && pwd") == f"{os.path.realpath(tmp_path)}\n"
    assert turn(shell, "printf 'a\\tb\\n'") == "a\tb\n"
    assert turn(shell, "printf '\\033[1;31mred\\033[0m \\033]0;title\\007plain\\n'") == "red plain\n"
    assert turn(shell, "for i in 1 2 3; do echo n$i; done") == "n1\nn2\nn3\n"
    assert turn(shell, "echo '\u00e9t\u00e9 \u2713'") == "\u00e9t\u00e9 \u2713\n"
    # Several lines in one send: a here-document (its "> " continuation
    # prompts are not markers).
    text = turn(shell, "cat <<'EOF'\nline one\n  line two\nEOF")
    assert text.replace("> ", "") == "line one\n  line two\n"
    assert turn(shell, "echo $((6 * 7)) >&2") == "42\n"


def test_shell_long_output_arrives_whole(shell):
    text = turn(shell, "seq 1 100000")
    assert text == "".join(f"{i}\n" for i in range(1, 100001))


def test_shell_output_over_the_cap_continues_in_later_reads(shell):
    expected = "".join(f"{i}\n" for i in range(1, 20001))
    text = shell.send_and_read_until_ready("seq 1 20000", timeout_ms=TURN_MS, max_output_bytes=4096)
    assert 0 < len(text) <= 4096
    deadline = time.monotonic() + 60
    while not text.endswith(PROMPT):
        assert time.monotonic() < deadline, "output did not end within 60 s"
        piece = shell.read_until_ready(timeout_ms=TURN_MS, max_output_bytes=4096)
        assert len(piece) <= 4096
        text += piece
    assert text[: -len(PROMPT)] == expected


def test_shell_ctrl_c_interrupts_sleep(shell):
    assert shell.send_and_read_until_ready("sleep 30; echo finished", timeout_ms=300) == ""
    shell.send_ctrl_c()
    # sleep runs for 30 s, beyond this read's deadline: only the interrupt
    # brings the prompt back in time.
    text = shell.read_until_ready(timeout_ms=20_000)
    assert text.endswith(PROMPT)
    assert "finished" not in text
    assert turn(shell, "echo still here") == "still here\n"


def test_shell_exit_ends_the_session(shell):
    text = shell.send_and_read_until_ready("echo bye; exit 3", timeout_ms=TURN_MS)
    assert text == "bye\n"
    deadline = time.monotonic() + 20
    while shell.is_alive():
        assert time.monotonic() < deadline, "shell did not exit"
        time.sleep(0.02)
    assert shell.read_until_ready(timeout_ms=TURN_MS) == ""
    assert shell.read_available() == ""


def test_close_returns_promptly_while_a_background_job_holds_the_terminal(shell):
    text = turn(shell, "sleep 60 & echo bg=$!")
    pid = int(re.fullmatch(r"(?:\[\d+\] \d+\n)?bg=(\d+)\n", text).group(1))
    try:
        started = time.monotonic()
        shell.close()
        assert time.monotonic() - started < 10
        assert not shell.is_alive()
    finally:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def test_shell_reset_gives_a_fresh_shell(shell):
    turn(shell, "remembered=yes")
    assert turn(shell, "echo ${remembered:-unset}") == "yes\n"
    shell.reset()
    assert greeting_after_reset(shell, PROMPT) == PROMPT
    assert turn(shell, "echo ${remembered:-unset}") == "unset\n"
    assert shell.get_history() == PROMPT + "unset\n" + PROMPT
