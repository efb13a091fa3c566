"""The installed package is the one imported, wherever the command runs.

The checkout's root must not shadow the installed pellux_agent (whose
compiled terminal exists only in the installed copy): an agent builder who
runs the server from a clone of this repository gets the real thing.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize(
    "args",
    [
        ["-c", "import pellux_agent, pellux_agent._terminal; print(pellux_agent.__file__)"],
        ["-m", "pellux_agent", "--help"],
    ],
    ids=["import", "module-help"],
)
def test_runs_from_the_checkout_root(args: list[str]) -> None:
    done = subprocess.run(
        [sys.executable, *args], cwd=REPO_ROOT, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    if args[0] == "-c":
        # Imported from the installation, not from the sources in the clone.
        assert not Path(done.stdout.strip()).resolve().is_relative_to(REPO_ROOT / "python")
    else:
        assert "usage:" in done.stdout
