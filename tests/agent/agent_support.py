"""Helpers for the agent layer's tests: leftovers of terminals, sessions in
the process table, small fixture programs."""

from __future__ import annotations

import glob
import os
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from pellux_agent import process

# The interpreter for scripts that import pellux: this process's own.
PYTHON = sys.executable
# The interpreter a terminal drives as its program, named so that it gets
# the python preset. Under the sanitizer stage this process runs a launcher
# of another name, and a driven REPL needs no instrumentation: the plain
# interpreter beside it serves.
_beside = Path(sys.executable).with_name("python3")
REPL = str(_beside) if _beside.exists() else sys.executable


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """Terminals of this test make their launcher directories in a
    directory of its own (other processes' terminals come and go in the
    shared one); subprocesses get it as TMPDIR."""
    directory = tmp_path / "launchers"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    monkeypatch.setenv("TMPDIR", str(directory))
    return directory


def launcher_dirs() -> set[str]:
    """The terminals' private directories that exist right now (in this
    test's own directory with ``private_tmp``)."""
    return set(glob.glob(os.path.join(tempfile.gettempdir(), "pellux-agent-*")))


def session_processes(pid: int) -> list[int]:
    """Live processes whose session id is `pid` (the program's session)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = process.read_stat(int(entry))
            if stat is not None and stat.session == pid and stat.state not in ("Z", "X"):
                found.append(int(entry))
    return found


def pid_running(pid: int) -> bool:
    stat = process.read_stat(pid)
    return stat is not None and stat.state not in ("Z", "X")


def python_program(path: Path, body: str) -> str:
    """An executable Python program at `path` running `body`."""
    path.write_text(f"#!{PYTHON}\n" + textwrap.dedent(body))
    path.chmod(0o755)
    return str(path)
