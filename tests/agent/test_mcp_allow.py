"""The allow list holds against a hostile client: the file checked is the file
that runs, whatever the client does with PATH, cwd, symbolic links, `..`,
the dynamic loader's variables, or a file swapped in during the start.

Each attack gives the "attacker's program" a script that leaves a marker
file when it runs; the test passes only if no marker ever appears."""

from __future__ import annotations

import os
import shutil
import sys
import threading
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import connect  # noqa: E402

pytestmark = pytest.mark.anyio

CAT = os.path.realpath(shutil.which("cat") or "/bin/cat")
SH = os.path.realpath("/bin/sh")


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


def attacker(path: Path, marker: Path) -> Path:
    """An executable at `path` that leaves `marker` when it runs, then acts as cat."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\necho ran >> '{marker}'\nexec {CAT}\n")
    path.chmod(0o755)
    return path


async def test_a_missing_path_is_searched_as_the_spawn_searches_it(tmp_path: Path) -> None:
    # The allowed program is a wrapper named sh in the session's directory;
    # without PATH the spawn would look in /bin and /usr/bin, not there.
    marker = tmp_path / "marker"
    wrapper = attacker(tmp_path / "sh", marker)
    async with connect("--allow", str(wrapper)) as client:
        message = await client.error(
            "start_session", command="sh", cwd=str(tmp_path), env={"PATH": None}
        )
        assert "not allowed" in message and SH in message
        # With a PATH that finds it, the wrapper is what starts.
        sid, _ = await client.start("sh", cwd=str(tmp_path), env={"PATH": ""}, timeout_ms=3000)
        assert (await client.send(sid, "hello"))["output"].startswith("hello")
    assert marker.read_text() == "ran\n"


async def test_paths_are_compared_after_links_and_dots_resolve(tmp_path: Path) -> None:
    # lnk -> evil/a1/.../aK, with K the depth of lnk itself: K times ".."
    # from lnk is "/" as text, so "../../usr/bin/cat" normalises to
    # /usr/bin/cat, while the kernel, following the link, climbs to evil/.
    marker = tmp_path / "marker"
    link = tmp_path / "lnk"
    depth = len(link.parts) - 1
    deep = tmp_path.joinpath("evil", *(f"a{i}" for i in range(depth)))
    deep.mkdir(parents=True)
    evil = attacker(tmp_path / "evil/usr/bin/cat", marker)
    link.symlink_to(deep)
    up = "../" * depth
    assert os.path.normpath(os.path.join(link, up + "usr/bin/cat")) == "/usr/bin/cat"
    async with connect("--allow", "cat") as client:
        for attempt in (
            {"command": up + "usr/bin/cat"},
            {"command": "cat", "env": {"PATH": up + "usr/bin"}},
        ):
            message = await client.error("start_session", cwd=str(link), **attempt)
            assert "not allowed" in message and str(evil) in message
        # The real cat, by a path through the same link, is allowed.
        sid, _ = await client.start(
            "../" * len(deep.parts) + "usr/bin/cat", cwd=str(link), timeout_ms=3000
        )
        assert (await client.send(sid, "hello"))["output"].startswith("hello")
    assert not marker.exists()


async def test_a_file_swapped_in_during_the_start_never_runs(tmp_path: Path) -> None:
    # race/cat comes and goes while sessions start with race/ first on PATH:
    # each start either finds it (refused) or /usr/bin/cat (allowed), and
    # what runs is exactly what was checked.
    marker = tmp_path / "marker"
    race = tmp_path / "race"
    race.mkdir()
    evil = attacker(tmp_path / "evil-cat", marker)
    stop = threading.Event()

    def swap() -> None:
        while not stop.is_set():
            staged = race / "staged"
            shutil.copy2(evil, staged)
            os.replace(staged, race / "cat")
            os.unlink(race / "cat")

    swapper = threading.Thread(target=swap)
    swapper.start()
    allowed = refused = 0
    try:
        async with connect("--allow", "cat") as client:
            for _ in range(100):
                result = await client.call_raw(
                    "start_session",
                    command="cat",
                    env={"PATH": f"{race}:/usr/bin:/bin"},
                    timeout_ms=2000,
                )
                if result.is_error:
                    refused += 1
                    continue
                allowed += 1
                sid = result.structured_content["session_id"]
                await client.call("close_session", session_id=sid)
    finally:
        stop.set()
        swapper.join()
    print(f"allowed {allowed}, refused {refused}")
    assert allowed + refused == 100 and allowed > 0
    assert not marker.exists(), marker.read_text()


async def test_the_dynamic_loader_cannot_be_told_what_to_load(tmp_path: Path) -> None:
    library = tmp_path / "evil.so"
    library.write_bytes(b"")
    async with connect("--allow", "cat") as client:
        for name in ("LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "GCONV_PATH"):
            message = await client.error("start_session", command="cat", env={name: str(library)})
            assert name in message and "may not set" in message
        # Removing one is fine.
        await client.start("cat", env={"LD_PRELOAD": None}, timeout_ms=3000)
    async with connect() as client:
        # Without an allow list the environment is the client's to choose.
        await client.start("cat", env={"LD_LIBRARY_PATH": str(tmp_path)}, timeout_ms=3000)


async def test_a_directory_allows_what_really_lies_in_it(tmp_path: Path) -> None:
    marker = tmp_path / "marker"
    tools = tmp_path / "tools"
    tools.mkdir()
    inside = tools / "sub" / "echoer"
    inside.parent.mkdir()
    inside.write_text(f"#!/bin/sh\necho inside\nexec {CAT}\n")
    inside.chmod(0o755)
    outside = attacker(tmp_path / "outside", marker)
    (tools / "escape").symlink_to(outside)
    async with connect("--allow", str(tools)) as client:
        sid, first = await client.start(str(inside), timeout_ms=3000)
        assert "inside" in first["output"]
        message = await client.error("start_session", command=str(tools / "escape"))
        assert "not allowed" in message and str(outside) in message and "tools/" in message
    assert not marker.exists()


async def test_a_restart_runs_the_same_file_or_nothing(tmp_path: Path) -> None:
    marker = tmp_path / "marker"
    program = tmp_path / "bin" / "prog"
    program.parent.mkdir()
    program.write_text(f"#!/bin/sh\necho first\nexec {CAT}\n")
    program.chmod(0o755)
    async with connect("--allow", str(program.parent)) as client:
        sid, first = await client.start(str(program), timeout_ms=3000)
        assert "first" in first["output"]
        # Replaced by another file of the same name (an allowed place still).
        program.unlink()
        attacker(program, marker)
        message = await client.error("restart_session", session_id=sid)
        assert "no longer the one that was checked" in message
        message = await client.error("send_input", session_id=sid, input="x")
        assert "is closed" in message and "restart_session could not start" in message
    assert not marker.exists()
