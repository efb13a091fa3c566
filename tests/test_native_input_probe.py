"""The C++ input probe (src/readiness/input_probe) tested without Python by
tests/cpp/test_input_probe.cpp against real programs on terminals it opens
itself: one run of the program per case, so that a failing case shows alone
and a hang ends at its own timeout; built plain and under AddressSanitizer
with UndefinedBehaviorSanitizer (the probe parses /proc and process memory
into fixed buffers)."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest
from test_native_core import BUILDS, clean_env, pytestmark  # noqa: F401

if not sys.platform.startswith("linux"):
    pytest.skip("the probe reads Linux /proc", allow_module_level=True)

SOURCES = ["tests/cpp/test_input_probe.cpp", "src/readiness/input_probe.cpp"]

CASES = [
    "python_repl_waits_and_answers",
    "python_computing_and_sleeping_are_busy",
    "bash_reading_waits",
    "parent_waiting_for_a_reading_child_waits",
    "parent_waiting_for_a_busy_or_foreign_child_is_busy",
    "exited_programs",
    "input_pending_is_busy",
    "threads_parked_or_busy",
    "event_loops_that_can_wake_alone",
    "pagers_and_raw_reads_with_a_timer",
    "stopped_programs",
    "jobs_in_the_foreground_hold_the_turn",
    "a_child_started_after_a_wait_holds_the_turn",
    "every_answer_is_queued_when_waiting",
    "real_programs",
    "git_editor_and_pager",
    "unreadable_proc_is_unknown",
]


@pytest.fixture(scope="module", params=["plain", "address_undefined"])
def probe_tests(native, request):
    flags, runtime_env = BUILDS[request.param]
    exe = native.executable(f"test_input_probe-{request.param}", SOURCES, flags)
    listed = subprocess.run(
        [str(exe), "--list"], capture_output=True, text=True, check=True, env=clean_env(**runtime_env)
    ).stdout.split()
    assert sorted(listed) == sorted(CASES), "the program's cases and this list differ"
    return exe, runtime_env


@pytest.mark.parametrize("case", CASES)
def test_input_probe(probe_tests, case):
    exe, runtime_env = probe_tests
    result = subprocess.run(
        [str(exe), "--python", sys.executable, case],
        capture_output=True,
        text=True,
        errors="replace",
        timeout=300,
        env=clean_env(**runtime_env),
    )
    report = f"exit {result.returncode}\n--- stdout\n{result.stdout[-20000:]}\n--- stderr\n{result.stderr[-5000:]}"
    lines = result.stdout.strip().splitlines()
    assert lines, report
    if lines[-1].startswith("SKIP: "):
        pytest.skip(lines[-1][len("SKIP: "):])
    summary = re.fullmatch(r"(\d+) passed, 0 failed", lines[-1])
    assert summary is not None and int(summary.group(1)) > 0, report
    assert result.returncode == 0, report
