"""The MCP server over streamable HTTP (``pellux-mcp --http HOST:PORT``).

What stdio gets for free, HTTP must check on every request, before anything
else sees it (`Guard`):

- the ``Host`` header names this server (a page on another site that
  rebinds its own name to our address sends its own name: refused, 421),
  and an ``Origin`` header, when a browser sends one, is one of ours (403);
- a bearer token (``Authorization: Bearer ...``) matches one of the server's
  tokens, compared in constant time (401 otherwise). The live view also
  takes the token once in its address and keeps it in a cookie that
  scripts cannot read and other sites cannot send.

Each client sees only its own terminals: a tool call runs with the client
that made it (`ClientId`: the token's label and the MCP session) bound in
``sessions.current_client``, and the session table answers for that client
alone. When a client's MCP session ends (it said goodbye, or went quiet
for the idle timeout), its terminals are closed.
"""

from __future__ import annotations

import hmac
import ipaddress
import secrets
import socket
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from http.cookies import SimpleCookie
from typing import Any
from urllib.parse import parse_qs, urlsplit

from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
from mcp.server.auth.provider import AccessToken
from mcp.server.context import CallNext, HandlerResult, ServerMiddleware, ServerRequestContext
from mcp.server.mcpserver import MCPServer
from mcp.server.transport_security import TransportSecuritySettings
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

from .sessions import ClientId, Limits, SessionManager, current_client, serve_until_signalled
from .tools import build_server
from . import view

MCP_PATH = "/mcp"
VIEW_PATH = "/view"
COOKIE = "pellux_view"
# A token shorter than this is guessable over a network.
MIN_TOKEN_CHARS = 16
_LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


# ---------------------------------------------------------------------------
# Tokens


@dataclass(frozen=True)
class Tokens:
    """The tokens that open this server, each with the label that stands for
    it in the session table (never the token itself)."""

    entries: tuple[tuple[str, bytes], ...]

    @classmethod
    def read(cls, path: str) -> Tokens:
        """One token per line; blank lines and lines starting with '#' are
        skipped. Each token is one client (or one group of clients sharing
        their terminals' view)."""
        try:
            with open(path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as error:
            raise ValueError(f"cannot read the token file {path!r}: {error}") from None
        entries: list[tuple[str, bytes]] = []
        for number, line in enumerate(lines, 1):
            token = line.strip()
            if not token or token.startswith("#"):
                continue
            if len(token) < MIN_TOKEN_CHARS or any(c.isspace() or not c.isprintable() for c in token):
                raise ValueError(
                    f"{path}:{number}: a token must be at least {MIN_TOKEN_CHARS} printable "
                    "characters without spaces (python3 -c 'import secrets; "
                    "print(secrets.token_urlsafe(32))' makes one)"
                )
            entries.append((f"token{len(entries) + 1}", token.encode()))
        if not entries:
            raise ValueError(f"the token file {path!r} holds no token")
        return cls(tuple(entries))

    @classmethod
    def generate(cls) -> tuple[Tokens, str]:
        token = secrets.token_urlsafe(32)
        return cls((("token1", token.encode()),)), token

    def match(self, presented: str) -> str | None:
        """The label of the token `presented` is, or None. Every token is
        compared, each in constant time, so the time taken tells nothing
        about which one came close."""
        given = presented.encode("utf-8", "surrogateescape")
        found = None
        for label, token in self.entries:
            if hmac.compare_digest(given, token):
                found = label
        return found


# ---------------------------------------------------------------------------
# Options


@dataclass(frozen=True)
class HttpOptions:
    host: str
    port: int
    tokens: Tokens
    # Host names (besides the loopback ones) that requests may be addressed
    # to: the name a reverse proxy forwards, the machine's own name.
    allowed_hosts: tuple[str, ...] = ()
    view: bool = False
    # MCP sessions open at once, every token's together.
    max_clients: int = 64
    # A client with no request in flight this long is gone: its MCP session
    # ends and its terminals close. 0: never.
    client_idle_timeout_s: float = 600.0


def parse_address(text: str) -> tuple[str, int]:
    """``HOST:PORT`` (``[::1]:PORT`` for IPv6; ``:PORT`` means loopback)."""
    host, sep, port_text = text.rpartition(":")
    if not sep or not port_text.isdigit() or not 0 <= int(port_text) <= 65535:
        raise ValueError(f"expected HOST:PORT, e.g. 127.0.0.1:8765, got {text!r}")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host or "127.0.0.1", int(port_text)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _is_wildcard(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_unspecified
    except ValueError:
        return False


def allowed_names(options: HttpOptions) -> frozenset[str]:
    """The host names requests may carry in ``Host`` (and ``Origin``)."""
    names = {*_LOOPBACK_NAMES, *(h.lower() for h in options.allowed_hosts)}
    if not _is_wildcard(options.host):
        names.add(options.host.lower())
    return frozenset(names)


def check_options(options: HttpOptions) -> None:
    """Refuses a setup that would expose the server to rebinding or reach
    no one: an address on every interface needs the names it is reached by."""
    if _is_wildcard(options.host) and not options.allowed_hosts:
        raise ValueError(
            f"--http {options.host} listens on every interface: name the host names clients "
            "use to reach it with --allowed-host (requests for other names are refused)"
        )


# ---------------------------------------------------------------------------
# The guard in front of everything


def _host_name(value: str) -> str | None:
    """The name part of a ``Host`` header (``name``, ``name:port``,
    ``[v6]:port``), lowercased; None when malformed."""
    try:
        parts = urlsplit(f"//{value}")
        parts.port  # noqa: B018 - raises on a malformed port
    except ValueError:
        return None
    return parts.hostname


def _origin_name(value: str) -> str | None:
    try:
        parts = urlsplit(value)
        parts.port  # noqa: B018
    except ValueError:
        return None
    if parts.scheme not in ("http", "https"):
        return None
    return parts.hostname


def _refusal(status: int, message: str, **headers: str) -> Response:
    return JSONResponse({"error": message}, status_code=status, headers=headers)


class Guard:
    """ASGI middleware: Host, Origin and token checks on every request, and
    the token's label handed on in the scope (``pellux.token``)."""

    def __init__(self, app: ASGIApp, options: HttpOptions) -> None:
        self.app = app
        self.tokens = options.tokens
        self.names = allowed_names(options)
        self.view = options.view

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        response = self._check(scope)
        if response is not None:
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _check(self, scope: Scope) -> Response | None:
        request = Request(scope)
        host = _host_name(request.headers.get("host", ""))
        if host is None or host not in self.names:
            return _refusal(421, "this server does not answer for that host name")
        origin = request.headers.get("origin")
        if origin is not None and _origin_name(origin) not in self.names:
            return _refusal(403, "requests from that origin are not allowed")
        path = scope.get("path", "")
        in_view = self.view and (path == VIEW_PATH or path.startswith(VIEW_PATH + "/"))

        label = None
        authorization = request.headers.get("authorization", "")
        scheme, _, credential = authorization.partition(" ")
        if scheme.lower() == "bearer" and credential.strip():
            label = self.tokens.match(credential.strip())
        elif in_view:
            query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
            given = query.get("token", [None])[0]
            if given is not None and path == VIEW_PATH:
                label = self.tokens.match(given)
                if label is not None:
                    # Keep it in a cookie and take it out of the address bar
                    # (and the history, and what a screenshot shows).
                    # Behind a TLS proxy (the README's sends this header)
                    # the cookie travels over TLS only.
                    secure = request.headers.get("x-forwarded-proto") == "https"
                    return _view_login(given, secure or scope.get("scheme") == "https")
            else:
                cookie = SimpleCookie()
                try:
                    cookie.load(request.headers.get("cookie", ""))
                except Exception:
                    cookie = SimpleCookie()
                if COOKIE in cookie:
                    label = self.tokens.match(cookie[COOKIE].value)
        if label is None:
            return _refusal(
                401,
                "a valid token is required (Authorization: Bearer TOKEN"
                + ("; the view takes /view?token=TOKEN once" if in_view else "")
                + ")",
                **{"WWW-Authenticate": 'Bearer realm="pellux"'},
            )
        scope["pellux.token"] = label
        # The SDK binds each MCP session to the credential that opened it:
        # a request under another token that names it finds no session.
        scope["user"] = AuthenticatedUser(AccessToken(token=label, client_id=label, scopes=[]))
        return None


def _view_login(token: str, secure: bool) -> Response:
    response = Response(status_code=303, headers={"Location": VIEW_PATH, "Cache-Control": "no-store"})
    response.set_cookie(COOKIE, token, path=VIEW_PATH, httponly=True, samesite="strict", secure=secure)
    return response


# ---------------------------------------------------------------------------
# Who calls


def client_binder(manager: SessionManager) -> ServerMiddleware[Any]:
    """MCP middleware: runs every message with its client bound, and closes
    a client's terminals when its MCP session ends."""

    async def bind(ctx: ServerRequestContext[Any, Any], call_next: CallNext) -> HandlerResult:
        # The HTTP request this message came in (None over stdio), as the
        # guard let it through.
        request = ctx.request
        scope = getattr(request, "scope", None)
        label = scope.get("pellux.token") if isinstance(scope, dict) else None
        if request is None or label is None:
            return await call_next(ctx)
        client = ClientId(label, request.headers.get("mcp-session-id") or "")
        connection = getattr(ctx.session, "_connection", None)
        if client.connection and connection is not None and not connection.state.get("pellux.client"):
            connection.state["pellux.client"] = client
            connection.exit_stack.push_async_callback(manager.client_left, client)
        bound = current_client.set(client)
        try:
            return await call_next(ctx)
        finally:
            current_client.reset(bound)

    return bind


# ---------------------------------------------------------------------------
# The app and the server


def build_app(
    limits: Limits, options: HttpOptions, stopping: Callable[[], bool] = lambda: False
) -> tuple[ASGIApp, MCPServer[Any], SessionManager]:
    mcp, manager = build_server(limits)
    mcp.middleware.append(client_binder(manager))
    if options.view:
        for route in view.routes(manager, stopping):
            mcp.custom_route(route.path, methods=sorted(route.methods or ["GET"]))(route.endpoint)

    idle = options.client_idle_timeout_s
    app = mcp.streamable_http_app(
        streamable_http_path=MCP_PATH,
        # The guard checks Host and Origin for every path, /view included.
        transport_security=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        session_idle_timeout=idle if idle > 0 else None,
        max_sessions=options.max_clients,
        host=options.host,
    )
    return Guard(app, options), mcp, manager


def _listen(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(128)
    except OSError:
        sock.close()
        raise
    sock.set_inheritable(False)
    return sock


def _url(host: str, port: int, path: str) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}{path}"


def _server_class() -> type:
    import contextlib

    import uvicorn

    class _Server(uvicorn.Server):
        """uvicorn's server without its own signal handling, which would
        raise the signal again once the server stopped and so end the
        process before the terminals are closed: serve_http handles them."""

        @contextlib.contextmanager
        def capture_signals(self) -> Any:
            yield

    return _Server


async def serve_http(limits: Limits, options: HttpOptions, announce_token: str | None) -> None:
    """Serves MCP over HTTP until SIGINT, SIGTERM or SIGHUP; then closes
    every terminal."""
    import uvicorn

    server: uvicorn.Server | None = None
    app, _mcp, manager = build_app(limits, options, lambda: server is not None and server.should_exit)
    sock = _listen(options.host, options.port)
    host, port = sock.getsockname()[:2]
    config = uvicorn.Config(
        app,
        log_level="warning",
        access_log=False,
        lifespan="on",
        # Open streams (a long read, the view's events) end this soon after
        # a signal.
        timeout_graceful_shutdown=2,
        server_header=False,
    )
    server = _server_class()(config)
    lines = [f"pellux-mcp: serving MCP at {_url(host, port, MCP_PATH)}"]
    if options.view:
        lines.append(f"pellux-mcp: live view at {_url(host, port, VIEW_PATH)}?token=TOKEN")
    if announce_token is not None:
        lines.append(f"pellux-mcp: token (shown once): {announce_token}")
    print("\n".join(lines), file=sys.stderr, flush=True)
    def stop() -> None:
        server.should_exit = True

    try:
        await serve_until_signalled(manager, lambda: server.serve(sockets=[sock]), stop)
    finally:
        sock.close()


__all__: Sequence[str] = (
    "HttpOptions",
    "Tokens",
    "build_app",
    "check_options",
    "parse_address",
    "serve_http",
)
