"""Fixtures shared by the whole test suite.

`native` builds C++ sources of this repository for tests that exercise the
core directly: standalone test programs run as subprocesses, and shared
libraries loaded with ctypes.

`@pytest.mark.unsanitized` marks a test that only means something on an
uninstrumented build: memory bounds (a sanitizer's shadow memory and
quarantine inflate them) or tight timing. Such tests are skipped when
PELLUX_SANITIZED=1, which .ci/stages/sanitizers.sh sets while it runs the
suite against an AddressSanitizer build of the extension.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import shutil
import subprocess
from pathlib import Path
from typing import Iterable

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
SANITIZED = os.environ.get("PELLUX_SANITIZED") == "1"



def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "unsanitized: needs an uninstrumented build; skipped when PELLUX_SANITIZED=1"
    )


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="not meaningful under sanitizers (PELLUX_SANITIZED=1)")
    for item in items:
        if item.get_closest_marker("unsanitized") is not None:
            item.add_marker(skip)


class NativeBuilder:
    """Compiles and links C++ sources with g++, each distinct build once.

    Sources are paths relative to the repository root. Extra flags follow
    the sources on the command line, so they can carry libraries (-l) as
    well as compile options, and a later -O or -std overrides the default.
    """

    COMPILER = "g++"
    FLAGS = ("-std=c++23", "-O2", "-Wall", "-Wextra", "-Werror", "-Isrc", "-pthread")

    def __init__(self, out_dir: Path) -> None:
        self.root = REPO_ROOT
        self._out_dir = out_dir
        self._built: dict[tuple, Path] = {}

    def executable(self, name: str, sources: Iterable[str | Path], extra_flags: Iterable[str] = ()) -> Path:
        return self._build(name, "", sources, tuple(extra_flags))

    def shared_library(self, name: str, sources: Iterable[str | Path], extra_flags: Iterable[str] = ()) -> Path:
        return self._build(name, ".so", sources, ("-shared", "-fPIC", *extra_flags))

    def _build(self, name: str, suffix: str, sources: Iterable[str | Path], extra_flags: tuple) -> Path:
        source_paths = tuple(str(REPO_ROOT / s) for s in sources)
        key = (name, suffix, source_paths, extra_flags)
        if key in self._built:
            return self._built[key]
        # The same name built with other sources or flags gets its own file.
        digest = hashlib.sha256(repr(key).encode()).hexdigest()[:12]
        out = self._out_dir / f"{name}-{digest}{suffix}"
        cmd = [self.COMPILER, *self.FLAGS, *source_paths, *extra_flags, "-o", str(out)]
        proc = subprocess.run(cmd, cwd=REPO_ROOT, capture_output=True, text=True)
        if proc.returncode != 0:
            pytest.fail(
                f"building {name} failed (exit {proc.returncode}):\n$ {shlex.join(cmd)}\n{proc.stdout}{proc.stderr}",
                pytrace=False,
            )
        self._built[key] = out
        return out


@pytest.fixture(scope="session")
def native(tmp_path_factory: pytest.TempPathFactory) -> NativeBuilder:
    if shutil.which(NativeBuilder.COMPILER) is None:
        pytest.fail(f"{NativeBuilder.COMPILER} is needed to build the native tests", pytrace=False)
    return NativeBuilder(tmp_path_factory.mktemp("native"))


@pytest.fixture
def spawn():
    """Starts sessions and closes every one of them at teardown."""
    import pellux

    sessions = []

    def start(command, interactive=False, markers=None):
        s = pellux.Pellux(str(command), interactive, markers)
        sessions.append(s)
        return s

    yield start
    for s in sessions:
        s.close()
