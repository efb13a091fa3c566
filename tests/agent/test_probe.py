"""The /proc readiness probe against real programs: waiting, computing,
output in flight, event loops, and the fallback where /proc cannot tell."""

from __future__ import annotations

import os
import shlex
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import pytest

import pellux_agent

import pellux
from pellux_agent.probe import InputProbe, Verdict

if not sys.platform.startswith("linux"):
    pytest.skip("the probe reads Linux /proc", allow_module_level=True)

WAIT_S = 15.0  # generous bound for every wait: the machine is shared and noisy


class Program:
    """A pellux session whose program writes its pid before it execs."""

    def __init__(self, tmp_path: Path, argv: list[str], env: dict[str, str] | None = None) -> None:
        pid_file = tmp_path / f"pid-{len(list(tmp_path.iterdir()))}"
        script = pid_file.with_suffix(".sh")
        assignments = " ".join(f"{k}={shlex.quote(v)}" for k, v in (env or {}).items())
        script.write_text(f"#!/bin/sh\necho $$ > {pid_file}\nexec env {assignments} {shlex.join(argv)}\n")
        script.chmod(0o700)
        self.session = pellux.Pellux(str(script), False)
        deadline = time.monotonic() + WAIT_S
        while True:
            text = pid_file.read_text() if pid_file.exists() else ""
            if text.endswith("\n"):
                self.pid = int(text)
                break
            assert time.monotonic() < deadline, "the launcher never wrote its pid"
            time.sleep(0.005)
        self.probe = InputProbe(self.pid)
        self.output = ""
        self.pending = ""

    def wait_for(self, verdict: Verdict, within: float = WAIT_S) -> float:
        """Polls until the probe says `verdict`; seconds it took."""
        return self.wait_until(lambda: self.probe.check() is verdict, within, f"verdict {verdict}")

    def wait_until(self, predicate, within: float = WAIT_S, what: str = "reading stopped") -> float:
        """Checks the probe until `predicate()` holds; seconds it took."""
        start = time.monotonic()
        while True:
            if predicate():
                return time.monotonic() - start
            assert time.monotonic() - start < within, f"no {what} within {within} s"
            time.sleep(0.001)

    def take(self) -> str:
        """What the program wrote since the last take()."""
        text, self.pending = self.pending, ""
        while chunk := self.session.read_available():
            text += chunk
        return text

    def send(self, line: str) -> None:
        # A zero timeout only takes what is queued already: keep it.
        self.pending += self.session.send_and_read_until_ready(line, timeout_ms=0)

    def close(self) -> None:
        self.session.close()


@pytest.fixture
def program(tmp_path):
    started: list[Program] = []

    def start(argv: list[str], env: dict[str, str] | None = None) -> Program:
        if shutil.which(argv[0]) is None:
            pytest.skip(f"{argv[0]} is not installed")
        started.append(Program(tmp_path, argv, env))
        return started[-1]

    yield start
    for p in started:
        p.close()


def python_program(tmp_path: Path, body: str) -> list[str]:
    path = tmp_path / f"prog-{len(list(tmp_path.iterdir()))}.py"
    path.write_text(textwrap.dedent(body))
    return [sys.executable, "-u", str(path)]


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
    p.wait_for(Verdict.WAITING)
    p.take()
    p.send(slow)
    # While it computes the answer is not there and the probe never says
    # WAITING; once it says so, the whole answer and the prompt are queued.
    p.wait_until(lambda: p.probe.check() and not p.probe.reading, within=0.5)
    p.wait_for(Verdict.WAITING)
    assert p.probe.reading
    text = p.take()
    assert answer in text
    assert text.endswith(prompt)
    # A quick answer right after: no stale WAITING from before the input.
    p.send(quick)
    p.wait_for(Verdict.WAITING)
    assert "42" in p.take()


def test_every_answer_is_queued_when_the_probe_says_waiting(program, tmp_path):
    # Answers of many small writes and of big bursts (more than the terminal
    # buffers), each followed at once by the next read of input: whatever
    # the program wrote must already be in pellux's queue, never in the
    # kernel or the reader thread, when the probe says WAITING; and the line
    # just sent must have been taken (no WAITING from the moment before).
    argv = python_program(
        tmp_path,
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
        """,
    )
    p = program(argv)
    p.wait_for(Verdict.WAITING)
    for turn in range(1, 401):
        p.send("go")
        p.wait_for(Verdict.WAITING)
        text = p.take()
        assert text.endswith(f"END {turn}\n"), (turn, text[-80:])
        assert text.count("END") == 1


def test_jobs_in_the_foreground_hold_the_turn_and_background_jobs_do_not(program):
    p = program(["bash", "--norc", "--noprofile"], {"PS1": "P$ "})
    p.wait_for(Verdict.WAITING)
    p.send("sleep 30 &")
    p.wait_for(Verdict.WAITING)
    assert p.take().endswith("P$ ")
    p.send("sleep 1 | cat")  # a pipeline: cat reads the pipe, not the terminal
    p.wait_until(lambda: p.probe.check() and not p.probe.reading, within=0.5)
    assert p.wait_for(Verdict.WAITING) > 0.5
    p.send("kill %1")


def test_threads_parked_without_timeout_do_not_hide_a_wait_and_busy_ones_do(program, tmp_path):
    argv = python_program(
        tmp_path,
        """
        import sys, threading, time
        park = threading.Event()
        threading.Thread(target=park.wait, daemon=True).start()
        for line in sys.stdin:
            if line.startswith("spin"):
                threading.Thread(target=lambda: [0 for _ in range(30_000_000)], daemon=True).start()
            elif line.startswith("nap"):
                threading.Thread(target=time.sleep, args=(2,), daemon=True).start()
            print("ok", flush=True)
        """,
    )
    p = program(argv)
    p.wait_for(Verdict.WAITING)  # main thread in read, one thread parked
    for worker in ("spin", "nap"):
        # The main thread waits for input again, but another thread works
        # (or sleeps on a timer, which can end with output): not waiting.
        p.send(worker)
        p.wait_for(Verdict.BUSY, within=0.5)
        time.sleep(0.3)
        assert p.probe.check() is Verdict.BUSY
        p.wait_for(Verdict.WAITING)
        assert p.take() == "ok\n"


def test_event_loops_that_can_wake_on_their_own_are_never_waiting(program, tmp_path):
    # A wait that also covers a pipe another process writes, or that has a
    # timeout, can end without input: such a program is never WAITING.
    # Its own self-pipe cannot wake it while it sleeps, so that one is.
    argv = python_program(
        tmp_path,
        """
        import os, select, subprocess, sys
        own_r, own_w = os.pipe()
        # In a session of its own: a sleeping process in the foreground
        # group would make the program busy by itself.
        child = subprocess.Popen(["sleep", "60"], stdout=subprocess.PIPE, start_new_session=True)
        for mode in ("self", "foreign", "timer"):
            print("mode", mode, flush=True)
            if mode == "self":
                select.select([0, own_r], [], [])
            elif mode == "foreign":
                select.select([0, child.stdout], [], [])
            else:
                select.select([0], [], [], 60)
            sys.stdin.readline()
        child.kill()
        """,
    )
    p = program(argv)
    for mode, expected in (("self", Verdict.WAITING), ("foreign", Verdict.BUSY), ("timer", Verdict.BUSY)):
        p.output = ""
        deadline = time.monotonic() + WAIT_S
        while f"mode {mode}\n" not in p.output:
            assert time.monotonic() < deadline, p.output
            p.output += p.take()
            time.sleep(0.01)
        if expected is Verdict.WAITING:
            p.wait_for(Verdict.WAITING)
        else:
            time.sleep(0.3)
            assert p.probe.check() is Verdict.BUSY, mode
            assert p.probe.reading  # idle, but not only on the terminal
        p.send("next")
    # node keeps a timer in its loop at all times, idle or not.
    node = program(["node"], {"NODE_NO_READLINE": "1"})
    deadline = time.monotonic() + WAIT_S
    text = ""
    while not text.endswith("> ") and time.monotonic() < deadline:
        text += node.take()
        time.sleep(0.01)
    assert text.endswith("> ")
    assert node.probe.check() is Verdict.BUSY
    assert node.probe.reading


def test_pagers_and_raw_reads_with_a_timer(program, tmp_path):
    less = program(["less", "/etc/passwd"], {"TERM": "vt100", "LESS": ""})
    less.wait_for(Verdict.WAITING)  # less reads single keys from /dev/tty
    argv = python_program(
        tmp_path,
        """
        import os, termios, tty
        attrs = termios.tcgetattr(0)
        attrs[3] &= ~termios.ICANON
        attrs[6][termios.VMIN] = 0
        attrs[6][termios.VTIME] = 100   # read returns after 10 s without a key
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        print("ready", flush=True)
        os.read(0, 1)
        """,
    )
    timed = program(argv)
    deadline = time.monotonic() + WAIT_S
    while "ready" not in timed.output and time.monotonic() < deadline:
        timed.output += timed.take()
        time.sleep(0.01)
    time.sleep(0.3)
    assert timed.probe.check() is Verdict.BUSY


def test_stopped_and_exited_programs(program, tmp_path):
    p = program(["bc", "-q"])
    p.wait_for(Verdict.WAITING)
    os.kill(p.pid, signal.SIGSTOP)
    try:
        p.wait_for(Verdict.BUSY, within=5)
    finally:
        os.kill(p.pid, signal.SIGCONT)
    p.wait_for(Verdict.WAITING)
    p.send("quit")
    p.wait_for(Verdict.EXITED)


def test_unreadable_proc_is_unknown_once_and_never_waiting(tmp_path):
    # A program that made itself non-dumpable keeps /proc/<pid>/syscall from
    # an unprivileged observer, as ptrace restrictions or another user do.
    # The probe then says UNKNOWN, with one warning however often it looks.
    program = tmp_path / "hidden.py"
    program.write_text(
        "import ctypes, sys\n"
        "ctypes.CDLL(None).prctl(4, 0)  # PR_SET_DUMPABLE\n"
        "print('hidden', flush=True)\n"
        "sys.stdin.readline()\n"
    )
    observer = tmp_path / "observer.py"
    observer.write_text(
        textwrap.dedent(
            f"""
            import os, sys, time, warnings
            sys.path.insert(0, {str(Path(pellux_agent.__file__).resolve().parents[1])!r})
            import pellux
            from pellux_agent.probe import InputProbe, Verdict
            with open({str(tmp_path / "run.sh")!r}, "w") as f:
                f.write("#!/bin/sh\\necho $$ > {tmp_path}/pid\\nexec {sys.executable} {program}\\n")
            os.chmod({str(tmp_path / "run.sh")!r}, 0o755)
            session = pellux.Pellux({str(tmp_path / "run.sh")!r}, False)
            text = ""
            deadline = time.monotonic() + 15
            while "hidden" not in text and time.monotonic() < deadline:
                text += session.read_available()
                time.sleep(0.01)
            time.sleep(0.2)
            probe = InputProbe(int(open("{tmp_path}/pid").read()))
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                verdicts = {{probe.check() for _ in range(20)}}
            print(sorted(v.name for v in verdicts), len(caught), probe.reason)
            print(caught[0].message if caught else "")
            session.close()
            """
        )
    )
    command = [sys.executable, str(observer)]
    preexec = None
    if os.geteuid() == 0:
        # root may trace anything; look without the capability to trace,
        # which the program's exec then never gets back.
        import ctypes

        def preexec() -> None:
            PR_CAPBSET_DROP, CAP_SYS_PTRACE = 24, 19
            if ctypes.CDLL(None, use_errno=True).prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")

    result = subprocess.run(command, capture_output=True, text=True, timeout=60, preexec_fn=preexec)
    assert result.returncode == 0, result.stderr
    verdicts, warnings_line = result.stdout.splitlines()
    assert verdicts.startswith("['UNKNOWN'] 1 ")
    assert "syscall" in verdicts
    assert "cannot tell whether a program waits for input" in warnings_line


def test_probe_warning_names_the_cause(monkeypatch):
    # An architecture whose system calls the probe does not decode.
    import platform

    import pellux_agent.probe

    monkeypatch.setattr(platform, "machine", lambda: "sparc64")
    monkeypatch.setattr(pellux_agent.probe, "_warned", False)  # once per process
    probe = InputProbe(os.getpid())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert probe.check() is Verdict.UNKNOWN
        assert probe.check() is Verdict.UNKNOWN
    assert "sparc64" in probe.reason
    assert len(caught) == 1
    assert "sparc64" in str(caught[0].message)
