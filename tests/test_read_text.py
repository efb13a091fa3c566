"""The text a waiting read builds while it waits, and its marker search,
tested through native code: tests/cpp/test_read_text.cpp compares both with
cleaning the whole window (or the whole output) and searching each marker in
turn, on random terminal output cut into random chunks."""

from __future__ import annotations

import re
import subprocess

import pytest

SOURCES = (
    "tests/cpp/test_read_text.cpp",
    "src/readiness/marker_search.cpp",
    "src/readiness/read_text.cpp",
    "src/sanitize/sanitize.cpp",
)

ASAN = ("-O1", "-g", "-fno-omit-frame-pointer", "-fsanitize=address,undefined", "-fno-sanitize-recover=all")


@pytest.mark.parametrize(
    "variant, flags",
    [
        pytest.param("default", (), id="default"),
        pytest.param("portable", ("-DPELLUX_SANITIZE_PORTABLE",), id="portable"),
        pytest.param("asan", ASAN, id="asan"),
    ],
)
def test_native_program(native, variant, flags):
    exe = native.executable(f"test_read_text-{variant}", SOURCES, flags)
    proc = subprocess.run([str(exe)], capture_output=True, text=True, timeout=900)
    report = proc.stdout[-6000:] + proc.stderr[-6000:]
    assert proc.returncode == 0, report
    lines = proc.stdout.strip().splitlines()
    assert lines and re.fullmatch(r"[1-9]\d* passed, 0 failed", lines[-1]), report
