"""Hidden values for ``send_secret``: the ones the deployment offers from the
server's environment (``--secret-env``), and the one-time page where the
person at the client types one.

A value asked of the person must not pass through the client (which shows
its traffic to the model, and may log it): the protocol's URL mode of
elicitation sends the person to a page of the server's own, and the value
goes from the person's browser straight to the server. The page listens on
the loopback address only, under a random path that is valid for one
value, and answers nothing else.
"""

from __future__ import annotations

import asyncio
import ctypes
import html
import os
import secrets
from collections.abc import Iterable, Mapping
from typing import Final
from urllib.parse import parse_qs

# The most a page's request may carry (a value is a password, a token).
_MAX_BODY: Final = 64 * 1024
_MAX_HEAD: Final = 16 * 1024
# How long one connection may take to send its request.
_REQUEST_TIMEOUT_S: Final = 30.0


class SecretValues:
    """The values a deployment offers by name. Nothing shows them: not the
    repr, not a tool, not the environment of a started program."""

    def __init__(self, values: Mapping[str, str] | None = None) -> None:
        self._values = dict(values or {})

    @classmethod
    def from_environment(cls, names: Iterable[str]) -> SecretValues:
        """Takes each name's value out of this process's environment, so
        that no program the server starts inherits it. KeyError names the
        first one that is not set."""
        values: dict[str, str] = {}
        for name in names:
            if name not in os.environ:
                raise KeyError(name)
            values[name] = os.environ[name]
        for name in values:
            _wipe_first_environment(name)
            del os.environ[name]
        if values:
            _hide_process()
        return cls(values)

    def names(self) -> list[str]:
        return sorted(self._values)

    def get(self, name: str) -> str | None:
        return self._values.get(name)

    def __bool__(self) -> bool:
        return bool(self._values)

    def __repr__(self) -> str:
        return f"SecretValues({', '.join(self.names()) or 'none'})"


def _wipe_first_environment(name: str) -> None:
    """Overwrites the value of ``name`` where the process's environment
    began: /proc/PID/environ shows that memory, and removing the variable
    only drops the pointer to it (a program run as root reads that file
    whatever else is done)."""
    try:
        libc = ctypes.CDLL(None)
        entries = ctypes.POINTER(ctypes.c_void_p).in_dll(libc, "environ")
    except (OSError, ValueError):  # pragma: no cover - not a glibc-like libc
        return
    prefix = name.encode() + b"="
    i = 0
    while entries[i]:
        address = entries[i]
        entry = ctypes.string_at(address)
        if entry.startswith(prefix):
            ctypes.memset(address + len(prefix), ord("x"), len(entry) - len(prefix))
        i += 1


def _hide_process() -> None:
    """Makes this process undumpable: a program the server starts runs as
    the same user, and could otherwise read the values in the server's
    memory (ptrace, /proc/PID/mem) or its first environment
    (/proc/PID/environ, which removing a variable does not change)."""
    pr_set_dumpable = 4
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(pr_set_dumpable, 0, 0, 0, 0)
    except (OSError, AttributeError):  # pragma: no cover - not Linux
        pass


class SecretPage:
    """A one-time page on the loopback address where the person types one
    value: ``url`` to send them to, ``value()`` to wait for what they type.
    Use as ``async with SecretPage(title) as page:``; leaving the block
    closes it."""

    def __init__(self, title: str) -> None:
        self._title = title
        self._path = "/secret/" + secrets.token_urlsafe(24)
        self._server: asyncio.Server | None = None
        self._port = 0
        self._value: asyncio.Future[str] = asyncio.get_running_loop().create_future()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._port}{self._path}"

    async def __aenter__(self) -> SecretPage:
        self._server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        self._port = self._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc: object) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
        if not self._value.done():
            self._value.cancel()

    async def value(self) -> str:
        """What the person typed; waits for it (cancel to stop waiting)."""
        return await asyncio.shield(self._value)

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            status, body = await asyncio.wait_for(self._answer(reader), _REQUEST_TIMEOUT_S)
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError,
                ConnectionError, ValueError):
            status, body = "400 Bad Request", "Bad request."
        head = (
            f"HTTP/1.1 {status}\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            f"Content-Length: {len(body.encode())}\r\n"
            "Cache-Control: no-store\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "X-Frame-Options: DENY\r\n"
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
            "form-action 'self'; frame-ancestors 'none'\r\n"
            "Connection: close\r\n\r\n"
        )
        try:
            writer.write(head.encode() + body.encode())
            await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    async def _answer(self, reader: asyncio.StreamReader) -> tuple[str, str]:
        head = await reader.readuntil(b"\r\n\r\n")
        if len(head) > _MAX_HEAD:
            return "431 Request Header Fields Too Large", "Too large."
        lines = head.decode("latin-1").split("\r\n")
        method, _, rest = lines[0].partition(" ")
        target = rest.partition(" ")[0]
        headers = {}
        for line in lines[1:]:
            name, sep, value = line.partition(":")
            if sep:
                headers[name.strip().lower()] = value.strip()
        # Only the page's own address: a name that resolves here (DNS
        # rebinding) or a page of another site is not the person's browser
        # on this page.
        origin = f"http://127.0.0.1:{self._port}"
        if headers.get("host") != f"127.0.0.1:{self._port}":
            return "403 Forbidden", "Forbidden."
        if "origin" in headers and headers["origin"] not in (origin, "null"):
            return "403 Forbidden", "Forbidden."
        if not secrets.compare_digest(target.encode(), self._path.encode()):
            return "404 Not Found", "Not found."
        if self._value.done():
            return "410 Gone", "This page has been used; it takes one value."
        if method == "GET":
            return "200 OK", self._form()
        if method != "POST":
            return "405 Method Not Allowed", "Method not allowed."
        length = int(headers.get("content-length", "-1"))
        if not 0 <= length <= _MAX_BODY:
            return "413 Content Too Large", "Too large."
        body = await reader.readexactly(length)
        fields = parse_qs(body.decode("utf-8"), keep_blank_values=True, max_num_fields=4)
        values = fields.get("value")
        if not values:
            return "400 Bad Request", "No value."
        self._value.set_result(values[0])
        return "200 OK", _page("Received", "<p>The value was typed into the program. You may close this page.</p>")

    def _form(self) -> str:
        return _page(
            self._title,
            f"<p>{html.escape(self._title)}</p>"
            f'<form method="post" action="{self._path}">'
            '<input type="password" name="value" autofocus autocomplete="off"> '
            '<button type="submit">Send</button></form>'
            "<p>The value goes to the terminal only; the model does not see it.</p>",
        )


def _page(title: str, body: str) -> str:
    return (
        f"<!doctype html><html><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title>"
        "<style>body{font-family:sans-serif;max-width:40em;margin:3em auto}</style></head>"
        f"<body>{body}</body></html>"
    )
