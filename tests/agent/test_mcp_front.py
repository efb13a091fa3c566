"""The pattern wait, what is in front, and pasted input, through the MCP
SDK's stdio client against the real server."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import connect  # noqa: E402

pytestmark = pytest.mark.anyio

SERVER = """\
import time
print("loading", flush=True)
time.sleep(0.5)
print("Listening on port 8123", flush=True)
print("GET /", flush=True)
time.sleep(600)
"""


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


async def test_wait_for_output_returns_the_match_and_leaves_the_rest(tmp_path: Path) -> None:
    script = tmp_path / "server.py"
    script.write_text(SERVER)
    async with connect() as client:
        sid, _ = await client.start(sys.executable, args=[str(script)], timeout_ms=200)
        found = await client.call(
            "wait_for_output", session_id=sid, pattern=r"Listening on port (\d+)", timeout_ms=30_000
        )
        assert found["status"] == "matched" and found["alive"] is True
        assert found["match"] == "Listening on port 8123" and found["groups"] == ["8123"]
        assert found["output"].endswith("Listening on port 8123")
        # What followed is the start of the next answer.
        rest = await client.call("read_output", session_id=sid, timeout_ms=1_000)
        assert rest["output"].startswith("\nGET /")
        # No match in time: a timeout, with what came.
        none = await client.call("wait_for_output", session_id=sid, pattern="never", timeout_ms=300)
        assert none["status"] == "timeout" and none["match"] is None and none["groups"] == []
        # Bad patterns are tool errors that say why.
        assert "not a valid regular expression" in await client.error(
            "wait_for_output", session_id=sid, pattern="(unclosed"
        )
        assert "matches the empty text" in await client.error(
            "wait_for_output", session_id=sid, pattern="x*"
        )
        assert "timeout_ms" in await client.error(
            "wait_for_output", session_id=sid, pattern="x", timeout_ms=-1
        )


async def test_every_answer_says_what_is_in_front(tmp_path: Path) -> None:
    if shutil.which("git") is None or shutil.which("less") is None:
        pytest.skip("needs git and less (not installed here)")
    repo = tmp_path / "repo"
    repo.mkdir()
    for args in (
        ["init", "-q"],
        ["config", "user.name", "Test"],
        ["config", "user.email", "test@example.invalid"],
        ["config", "core.pager", "less"],
        ["commit", "-q", "--allow-empty", "-m", "first commit"],
    ):
        subprocess.run(["git", *args], cwd=repo, check=True, capture_output=True)
    async with connect() as client:
        sid, first = await client.start(
            "bash", cwd=str(repo), env={"GIT_PAGER": None, "PAGER": None, "LESS": "-R"}
        )
        shell = first["foreground"]
        assert shell["name"] == "bash" and first["alt_screen"] is False and first["echo_off"] is False
        paged = await client.send(sid, "git log")
        assert paged["foreground"]["name"] == "less" and paged["alt_screen"] is True
        back = await client.call("send_keys", session_id=sid, keys="q")
        assert back["foreground"] == shell and back["alt_screen"] is False
        hidden = await client.send(
            sid, f"{sys.executable} -c 'import getpass; getpass.getpass()'"
        )
        assert hidden["echo_off"] is True and hidden["foreground"]["pid"] != shell["pid"]


async def test_send_input_of_several_lines_reaches_bash_as_one_paste() -> None:
    version = subprocess.run(
        ["bash", "-c", "echo $((BASH_VERSINFO[0] * 100 + BASH_VERSINFO[1]))"],
        capture_output=True, text=True, check=True,
    )
    if int(version.stdout) < 501:
        pytest.skip("bash before 5.1 does not turn bracketed paste on")
    async with connect() as client:
        sid, _ = await client.start("bash")
        turn = await client.send(sid, "cat <<'EOF'\none\n  two\nEOF")
        assert turn["status"] == "ready" and "[pellux]> " not in turn["output"]
        assert "one\n  two\n" in turn["output"] and turn["output"].endswith("[pellux]$ ")
