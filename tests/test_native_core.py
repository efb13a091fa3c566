"""The threaded core (channel, reader thread, sessions on real terminals)
tested without Python by tests/cpp/test_core.cpp, built plain, under
ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer.

A sanitizer report ends the program with a nonzero status, so a race, a use
after free, a leak or undefined behaviour anywhere on these paths fails the
test even when every check inside passed.
"""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("PELLUX_SANITIZED") == "1",
    reason="these programs carry their own sanitizers; the main run covers them",
)

CORE_SOURCES = [
    "tests/cpp/test_core.cpp",
    "src/session/output_channel.cpp",
    "src/session/reader_thread.cpp",
    "src/session/recording.cpp",
    "src/session/session.cpp",
    "src/session/pty_process.cpp",
    "src/session/history.cpp",
    "src/session/input.cpp",
    "src/session/errno_text.cpp",
    "src/sanitize/sanitize.cpp",
    "src/readiness/readiness.cpp",
    "src/readiness/marker_search.cpp",
    "src/readiness/read_text.cpp",
    "src/readiness/input_probe.cpp",
    "src/readiness/terminal_queries.cpp",
]

# The sanitized builds compile at -O1: a third less compile time than the
# default -O2, and what the sanitizers' own documentation recommends for
# usable speed with reliable reports.
BUILDS = {
    "plain": ([], {}),
    "thread": (
        ["-g", "-O1", "-fsanitize=thread"],
        {"TSAN_OPTIONS": "halt_on_error=1 second_deadlock_stack=1"},
    ),
    "address_undefined": (
        ["-g", "-O1", "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"],
        {"ASAN_OPTIONS": "detect_leaks=1:detect_stack_use_after_return=1", "UBSAN_OPTIONS": "print_stacktrace=1"},
    ),
}

# A runtime preloaded into this interpreter (the sanitized CI stage) must not
# reach programs that bring their own.
RUNTIME_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS")


def clean_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in RUNTIME_VARS}
    env.update(extra)
    return env


def no_aslr_prefix() -> list[str]:
    """`setarch ARCH -R`, when it works here.

    ThreadSanitizer's fixed shadow layout clashes with the wide mmap
    randomisation of some kernels (vm.mmap_rnd_bits above 28): the program
    dies at start with "unexpected memory mapping". Running it with
    randomisation off avoids that on every kernel and costs nothing where it
    is not needed.
    """
    setarch = shutil.which("setarch")
    if setarch is None:
        return []
    prefix = [setarch, platform.machine(), "-R"]
    probe = subprocess.run([*prefix, "true"], capture_output=True, env=clean_env())
    return prefix if probe.returncode == 0 else []


@pytest.mark.parametrize("build", list(BUILDS))
def test_core_program(native, build):
    flags, runtime_env = BUILDS[build]
    exe = native.executable(f"test_core-{build}", CORE_SOURCES, flags)
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
