"""The input probe, as the agent layer's native terminal exposes it, against
real programs: waiting, computing, output in flight, stopped and exited
programs, and the one warning where /proc cannot tell.

The verdict rules case by case (event loops, parked threads, pagers, jobs,
a parent waiting for its child) are tested on the C++ probe itself by
tests/cpp/test_input_probe.cpp; here the question is whether the binding's
look at a running terminal tells the truth."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from pellux_agent._terminal import Terminal as Native

if not sys.platform.startswith("linux"):
    pytest.skip("the probe reads Linux /proc", allow_module_level=True)

WAIT_S = 15.0  # generous bound for every wait: the machine is shared and noisy


class Program:
    """A native terminal on `argv`, with the probe's verdicts and the
    output taken so far."""

    def __init__(self, argv: list[str], env: dict[str, str] | None = None) -> None:
        environment = {**os.environ, **(env or {})}
        self.terminal = Native(argv[0], argv, [f"{k}={v}" for k, v in environment.items()], None, 24, 80, [])
        self.pid = self.terminal.pid

    def verdict(self) -> str:
        return self.terminal.probe()

    def wait_for(self, verdict: str, within: float = WAIT_S) -> float:
        """Looks until the probe says `verdict`; seconds it took."""
        start = time.monotonic()
        while (seen := self.verdict()) != verdict:
            assert time.monotonic() - start < within, f"no {verdict} within {within} s (last: {seen})"
            time.sleep(0.001)
        return time.monotonic() - start

    def take(self) -> str:
        """What the program wrote and is queued now."""
        text = ""
        while chunk := self.terminal.read_available():
            text += chunk
        return text

    def send(self, line: str) -> None:
        self.terminal.write(line.encode() + b"\n", 10_000)

    def close(self) -> None:
        self.terminal.close()


@pytest.fixture
def program():
    started: list[Program] = []

    def start(argv: list[str], env: dict[str, str] | None = None) -> Program:
        if shutil.which(argv[0]) is None:
            pytest.skip(f"{argv[0]} is not installed")
        started.append(Program(argv, env))
        return started[-1]

    yield start
    for p in started:
        p.close()


# Each program, its plain-mode environment, a computation of about a second
# or more (its result), the prompt that follows an answer, a quick question
# whose answer holds 42.
REAL_PROGRAMS = {
    "bc": (["bc", "-q"], {}, "2^400000 % 7", "2", "", "6 * 7"),
    "python3": (["python3", "-q"], {"PYTHON_BASIC_REPL": "1"}, "sum(range(40_000_000))", "799999980000000", ">>> ", "6 * 7"),
    "bash": (["bash", "--norc", "--noprofile"], {"PS1": "P$ "}, "sleep 1; echo done", "done", "P$ ", "echo 42"),
    "dash": (["dash"], {"PS1": "P$ "}, "sleep 1; echo done", "done", "P$ ", "echo 42"),
    "sqlite3": (
        ["sqlite3", "-interactive"],
        {},
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<4000000) SELECT count(*) FROM c;",
        "4000000",
        "sqlite> ",
        "SELECT 42;",
    ),
    "gdb": (["gdb", "-q", "-nx"], {}, "python import time; time.sleep(1); print('done')", "done", "(gdb) ", "print 42"),
}


@pytest.mark.parametrize("name", sorted(REAL_PROGRAMS))
def test_real_programs_wait_compute_and_wait_again(program, name):
    argv, env, slow, answer, prompt, quick = REAL_PROGRAMS[name]
    p = program(argv, env)
    p.wait_for("waiting")
    p.take()
    p.send(slow)
    # While it computes the answer is not there and the probe never says
    # waiting; once it says so, the whole answer and the prompt are queued.
    p.wait_for("waiting")
    text = p.take()
    assert answer in text
    assert text.endswith(prompt)
    # A quick answer right after: no stale verdict from before the input.
    p.send(quick)
    p.wait_for("waiting")
    assert "42" in p.take()


def test_every_answer_is_queued_when_the_probe_says_waiting(program, tmp_path):
    # Answers of many small writes and of big bursts (more than the terminal
    # buffers), each followed at once by the next read of input: whatever
    # the program wrote must already be queued, never in the kernel or the
    # reader thread, when the probe says waiting; and the line just sent
    # must have been taken (no verdict from the moment before).
    script = tmp_path / "answers.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, sys
            n = 0
            while True:
                line = sys.stdin.readline()
                if not line:
                    break
                n += 1
                if n % 2:
                    for i in range(200):
                        os.write(1, b"x%d " % i)
                else:
                    os.write(1, b"y" * 300_000 + b"\\n")
                os.write(1, b"END %d\\n" % n)
            """
        )
    )
    p = program([sys.executable, "-u", str(script)])
    p.wait_for("waiting")
    for turn in range(1, 201):
        p.send("go")
        p.wait_for("waiting")
        text = p.take()
        assert text.endswith(f"END {turn}\n"), (turn, text[-80:])
        assert text.count("END") == 1


def test_stopped_and_exited_programs(program):
    p = program(["bc", "-q"])
    p.wait_for("waiting")
    os.kill(p.pid, signal.SIGSTOP)
    try:
        p.wait_for("busy")
    finally:
        os.kill(p.pid, signal.SIGCONT)
    p.wait_for("waiting")
    p.send("quit")
    p.wait_for("exited")


def test_unreadable_proc_is_unknown_with_one_warning(tmp_path):
    # A program that made itself non-dumpable keeps /proc/<pid>/syscall from
    # an unprivileged observer, as ptrace restrictions or another user do.
    # The probe then says unknown, with one warning however often it looks.
    hidden = tmp_path / "hidden.py"
    hidden.write_text(
        "import ctypes, sys\n"
        "ctypes.CDLL(None).prctl(4, 0)  # PR_SET_DUMPABLE\n"
        "print('hidden', flush=True)\n"
        "sys.stdin.readline()\n"
    )
    observer = tmp_path / "observer.py"
    observer.write_text(
        textwrap.dedent(
            f"""
            import sys, time, warnings
            from pellux_agent._terminal import Terminal
            t = Terminal({sys.executable!r}, [{sys.executable!r}, {str(hidden)!r}], None, None, 24, 80, [])
            text = ""
            deadline = time.monotonic() + 15
            while "hidden" not in text and time.monotonic() < deadline:
                text += t.read_available()
                time.sleep(0.01)
            time.sleep(0.2)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                verdicts = {{t.probe() for _ in range(20)}}
            print(sorted(verdicts), len(caught))
            print(caught[0].message if caught else "")
            t.close()
            """
        )
    )
    preexec = None
    if os.geteuid() == 0:
        # root may trace anything; look without the capability to trace,
        # which the program's exec then never gets back.
        import ctypes

        def preexec() -> None:
            PR_CAPBSET_DROP, CAP_SYS_PTRACE = 24, 19
            if ctypes.CDLL(None, use_errno=True).prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")

    result = subprocess.run(
        [sys.executable, str(observer)], capture_output=True, text=True, timeout=60, preexec_fn=preexec
    )
    assert result.returncode == 0, result.stderr
    verdicts, warning = result.stdout.splitlines()
    assert verdicts == "['unknown'] 1"
    assert "cannot tell whether the program waits for input" in warning
    assert "syscall" in warning  # it names the cause
