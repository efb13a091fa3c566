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


# ---------------------------------------------------------------- out of memory


OUT_OF_MEMORY_HOST = """
    import json, resource, sys, time
    import pellux

    MiB = 1 << 20
    U32_MAX = 2**32 - 1
    UNIT = "abcdefg\\n"

    def vm_size():
        with open("/proc/self/status") as f:
            return int(next(l for l in f if l.startswith("VmSize")).split()[1]) * 1024

    def limit_memory(extra):
        # Only the soft limit: it can be lifted again below.
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra, hard))

    def lift_limit():
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    def check_stream(text, total):
        assert len(text) == total, (len(text), total)
        assert text == (UNIT * (total // len(UNIT) + 1))[:total], "the stream is broken"

    result = {}
    {BODY}
    print(json.dumps(result))
"""

READER_OUT_OF_MEMORY = """
    total = 48 * MiB
    s = pellux.Pellux({FLOOD!r}, False)
    limit_memory(16 * MiB)
    # The reader runs out of memory well before the flood ends.
    time.sleep(3)
    result["alive_while_limited"] = s.is_alive()
    lift_limit()
    parts, got, deadline = [], 0, time.monotonic() + 120
    while got < total and time.monotonic() < deadline:
        piece = s.read_available(4 * MiB)
        parts.append(piece)
        got += len(piece)
        if not piece:
            time.sleep(0.01)
    check_stream("".join(parts), total)
    s.close()
    result["received"] = got
"""

READ_OUT_OF_MEMORY = """
    total = 24 * MiB
    s = pellux.Pellux({FLOOD!r}, False)
    deadline = time.monotonic() + 60
    while s.is_alive() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)  # the reader takes what the terminal still holds
    limit_memory(16 * MiB)
    failures = []
    for read in (lambda: s.read_available(U32_MAX),
                 lambda: s.read_until_ready(timeout_ms=5000, max_output_bytes=U32_MAX, quiet_ms=500),
                 lambda: s.send_and_read_until_ready("", timeout_ms=5000, max_output_bytes=U32_MAX,
                                                     quiet_ms=500)):
        try:
            read()
            failures.append("returned")
        except MemoryError:
            failures.append("MemoryError")
    lift_limit()
    result["failures"] = failures
    result["history_before"] = len(s.get_history())
    text = s.read_available(U32_MAX)
    check_stream(text, total)
    # Recorded once, by the read that handed it over.
    history = s.get_history()
    # The last 4 MiB of raw output ("abcdefg\\r\\n" per line), recorded once.
    assert len(history) >= 4 * MiB * 8 // 9 - 8 and text.endswith(history), "the history is not the stream's end"
    assert s.read_available() == ""
    s.close()
    result["received"] = len(text)
"""


def flood_script(tmp_path, total):
    return write_executable(tmp_path / "flood", f"#!/bin/sh\nyes abcdefg | head -c {total}\n")


@pytest.mark.unsanitized
class TestOutOfMemory:
    def test_the_reader_waits_for_memory_and_loses_nothing(self, tmp_path):
        # Before, std::bad_alloc escaped the reader thread: the process
        # aborted (SIGABRT) as soon as the flood met the limit.
        body = READER_OUT_OF_MEMORY.format(FLOOD=flood_script(tmp_path, 48 << 20))
        found = run_host(OUT_OF_MEMORY_HOST.replace("{BODY}", textwrap.indent(textwrap.dedent(body), "    ").strip()))
        assert found["received"] == 48 << 20

    def test_a_read_out_of_memory_puts_back_what_it_took(self, tmp_path):
        # Before, the first MemoryError lost the bytes it had taken and left
        # the session's locks poisoned ("rx lock poisoned", PanicException).
        body = READ_OUT_OF_MEMORY.format(FLOOD=flood_script(tmp_path, 24 << 20))
        found = run_host(OUT_OF_MEMORY_HOST.replace("{BODY}", textwrap.indent(textwrap.dedent(body), "    ").strip()))
        assert found["failures"] == ["MemoryError"] * 3, found["failures"]
        assert found["history_before"] == 0
        assert found["received"] == 24 << 20


# ---------------------------------------------------------------- what the queue holds


ONE_BYTE_WRITER = """
#include <unistd.h>
#include <cstdlib>
int main(int, char** argv) {
    long n = std::atol(argv[1]);
    for (long i = 0; i < n; ++i) {
        char c = static_cast<char>('0' + i % 10);
        if (write(1, &c, 1) != 1) return 1;
    }
    return 0;
}
"""

QUEUE_MEMORY_HOST = """
    import json, time
    import pellux

    def rss():
        with open("/proc/self/status") as f:
            return int(next(l for l in f if l.startswith("VmRSS")).split()[1]) * 1024

    before = rss()
    s = pellux.Pellux({PROGRAM!r}, False)
    deadline = time.monotonic() + 100
    while s.is_alive() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)  # the reader takes what the terminal still holds
    growth = rss() - before
    text = s.read_available(2**32 - 1)
    s.close()
    print(json.dumps({{"growth": growth, "received": len(text),
                      "intact": text == ("0123456789" * (len(text) // 10 + 1))[:len(text)]}}))
"""


@pytest.mark.unsanitized
def test_one_byte_writes_cost_what_their_bytes_cost(tmp_path, native):
    # Every write() of one byte reaches the reader as a tiny read. Before,
    # each became a queue entry of its own, costing far more than its byte
    # (176 MB for a "64 MiB" queue); packed, the queue holds its bytes and
    # little more, and its count of held memory is what the bound checks.
    total = 2 << 20
    source = tmp_path / "one_byte.cpp"
    source.write_text(ONE_BYTE_WRITER)
    writer = native.executable("one_byte", [source])
    program = write_executable(tmp_path / "one-byte", f"#!/bin/sh\nexec {writer} {total}\n")
    found = run_host(QUEUE_MEMORY_HOST.format(PROGRAM=program), timeout=150)
    assert found["received"] == total and found["intact"]
    # The queue's storage (within 1%), the reader's stack, allocator slack.
    assert found["growth"] < total * 1.25 + (256 << 10), f"{found['growth'] / 2**20:.1f} MiB for 2 MiB queued"
