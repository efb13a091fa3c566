"""A host or a program in a hostile state: signals the host ignores or
blocks, input the program never reads, allocation failure, programs that
flood one byte at a time.

Each check runs where it cannot disturb the test process: changes to the
host's own signal state or memory limits happen in a child interpreter.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from support import wait_until, write_executable

TERMINAL_SIGNALS = (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGHUP, signal.SIGTERM)


def bit(sig):
    return 1 << (int(sig) - 1)


def run_host(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter; returns the JSON it prints last."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr[-5000:]}"
    return json.loads(result.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- signals the program starts with


class TestTerminalSignalsReachTheProgram:
    """A host started in the background by a non-interactive shell ignores
    SIGINT and SIGQUIT; a host thread may block them. The program must
    still start with the terminal's signals at their default action and
    unblocked, and nothing else of the host's state may change."""

    HOST = """
        import json, os, signal, sys, time
        import pellux

        for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP, signal.SIGTSTP,
                    signal.SIGUSR1):
            signal.signal(sig, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_BLOCK, {BLOCK})
        s = pellux.Pellux({PROGRAM!r}, False, None)
        status = s.read_until_ready(timeout_ms=10000, quiet_ms=300)
        fields = dict(l.split(":", 1) for l in status.splitlines() if ":" in l)
        s.close()
        s = pellux.Pellux("/bin/cat", False, None)
        s.send_ctrl_c()
        deadline = time.monotonic() + 10
        while s.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        interrupted = not s.is_alive()
        s.close()
        print(json.dumps({{"ignored": int(fields["SigIgn"], 16), "blocked": int(fields["SigBlk"], 16),
                          "interrupted": interrupted}}))
    """

    def test_ignored_and_blocked_terminal_signals_start_at_default(self, tmp_path):
        # cat reports its own state (a shell in between could change it).
        program = write_executable(tmp_path / "status", "#!/bin/cat /proc/self/status\n")
        block = "{signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGHUP, signal.SIGTERM, signal.SIGUSR2}"
        found = run_host(self.HOST.format(BLOCK=block, PROGRAM=program))
        for sig in TERMINAL_SIGNALS:
            assert not found["ignored"] & bit(sig), f"{sig.name} still ignored"
            assert not found["blocked"] & bit(sig), f"{sig.name} still blocked"
        # Everything else stays as the host had it.
        assert found["ignored"] & bit(signal.SIGUSR1)
        assert found["blocked"] & bit(signal.SIGUSR2)
        assert found["interrupted"], "Ctrl-C did not end the program"


# ---------------------------------------------------------------- input the program never reads


class TestInputThatIsNeverRead:
    """bash runs `sleep 1000` and reads nothing: about 64 KB of typed input
    fills the terminal. The write must end by its timeout with a clear
    error, Ctrl-C must still reach `sleep`, and none of the input that was
    not delivered may reach the shell afterwards."""

    HOST = """
        import json, time
        import pellux

        s = pellux.Pellux({SHELL!r}, True, ["pellux$ "])
        s.read_until_ready(timeout_ms=10000)
        s.send_and_read_until_ready("sleep 1000", timeout_ms=300)
        typed = "\\n".join("echo stale" + str(i) + " " + "x" * 1000 for i in range(64))
        started = time.monotonic()
        try:
            s.send_and_read_until_ready(typed, timeout_ms=2000)
            error = None
        except RuntimeError as e:
            error = str(e)
        write_s = time.monotonic() - started
        started = time.monotonic()
        s.send_ctrl_c()
        ctrl_c_s = time.monotonic() - started
        after_ctrl_c = s.read_until_ready(timeout_ms=10000)
        answer = s.send_and_read_until_ready("echo alive", timeout_ms=10000)
        s.close()
        print(json.dumps({{"error": error, "write_s": write_s, "ctrl_c_s": ctrl_c_s,
                          "after_ctrl_c": after_ctrl_c, "answer": answer}}))
    """

    def test_bounded_write_then_ctrl_c_then_a_clean_turn(self, tmp_path):
        shell = write_executable(
            tmp_path / "shell", "#!/bin/sh\nPS1='pellux$ ' PS2='pellux> ' exec bash --norc --noprofile\n"
        )
        # Before, the write waited for ever: the host is killed at 60 s.
        found = run_host(self.HOST.format(SHELL=shell), timeout=60)
        assert found["error"] is not None, "64 KB reached a program that reads nothing"
        assert found["error"] == "write failed: timed out: the program does not read its input"
        assert 1.5 < found["write_s"] < 20
        assert found["ctrl_c_s"] < 5
        assert found["after_ctrl_c"].endswith("pellux$ ")
        # Nothing of the input that timed out ran, whole or glued to the
        # next command.
        assert "stale" not in found["after_ctrl_c"] + found["answer"]
        assert found["answer"].strip().splitlines()[0] == "alive", found["answer"]
        assert found["answer"].endswith("pellux$ ")
