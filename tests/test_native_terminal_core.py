"""The agent layer's native terminal (src/agent_binding) tested without
Python by tests/cpp/test_native_terminal.cpp, built plain, under
ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer:
calls on one terminal from several threads must race on nothing, which is
what lets it go without an owner thread."""

from __future__ import annotations

import re
import subprocess

import pytest
from test_native_core import BUILDS, CORE_SOURCES, clean_env, no_aslr_prefix, pytestmark  # noqa: F401

SOURCES = [
    "tests/cpp/test_native_terminal.cpp",
    "src/agent_binding/native_terminal.cpp",
    *[s for s in CORE_SOURCES if not s.startswith("tests/")],
]


@pytest.mark.parametrize("build", list(BUILDS))
def test_native_terminal_program(native, build):
    flags, runtime_env = BUILDS[build]
    exe = native.executable(f"test_native_terminal-{build}", SOURCES, flags)
    argv = [str(exe)]
    if build == "thread":
        argv = no_aslr_prefix() + argv
    result = subprocess.run(
        argv, capture_output=True, text=True, errors="replace", timeout=900, env=clean_env(**runtime_env)
    )
    report = f"exit {result.returncode}\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr[-20000:]}"
    lines = result.stdout.strip().splitlines()
    assert lines, report
    summary = re.fullmatch(r"(\d+) passed, 0 failed", lines[-1])
    assert summary is not None and int(summary.group(1)) > 0, report
    assert result.returncode == 0, report
