"""The README's TLS set-up works as written: nginx with the example
configuration (examples/tls-proxy/nginx.conf) in front of pellux-mcp, a
client speaking MCP over https through it, and the token, Host and Origin
checks still made by pellux-mcp behind it."""

from __future__ import annotations

import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import anyio
import pytest

pytest.importorskip("mcp", reason="the MCP server needs the mcp package (pip install '.[mcp]')")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from mcp_client import HttpServer, connect_http_client  # noqa: E402

NGINX = shutil.which("nginx") or (Path("/usr/sbin/nginx").exists() and "/usr/sbin/nginx") or None
OPENSSL = shutil.which("openssl")
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "tls-proxy" / "nginx.conf"
pytestmark = [
    pytest.mark.anyio,
    pytest.mark.skipif(not (NGINX and OPENSSL), reason="needs nginx and openssl (apt-get install nginx-light)"),
    pytest.mark.skipif(not EXAMPLE.exists(), reason="the example configuration is not in this tree"),
]


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


def free_port() -> int:
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proxy_config(tmp: Path, listen: int, upstream: int) -> Path:
    """The example's server block as it is, but for its certificate paths and
    ports, inside a minimal nginx.conf that runs unprivileged in `tmp`."""
    server = EXAMPLE.read_text()
    server = server.replace("/etc/ssl/pellux/cert.pem", str(tmp / "cert.pem"))
    server = server.replace("/etc/ssl/pellux/key.pem", str(tmp / "key.pem"))
    server = server.replace("listen 443 ssl;", f"listen 127.0.0.1:{listen} ssl;")
    server = server.replace("127.0.0.1:8765", f"127.0.0.1:{upstream}")
    assert f"127.0.0.1:{upstream}" in server and str(tmp) in server
    config = tmp / "nginx.conf"
    config.write_text(
        f"daemon off;\nworker_processes 1;\npid {tmp}/nginx.pid;\nerror_log {tmp}/error.log;\n"
        f"events {{}}\nhttp {{\n access_log off;\n client_body_temp_path {tmp}/body;\n"
        f" proxy_temp_path {tmp}/proxy;\n{server}\n}}\n"
    )
    return config


def test_mcp_and_the_view_through_the_example_tls_proxy(tmp_path: Path) -> None:
    subprocess.run(
        [OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
         "/CN=mcp.example.com", "-keyout", str(tmp_path / "key.pem"), "-out", str(tmp_path / "cert.pem")],
        check=True, capture_output=True, timeout=60,
    )
    with HttpServer("--allowed-host", "mcp.example.com", "--view") as server:
        listen = free_port()
        config = proxy_config(tmp_path, listen, server.port)
        nginx = subprocess.Popen([NGINX, "-c", str(config), "-e", str(tmp_path / "error.log")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        try:
            url = f"https://mcp.example.com:{listen}/mcp"

            async def through_proxy() -> None:
                import httpx2

                # mcp.example.com resolves to the proxy here; the certificate
                # is the one made above.
                import ssl

                trusted = ssl.create_default_context(cafile=str(tmp_path / "cert.pem"))
                transport = httpx2.AsyncHTTPTransport(verify=trusted)

                async def resolve(request: httpx2.Request) -> None:
                    request.url = request.url.copy_with(host="127.0.0.1")
                    request.headers["Host"] = f"mcp.example.com:{listen}"
                    request.extensions["sni_hostname"] = "mcp.example.com"

                deadline = time.monotonic() + 30
                while True:  # nginx listens a moment after it starts
                    try:
                        async with httpx2.AsyncClient(transport=transport, event_hooks={"request": [resolve]}) as probe:
                            refused = await probe.post(url, json={})
                        break
                    except httpx2.ConnectError:
                        assert nginx.poll() is None, nginx.stderr.read().decode() if nginx.stderr else ""
                        assert time.monotonic() < deadline, "nginx did not start"
                        await anyio.sleep(0.1)
                assert refused.status_code == 401  # checked behind the proxy

                client = httpx2.AsyncClient(
                    transport=transport, event_hooks={"request": [resolve]},
                    headers={"Authorization": f"Bearer {server.token}"},
                    timeout=httpx2.Timeout(30, read=300),
                )
                async with connect_http_client(url, client) as agent:
                    sid, first = await agent.start("python3")
                    assert first["status"] == "ready"
                    assert (await agent.send(sid, "6 * 7"))["output"] == "42\n>>> "

                    # The view's events stream through the proxy as they come.
                    async with httpx2.AsyncClient(transport=transport, event_hooks={"request": [resolve]},
                                                  timeout=30) as browser:
                        view = url.replace("/mcp", "/view")
                        login = await browser.get(f"{view}?token={server.token}")
                        assert login.status_code == 303
                        assert "secure" in login.headers["set-cookie"].lower()  # over TLS only
                        cookie = login.headers["set-cookie"].split(";", 1)[0]
                        async with browser.stream("GET", f"{view}/events", headers={"Cookie": cookie}) as events:
                            assert events.status_code == 200
                            seen = ""
                            async for chunk in events.aiter_text():
                                seen += chunk
                                if "event: terminals" in seen and "\n\n" in seen.split("event: terminals", 1)[1]:
                                    break
                            assert re.search(r'"program":"python3"', seen), seen
                            assert "42" in seen

            anyio.run(through_proxy)
        finally:
            nginx.send_signal(signal.SIGQUIT)
            try:
                nginx.wait(15)
            except subprocess.TimeoutExpired:
                nginx.kill()
                nginx.wait()
            if nginx.stderr is not None:
                nginx.stderr.close()
