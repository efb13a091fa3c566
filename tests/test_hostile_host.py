"""What the host process does around a session: it exits while daemon
threads are inside calls, it forks, and other threads must run while a
session ends.

Each interpreter-exit and fork scenario runs in a Python process of its own,
so that an abort, a hang or a broken terminal shows as that process's exit
status and output instead of taking the test run with it.
"""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from pellux import Pellux
from support import write_executable

# Ignores the termination signals it can, so that ending it takes close's
# whole sequence (SIGKILL after four 100 ms pauses). One process: exec keeps
# the ignored dispositions and leaves no shell behind. Short-lived, since a
# scenario whose host exits mid-call may leave it running without a terminal.
STUBBORN = "#!/bin/sh\ntrap '' HUP INT TERM\necho stubborn-ready\nexec sleep 10\n"
# Never reads its input, never prints.
DEAF = "#!/bin/sh\nexec sleep 10\n"


@pytest.fixture
def open_sessions():
    sessions = []
    yield sessions
    for s in sessions:
        s.close()


@pytest.fixture
def programs(tmp_path):
    return {
        "stubborn": write_executable(tmp_path / "stubborn", STUBBORN),
        "deaf": write_executable(tmp_path / "deaf", DEAF),
    }


def run_python(tmp_path, code, *args, timeout=60):
    script = tmp_path / "host.py"
    script.write_text(textwrap.dedent(code))
    proc = subprocess.run(
        [sys.executable, str(script), *map(str, args)], capture_output=True, text=True, timeout=timeout
    )
    return proc.returncode, proc.stdout, proc.stderr


# ---------------------------------------------------------------- interpreter exit

# A daemon thread is inside a call when the main thread returns. The
# interpreter then finalizes; an object held by a module of its own sleeps
# while modules are torn down, so the call ends while the interpreter is
# finalizing and the thread asks for the lock back exactly then. CPython
# 3.10-3.13 end such a thread with pthread_exit.
EXIT_SCENARIO = """\
import sys, threading, time, types
from pellux import Pellux

kind, deaf, stubborn = sys.argv[1:4]
inside = threading.Event()

def run():
    if kind == "read":
        s = Pellux(deaf, True, ["never shown> "])
        inside.set()
        s.read_until_ready(timeout_ms=150)
    elif kind == "write":
        s = Pellux(deaf, True, ["never shown> "])
        inside.set()
        for _ in range(4096):  # far more than the terminal holds
            s.send_and_read_until_ready("z" * 1023, timeout_ms=0)
    else:
        s = Pellux(stubborn, True, ["stubborn-ready"])
        s.read_until_ready(timeout_ms=10_000)
        inside.set()
        if kind == "close":
            s.close()
        elif kind == "drop":
            del s
        elif kind == "reset":
            s.reset()
    time.sleep(30)

class SlowFinalization:
    def __del__(self, sleep=time.sleep):
        sleep(0.6)

holder = types.ModuleType("slow_finalization")
holder.keep = SlowFinalization()
sys.modules["slow_finalization"] = holder
threading.Thread(target=run, daemon=True).start()
inside.wait(10)
time.sleep(0.3 if kind == "write" else 0.05)
print("main returns", flush=True)
"""

EXIT_KINDS = ["read", "write", "close", "drop", "reset"]
RUNS_PER_KIND = 4


class TestInterpreterExit:
    @pytest.mark.parametrize("kind", EXIT_KINDS)
    def test_daemon_thread_inside_a_call_never_aborts_the_exit(self, tmp_path, programs, kind):
        failures = []
        for _ in range(RUNS_PER_KIND):
            status, out, err = run_python(tmp_path, EXIT_SCENARIO, kind, programs["deaf"], programs["stubborn"])
            if status != 0 or "main returns" not in out or "terminate" in err or "panicked" in err:
                failures.append(f"status {status}: {err.strip()[-500:]}")
        assert not failures, f"{len(failures)}/{RUNS_PER_KIND} exits failed: {failures[0]}"


    @pytest.mark.parametrize(
        "flags",
        [[], ["-g", "-O1", "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]],
        ids=["plain", "address_undefined"],
    )
    def test_lock_guard_lets_the_thread_end_while_it_takes_the_lock_back(self, native, flags):
        exe = native.executable("test_interpreter_release", ["tests/cpp/test_interpreter_release.cpp"], flags)
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        result = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, env=env)
        report = f"exit {result.returncode}\n{result.stdout}{result.stderr[-5000:]}"
        assert result.returncode == 0, report
        assert result.stdout.strip().splitlines()[-1].endswith(" passed, 0 failed"), report


# ---------------------------------------------------------------- fork

# The parent starts a shell session and forks. The child uses the inherited
# object and then gets rid of it in one of three ways; the parent must not
# notice any of it.
FORK_SCENARIO = """\
import json, os, sys, time
from pellux import Pellux

shell, ending = sys.argv[1:3]
s = Pellux(shell, True, ["ready$ "])
s.read_until_ready(timeout_ms=10_000)

def descriptors():
    return set(os.listdir("/proc/self/fd"))

pid = os.fork()
if pid == 0:
    report = {}
    started = time.monotonic()
    report["read"] = s.read_until_ready(timeout_ms=60_000)
    report["read_seconds"] = time.monotonic() - started
    report["read_available"] = s.read_available()
    report["alive"] = s.is_alive()
    errors = []
    for call in ("send_and_read_until_ready", "send_ctrl_c"):
        try:
            if call == "send_ctrl_c":
                s.send_ctrl_c()
            else:
                s.send_and_read_until_ready("echo FROM-CHILD")
            errors.append(None)
        except RuntimeError as e:
            errors.append(str(e))
    report["write_errors"] = errors
    before = descriptors()
    if ending == "close":
        s.close()
        report["read_after_close"] = s.read_until_ready(timeout_ms=60_000)
    elif ending == "drop":
        del s
        after = descriptors()
        report["released"] = len(before - after)
        report["opened"] = len(after - before)
    elif ending == "reset":
        # A closed session can start again: a program of the child's own.
        s.reset()
        s.read_until_ready(timeout_ms=10_000)
        report["own_answer"] = s.send_and_read_until_ready("echo child-own", timeout_ms=10_000)
        report["own_alive"] = s.is_alive()
        s.close()
    with open(os.environ["REPORT"], "w") as f:
        json.dump(report, f)
    if ending != "exit":
        os._exit(0)
    # "exit": the child runs the interpreter's own finalization, which
    # disposes of the session as it tears __main__ down.
else:
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            status = "hung"
            break
        time.sleep(0.01)
    answer = s.send_and_read_until_ready("echo parent-still-here", timeout_ms=10_000)
    print(json.dumps({"child_status": status, "answer": answer, "alive": s.is_alive(),
                      "history": s.get_history()}))
    s.close()
"""


class TestFork:
    @pytest.mark.parametrize("ending", ["close", "drop", "reset", "exit"])
    def test_session_behaves_as_closed_in_the_child_and_untouched_in_the_parent(
        self, tmp_path, monkeypatch, ending
    ):
        shell = write_executable(tmp_path / "shell", "#!/bin/sh\nPS1='ready$ ' exec /bin/sh\n")
        report_path = tmp_path / "report.json"
        monkeypatch.setenv("REPORT", str(report_path))
        status, out, err = run_python(tmp_path, FORK_SCENARIO, shell, ending)
        assert status == 0, f"status {status}: {err[-2000:]}"
        parent = json.loads(out.strip().splitlines()[-1])
        assert parent["child_status"] == 0, f"child: {parent['child_status']}; {err[-2000:]}"
        child = json.loads(report_path.read_text())

        # In the child: closed.
        assert child["read"] == "" and child["read_available"] == ""
        assert child["read_seconds"] < 30, "a read in the child waited for its timeout"
        assert child["alive"] is False
        for message in child["write_errors"]:
            assert message is not None, "a write in the child reached the parent's program"
            # Ctrl-C fails as a flush, a line as a write; both name the fork.
            assert message.startswith(("write failed: ", "flush failed: ")) and "fork" in message, message
        if ending == "close":
            assert child["read_after_close"] == ""
        if ending == "drop":
            # The master and its two duplicates, and the wake eventfd.
            assert (child["released"], child["opened"]) == (4, 0)
        if ending == "reset":
            assert "child-own" in child["own_answer"] and child["own_alive"] is True

        # In the parent: untouched.
        assert parent["alive"] is True
        assert "parent-still-here" in parent["answer"]
        assert "FROM-CHILD" not in parent["history"]


# ---------------------------------------------------------------- other threads while a session ends


class Ticker:
    """A thread that records the time every millisecond or so; it can only
    do so while it can get the interpreter lock."""

    def __init__(self):
        self.ticks = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.ticks.append(time.monotonic())
            time.sleep(0.001)

    def __enter__(self):
        self._thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=10)

    def during(self, started, ended):
        return [t for t in self.ticks if started + 0.05 < t < ended - 0.05]


class TestOtherThreadsRunWhileASessionEnds:
    @pytest.mark.parametrize("ending", ["close", "reset", "drop"])
    def test_ending_a_stubborn_program_lets_other_threads_run(self, programs, open_sessions, ending):
        s = Pellux(programs["stubborn"], True, ["stubborn-ready"])
        open_sessions.append(s)
        assert "stubborn-ready" in s.read_until_ready(timeout_ms=10_000)
        with Ticker() as ticker:
            started = time.monotonic()
            if ending == "close":
                s.close()
            elif ending == "reset":
                s.reset()
            else:
                open_sessions.remove(s)
                del s
            ended = time.monotonic()
        # Four termination pauses of 100 ms at least: the program ignores
        # every signal but SIGKILL.
        assert ended - started > 0.3
        during = ticker.during(started, ended)
        assert len(during) >= 5, f"other threads ran {len(during)} times in {ended - started:.2f} s"
