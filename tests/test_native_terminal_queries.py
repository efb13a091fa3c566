"""The scanner of a program's terminal queries (src/readiness/terminal_queries)
tested without Python by tests/cpp/test_terminal_queries.cpp, plain and under
AddressSanitizer with UndefinedBehaviorSanitizer."""

from __future__ import annotations

import re
import subprocess

import pytest
from test_native_core import BUILDS, clean_env, pytestmark  # noqa: F401

SOURCES = ["tests/cpp/test_terminal_queries.cpp", "src/readiness/terminal_queries.cpp"]


@pytest.mark.parametrize("build", ["plain", "address_undefined"])
def test_terminal_queries_program(native, build):
    flags, runtime_env = BUILDS[build]
    exe = native.executable(f"test_terminal_queries-{build}", SOURCES, flags)
    result = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300, env=clean_env(**runtime_env))
    report = f"exit {result.returncode}\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr[-5000:]}"
    lines = result.stdout.strip().splitlines()
    assert lines, report
    summary = re.fullmatch(r"(\d+) passed, 0 failed", lines[-1])
    assert summary is not None and int(summary.group(1)) > 0, report
    assert result.returncode == 0, report
