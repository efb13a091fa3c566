"""The MCP server over HTTP: who may talk to it, and what each client may
touch. The tools themselves run over HTTP in test_mcp_tools/test_mcp_screen
(their `transport` parameter)."""

from __future__ import annotations

import http.client
import json
import subprocess
import sys
from pathlib import Path

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import (  # noqa: E402
    PACKAGE_ROOT,
    TOKENS,
    HttpServer,
    connect_http,
    server_environment,
    wait_gone,
)

pytestmark = pytest.mark.anyio

INITIALIZE = json.dumps({
    "jsonrpc": "2.0", "id": 1, "method": "initialize",
    "params": {"protocolVersion": "2025-06-18", "capabilities": {},
               "clientInfo": {"name": "raw", "version": "0"}},
})


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


@pytest.fixture(scope="module")
def server() -> HttpServer:
    with HttpServer("--view", "--max-client-sessions", "2") as running:
        yield running


def raw(server: HttpServer, method: str, path: str, headers: dict[str, str], body: str | None = None
        ) -> tuple[int, dict[str, str], str]:
    """One plain HTTP request, headers exactly as given (Host included)."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        data = body.encode() if body is not None else None
        if data is not None:
            connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data)
        response = connection.getresponse()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read(4096).decode()
    finally:
        connection.close()


def mcp_headers(server: HttpServer, **extra: str) -> dict[str, str]:
    return {
        "Host": f"127.0.0.1:{server.port}",
        "Content-Type": "application/json",
        "Accept": "application/json, text/event-stream",
        **extra,
    }


def test_requests_without_the_right_token_or_host_are_refused(server: HttpServer) -> None:
    cases = {
        "no token": mcp_headers(server),
        "wrong token": mcp_headers(server, Authorization="Bearer " + "x" * 27),
        "a prefix of a token": mcp_headers(server, Authorization="Bearer " + TOKENS[0][:-1]),
        "a token with more after it": mcp_headers(server, Authorization="Bearer " + TOKENS[0] + "x"),
        "another scheme": mcp_headers(server, Authorization="Basic " + TOKENS[0]),
        "the token as a cookie": mcp_headers(server, Cookie=f"pellux_view={TOKENS[0]}"),
    }
    for case, headers in cases.items():
        status, answer_headers, body = raw(server, "POST", "/mcp", headers, INITIALIZE)
        assert status == 401, (case, status, body)
        assert answer_headers.get("www-authenticate", "").startswith("Bearer"), case
        assert "token" in json.loads(body)["error"] and "Traceback" not in body, case

    # A page elsewhere that rebinds its own name to our address sends its own
    # name as Host; a browser on another site sends its Origin. Refused even
    # with the right token.
    good = "Bearer " + TOKENS[0]
    for host in ("evil.example", f"evil.example:{server.port}", "127.0.0.1.evil.example", "[bad"):
        status, _, body = raw(server, "POST", "/mcp", mcp_headers(server, Host=host, Authorization=good),
                              INITIALIZE)
        assert status == 421, (host, status, body)
    status, _, _ = raw(server, "GET", "/view", {"Host": "evil.example", "Cookie": f"pellux_view={TOKENS[0]}"})
    assert status == 421
    for origin in ("http://evil.example", "https://evil.example:443", "null", "file://"):
        status, _, _ = raw(server, "POST", "/mcp", mcp_headers(server, Origin=origin, Authorization=good),
                           INITIALIZE)
        assert status == 403, origin

    # The loopback names under the right token open a session.
    for host in (f"127.0.0.1:{server.port}", f"localhost:{server.port}"):
        status, headers, body = raw(
            server, "POST", "/mcp",
            mcp_headers(server, Host=host, Authorization=good, Origin=f"http://{host}"), INITIALIZE,
        )
        assert status == 200 and "mcp-session-id" in headers, (host, body)
    # An MCP session belongs to the token that opened it: another token that
    # names it finds none.
    listing = json.dumps({"jsonrpc": "2.0", "id": 2, "method": "tools/list", "params": {}})
    session = {"mcp-session-id": headers["mcp-session-id"], "mcp-protocol-version": "2025-06-18"}
    status, _, _ = raw(server, "POST", "/mcp",
                       mcp_headers(server, Authorization="Bearer " + TOKENS[1], **session), listing)
    assert status == 404
    status, _, body = raw(server, "POST", "/mcp", mcp_headers(server, Authorization=good, **session), listing)
    assert status == 200 and "start_session" in body


def test_the_view_takes_its_token_once_and_keeps_it_in_a_strict_cookie(server: HttpServer) -> None:
    host = {"Host": f"127.0.0.1:{server.port}"}
    assert raw(server, "GET", "/view", host)[0] == 401
    assert raw(server, "GET", "/view?token=" + "y" * 30, host)[0] == 401
    assert raw(server, "GET", "/view/events", {**host, "Cookie": "pellux_view=" + "y" * 30})[0] == 401

    status, headers, _ = raw(server, "GET", f"/view?token={TOKENS[1]}", host)
    assert status == 303 and headers["location"] == "/view"  # the token leaves the address
    cookie = headers["set-cookie"]
    assert cookie.startswith(f"pellux_view={TOKENS[1]};")
    for attribute in ("HttpOnly", "SameSite=strict", "Path=/view"):
        assert attribute.lower() in cookie.lower(), cookie

    status, headers, page = raw(server, "GET", "/view", {**host, "Cookie": f"pellux_view={TOKENS[1]}"})
    assert status == 200 and "<script src=\"/view/view.js\"" in page
    assert "script-src 'self'" in headers["content-security-policy"]
    # It only looks: nothing there takes a request that could carry input.
    for method in ("POST", "PUT", "DELETE"):
        for path in ("/view", "/view/events"):
            status, _, _ = raw(server, method, path, {**host, "Cookie": f"pellux_view={TOKENS[1]}"}, "x")
            assert status == 405, (method, path, status)


async def test_a_client_cannot_touch_another_clients_terminals(server: HttpServer) -> None:
    async with connect_http(server.url, TOKENS[0]) as alice, connect_http(server.url, TOKENS[1]) as bob, \
            connect_http(server.url, TOKENS[0]) as alice_again:
        sid, _ = await alice.start("python3")
        await alice.send(sid, "secret = 41")
        # Bob, and a second MCP session under Alice's own token, are other
        # clients: the session does not exist for them, whatever they try.
        for other in (bob, alice_again):
            assert (await other.call("list_sessions"))["sessions"] == []
            for tool, arguments in (
                ("send_input", {"input": "secret = 0"}),
                ("read_output", {}),
                ("send_keys", {"keys": ["ctrl-c"]}),
                ("send_interrupt", {}),
                ("get_history", {}),
                ("resize_session", {"rows": 10, "cols": 20}),
                ("restart_session", {}),
                ("close_session", {}),
            ):
                message = await other.error(tool, session_id=sid, **arguments)
                assert f"unknown session id {sid!r}" in message, (tool, message)
        # Untouched: same state, same size, still open.
        assert (await alice.send(sid, "secret + 1"))["output"] == "42\n>>> "
        listed = (await alice.call("list_sessions"))["sessions"]
        assert [(s["session_id"], s["rows"]) for s in listed] == [(sid, 24)]

        # The limit per client holds for each client on its own.
        second, _ = await alice.start("sh")
        assert "too many sessions" in await alice.error("start_session", command="sh")
        bobs, _ = await bob.start("sh")
        pid = next(s["pid"] for s in (await alice.call("list_sessions"))["sessions"] if s["session_id"] == sid)

        # Closed is closed only for its owner; for the others still unknown.
        await alice.call("close_session", session_id=second)
        assert "is closed" in await alice.error("send_input", session_id=second, input="")
        assert "unknown session id" in await bob.error("send_input", session_id=second, input="")
        await bob.call("close_session", session_id=bobs)
    # Alice's client left (its MCP session ended): her program ended with it.
    assert wait_gone([pid], 15) == []


def test_bad_command_lines_are_refused_with_a_reason(tmp_path: Path) -> None:
    short = tmp_path / "short"
    short.write_text("abc\n")
    empty = tmp_path / "empty"
    empty.write_text("# nothing\n\n")
    cases = {
        ("--http", "127.0.0.1:99999"): "HOST:PORT",
        ("--http", "localhost"): "HOST:PORT",
        ("--http", "127.0.0.1:0", "--token-file", str(short)): "at least 16",
        ("--http", "127.0.0.1:0", "--token-file", str(empty)): "holds no token",
        ("--http", "127.0.0.1:0", "--token-file", str(tmp_path / "missing")): "cannot read",
        ("--http", "0.0.0.0:0"): "--allowed-host",
        ("--view",): "needs --http",
        ("--token-file", str(short)): "needs --http",
    }
    for options, reason in cases.items():
        done = subprocess.run(
            [sys.executable, "-m", "pellux_agent", *options],
            capture_output=True, text=True, timeout=60, env=server_environment(), cwd=PACKAGE_ROOT,
        )
        assert done.returncode == 2 and reason in done.stderr, (options, done.stderr)
        assert "Traceback" not in done.stderr


def test_a_generated_token_is_shown_once_and_works() -> None:
    process = subprocess.Popen(
        [sys.executable, "-m", "pellux_agent", "--http", "127.0.0.1:0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        env=server_environment(), cwd=PACKAGE_ROOT, text=True,
    )
    try:
        assert process.stderr is not None
        lines = [process.stderr.readline() for _ in range(2)]
        url = lines[0].split("serving MCP at ", 1)[1].strip()
        token = lines[1].split("token (shown once): ", 1)[1].strip()
        assert len(token) >= 32

        async def use() -> str:
            async with connect_http(url, token) as client:
                sid, _ = await client.start("sh")
                return (await client.send(sid, "echo $((6 * 7))"))["output"]

        assert "42" in anyio.run(use)
    finally:
        process.terminate()
        assert process.wait(30) == 0
