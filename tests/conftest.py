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

import concurrent.futures
import hashlib
import os
import shlex
import shutil
import subprocess
import threading
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

    Each source is compiled to an object of its own, in parallel, and kept
    in `objects` under a name made of the source and the compile flags: the
    core's sources, built the same way for several test programs, are
    compiled once. `objects` may be shared by parallel test processes; an
    object appears there only whole (written aside, then renamed).
    """

    COMPILER = "g++"
    FLAGS = ("-std=c++23", "-O2", "-Wall", "-Wextra", "-Werror", "-Isrc", "-pthread")
    # What only the link step takes.
    LINK_ONLY = ("-l", "-L", "-Wl,", "-shared")

    def __init__(self, out_dir: Path, objects: Path) -> None:
        self.root = REPO_ROOT
        self._out_dir = out_dir
        self._objects = objects
        self._objects.mkdir(parents=True, exist_ok=True)
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
        compile_flags = tuple(f for f in extra_flags if not f.startswith(self.LINK_ONLY))
        link_flags = tuple(f for f in extra_flags if f.startswith(self.LINK_ONLY) or f in ("-pthread",))
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            objects = list(pool.map(lambda source: self._object(source, compile_flags), source_paths))
        # Sanitizer and other code-generation options apply to the link too.
        cmd = [self.COMPILER, *self.FLAGS, *objects, *compile_flags, *link_flags, "-o", str(out)]
        self._run(name, cmd)
        self._built[key] = out
        return out

    def _object(self, source: str, compile_flags: tuple) -> str:
        identity = repr((source, self.FLAGS, compile_flags, os.stat(source).st_mtime_ns))
        obj = self._objects / f"{Path(source).stem}-{hashlib.sha256(identity.encode()).hexdigest()[:16]}.o"
        if not obj.exists():
            partial = obj.with_name(f"{obj.name}.{os.getpid()}.{threading.get_ident()}")
            self._run(source, [self.COMPILER, *self.FLAGS, *compile_flags, "-c", source, "-o", str(partial)])
            os.replace(partial, obj)
        return str(obj)

    @staticmethod
    def _run(what: str, cmd: list[str]) -> None:
        proc = subprocess.run(cmd, cwd=REPO_ROOT, capture_output=True, text=True)
        if proc.returncode != 0:
            pytest.fail(
                f"building {what} failed (exit {proc.returncode}):\n$ {shlex.join(cmd)}\n{proc.stdout}{proc.stderr}",
                pytrace=False,
            )


@pytest.fixture(scope="session")
def native(tmp_path_factory: pytest.TempPathFactory) -> NativeBuilder:
    if shutil.which(NativeBuilder.COMPILER) is None:
        pytest.fail(f"{NativeBuilder.COMPILER} is needed to build the native tests", pytrace=False)
    # Parallel test processes (pytest-xdist) each have a base directory of
    # their own inside one shared one: objects are kept there, for all.
    base = tmp_path_factory.getbasetemp()
    shared = base.parent if os.environ.get("PYTEST_XDIST_WORKER") else base
    return NativeBuilder(tmp_path_factory.mktemp("native"), shared / "native-objects")


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
