"""Load: 64 sessions driven from 16 threads at once, each session given 200
turns whose answers run up to 1 MiB. Every answer must come back whole and
exact, and the whole run must end, with no thread stuck and nothing left
running.

The program behind each session is a small C program: told "OFFSET COUNT",
it writes COUNT bytes of a fixed pattern starting at OFFSET, then its prompt.
The pattern is random printable ASCII and line feeds, made here, so the
expected answer is a slice of it followed by the prompt (the terminal turns
each LF into CR LF and the cleaning takes the CR out again). The prompt
carries a non-ASCII character and so can never occur inside the pattern.
"""

import math
import os
import random
import shutil
import subprocess
import threading
import time

import pytest

from pellux import Pellux

SANITIZED = os.environ.get("PELLUX_SANITIZED") == "1"
MiB = 1 << 20

THREADS = 16
SESSIONS_PER_THREAD = 4
TURNS_PER_SESSION = 200
PATTERN_BYTES = 2 * MiB
MAX_REPLY = 1 * MiB
PROMPT = "load\u00a7 "
READ = dict(timeout_ms=60_000, max_output_bytes=4 * MiB, settle_ms=5)
# Measured here at about 30 s; the bound only stops a run that is stuck.
RUN_BOUND_S = 900 if SANITIZED else 420

CHILD_SOURCE = r"""
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char kPrompt[] = "load\xc2\xa7 ";
static char pattern[PATTERN_BYTES];

static int write_all(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int main(void) {
    FILE* f = fopen(PATTERN_PATH, "rb");
    if (f == NULL || fread(pattern, 1, PATTERN_BYTES, f) != PATTERN_BYTES) return 2;
    fclose(f);
    if (write_all(kPrompt, sizeof kPrompt - 1) != 0) return 3;
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        unsigned long offset, count;
        if (strcmp(line, "exit\n") == 0) return 0;
        if (sscanf(line, "%lu %lu", &offset, &count) != 2 || offset > PATTERN_BYTES ||
            count > PATTERN_BYTES - offset) {
            if (write_all("bad request\n", 12) != 0) return 4;
        } else if (write_all(pattern + offset, count) != 0) {
            return 5;
        }
        if (write_all(kPrompt, sizeof kPrompt - 1) != 0) return 6;
    }
    return 0;
}
"""


def make_pattern(seed):
    """PATTERN_BYTES of printable ASCII and line feeds (one byte in 64)."""
    alphabet = bytes(range(0x20, 0x7F)) + b"\n"
    table = bytes(alphabet[b % 96] if b % 64 else 0x0A for b in range(256))
    return random.Random(seed).randbytes(PATTERN_BYTES).translate(table)


def reply_size(rng):
    """Sizes from 0 to 1 MiB: 1 in 100 exactly 1 MiB, 2 in 100 empty, the
    rest spread evenly over the orders of magnitude up to 128 KiB."""
    x = rng.random()
    if x < 0.01:
        return MAX_REPLY
    if x < 0.03:
        return 0
    return int(math.exp(rng.uniform(0, math.log(128 * 1024))))


@pytest.fixture(scope="module")
def load_child(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the load program")
    directory = tmp_path_factory.mktemp("load")
    pattern = make_pattern(20240611)
    (directory / "pattern.bin").write_bytes(pattern)
    (directory / "child.c").write_text(CHILD_SOURCE)
    subprocess.run(
        [
            compiler, "-O2", "-Wall", "-Werror",
            f'-DPATTERN_PATH="{directory / "pattern.bin"}"',
            f"-DPATTERN_BYTES={PATTERN_BYTES}",
            str(directory / "child.c"), "-o", str(directory / "child"),
        ],
        check=True,
        timeout=120,
    )
    return str(directory / "child"), pattern.decode("ascii")


class Driver(threading.Thread):
    """Creates, drives and closes its own sessions, all on this thread."""

    def __init__(self, index, program, text, deadline):
        super().__init__(name=f"load-{index}", daemon=True)
        self.index = index
        self.program = program
        self.text = text
        self.deadline = deadline
        self.turns = 0
        self.bytes_compared = 0
        self.max_reply = 0
        self.slowest_turn = 0.0
        self.mismatches = []
        self.error = None
        self.finished = False

    def run(self):
        rng = random.Random(self.index)
        sessions = []
        try:
            for _ in range(SESSIONS_PER_THREAD):
                sessions.append(Pellux(self.program, True, [PROMPT]))
            for s in sessions:
                first = s.read_until_ready(**READ)
                if first != PROMPT:
                    self.mismatches.append(("first prompt", first[:200]))
            # Round robin, so that every session has turns throughout the run.
            for turn in range(TURNS_PER_SESSION):
                for k, s in enumerate(sessions):
                    if time.monotonic() > self.deadline:
                        self.error = f"deadline passed at turn {turn}"
                        return
                    count = reply_size(rng)
                    offset = rng.randrange(0, PATTERN_BYTES - count + 1)
                    started = time.monotonic()
                    reply = s.send_and_read_until_ready(f"{offset} {count}", **READ)
                    self.slowest_turn = max(self.slowest_turn, time.monotonic() - started)
                    expected = self.text[offset : offset + count] + PROMPT
                    if reply != expected:
                        self.mismatches.append(describe_mismatch(k, turn, offset, count, reply, expected))
                    self.turns += 1
                    self.bytes_compared += len(expected)
                    self.max_reply = max(self.max_reply, count)
            for s in sessions:
                s.send_and_read_until_ready("exit", **READ)
            self.finished = True
        except BaseException as e:  # noqa: BLE001 - reported by the test
            self.error = f"{type(e).__name__}: {e}"
        finally:
            for s in sessions:
                s.close()


def running_copies(program):
    """Pids of processes running `program` (zombies have no executable)."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == program:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


def describe_mismatch(session, turn, offset, count, reply, expected):
    at = next((i for i, (a, b) in enumerate(zip(reply, expected)) if a != b), min(len(reply), len(expected)))
    return {
        "session": session,
        "turn": turn,
        "request": f"{offset} {count}",
        "got_len": len(reply),
        "expected_len": len(expected),
        "first_difference": at,
        "got": reply[max(0, at - 20) : at + 40],
        "expected": expected[max(0, at - 20) : at + 40],
    }


def test_64_sessions_on_16_threads_answer_every_turn_exactly(load_child):
    program, text = load_child
    started = time.monotonic()
    drivers = [Driver(i, program, text, started + RUN_BOUND_S) for i in range(THREADS)]
    for d in drivers:
        d.start()
    for d in drivers:
        d.join(timeout=max(1.0, started + RUN_BOUND_S + 120 - time.monotonic()))
    elapsed = time.monotonic() - started

    stuck = [d.name for d in drivers if d.is_alive()]
    assert stuck == [], f"threads still running after {elapsed:.0f} s: {stuck}"
    errors = {d.name: d.error for d in drivers if d.error}
    assert errors == {}
    mismatches = {d.name: d.mismatches[:3] for d in drivers if d.mismatches}
    assert mismatches == {}
    assert all(d.finished for d in drivers)
    turns = sum(d.turns for d in drivers)
    assert turns == THREADS * SESSIONS_PER_THREAD * TURNS_PER_SESSION
    # The distribution did reach the largest size.
    assert max(d.max_reply for d in drivers) == MAX_REPLY
    assert running_copies(program) == []
    compared = sum(d.bytes_compared for d in drivers)
    print(
        f"load: {turns} turns on {THREADS * SESSIONS_PER_THREAD} sessions, "
        f"{compared / MiB:.0f} MiB compared in {elapsed:.1f} s, "
        f"slowest turn {max(d.slowest_turn for d in drivers):.2f} s"
    )
