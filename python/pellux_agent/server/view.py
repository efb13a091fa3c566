"""The live view (``pellux-mcp --http ... --view``): a read-only page at
/view listing the terminals of the clients that use the viewer's token,
with each one's screen (or, without a screen, its latest clean output),
kept up to date by server-sent events.

It only looks. It has no route that takes input, and it never takes output
a client has not read yet: a terminal's screen is the one the client's own
reads left (``last_screen``), the output the tail of what the answers
carried. So the page shows what the agent saw, as soon as it saw it.
"""

from __future__ import annotations

import json
import time
from collections.abc import AsyncIterator, Callable
from typing import Any

import anyio
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse
from starlette.routing import Route

from .sessions import SessionManager

# How often the events stream looks for changes: well inside the second a
# person expects to wait.
POLL_S = 0.2
# A comment line this often keeps proxies from dropping a quiet stream and
# finds a viewer that left.
KEEPALIVE_S = 15.0
# The output a page gets per terminal without a screen.
OUTPUT_CHARS = 6_000

_SECURITY_HEADERS = {
    "Cache-Control": "no-store",
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}

PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>pellux: terminals</title>
<link rel="stylesheet" href="/view/view.css">
<script src="/view/view.js" defer></script>
</head>
<body>
<header><h1>Terminals</h1><span id="state">connecting</span></header>
<p id="empty">No terminals are open.</p>
<main id="terminals"></main>
</body>
</html>
"""

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1em; background: #f4f4f4; color: #222; }
header { display: flex; gap: 1em; align-items: baseline; }
#state { color: #666; }
section { background: #fff; border: 1px solid #ccc; border-radius: 4px; margin: 0 0 1em; }
section h2 { font-size: 1em; margin: 0; padding: .4em .6em; background: #e8e8e8; }
section h2 .meta { font-weight: normal; color: #555; margin-left: 1em; }
pre { margin: 0; padding: .5em .6em; background: #111; color: #ddd; overflow: auto;
      font: 13px/1.25 ui-monospace, monospace; max-height: 40em; }
.exited h2 { background: #f0d8d8; }
"""

SCRIPT = """'use strict';
// Renders the terminals the server sends; text only (textContent), so what a
// program prints is never taken for markup.
const list = document.getElementById('terminals');
const empty = document.getElementById('empty');
const state = document.getElementById('state');
let latest = [];

function age(started) {
  const s = Math.max(0, Math.floor(Date.now() / 1000 - started));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min';
  return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
}

function render() {
  empty.hidden = latest.length > 0;
  const seen = new Set();
  for (const t of latest) {
    seen.add(t.id);
    let box = document.getElementById('t-' + t.id);
    if (!box) {
      box = document.createElement('section');
      box.id = 't-' + t.id;
      const h = document.createElement('h2');
      const name = document.createElement('span');
      name.className = 'name';
      const meta = document.createElement('span');
      meta.className = 'meta';
      h.append(name, meta);
      const pre = document.createElement('pre');
      box.append(h, pre);
      list.append(box);
    }
    box.className = t.alive ? 'alive' : 'exited';
    box.querySelector('.name').textContent = t.id + ': ' + [t.program].concat(t.args).join(' ');
    box.querySelector('.meta').textContent =
      t.state + ' \u00b7 ' + age(t.started) + (t.screen ? ' \u00b7 screen' : ' \u00b7 output');
    const pre = box.querySelector('pre');
    const text = t.screen ? t.screen.join('\\n') : t.output;
    if (pre.textContent !== text) {
      const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
      pre.textContent = text;
      if (atEnd) pre.scrollTop = pre.scrollHeight;
    }
  }
  for (const box of Array.from(list.children)) {
    if (!seen.has(box.id.slice(2))) box.remove();
  }
}

const events = new EventSource('/view/events');
events.addEventListener('terminals', (e) => {
  latest = JSON.parse(e.data).terminals;
  state.textContent = 'live';
  render();
});
events.onerror = () => { state.textContent = 'reconnecting'; };
setInterval(render, 1000);  // the ages
"""


_STATES = {"ready": "waiting for input", "timeout": "still running"}


def _state(session: Any) -> str:
    if not (session.alive and session.terminal.alive):
        return "exited"
    if session.busy:
        return "working"
    status: str = session.status
    return _STATES.get(status, status)


def routes(manager: SessionManager, stopping: Callable[[], bool]) -> list[Route]:
    """The view's routes: the page, its style and script, and its events."""

    async def page(request: Request) -> Response:
        return Response(PAGE, media_type="text/html; charset=utf-8", headers=_SECURITY_HEADERS)

    async def style(request: Request) -> Response:
        return Response(STYLE, media_type="text/css; charset=utf-8", headers=_SECURITY_HEADERS)

    async def script(request: Request) -> Response:
        return Response(SCRIPT, media_type="text/javascript; charset=utf-8", headers=_SECURITY_HEADERS)

    async def events(request: Request) -> Response:
        token = request.scope["pellux.token"]  # set by the guard

        async def stream() -> AsyncIterator[str]:
            screens: dict[str, list[str]] = {}  # the last screen seen per terminal
            sent = None
            quiet_since = time.monotonic()
            yield "retry: 1000\n\n"
            while not stopping():
                terminals = []
                for s in manager.sessions_of(token):
                    rows = None
                    if s.screen:
                        snap = s.terminal.last_screen()
                        if snap is not None:
                            screens[s.session_id] = snap.rows
                        rows = screens.get(s.session_id)
                    terminals.append(
                        {
                            "id": s.session_id,
                            "program": s.command,
                            "args": s.args,
                            "state": _state(s),
                            "alive": bool(s.alive and s.terminal.alive),
                            "started": s.started,
                            "screen": rows,
                            "output": None if rows is not None else s.recent[-OUTPUT_CHARS:],
                        }
                    )
                data = json.dumps({"terminals": terminals}, separators=(",", ":"))
                now = time.monotonic()
                if data != sent:
                    sent, quiet_since = data, now
                    yield f"event: terminals\ndata: {data}\n\n"
                elif now - quiet_since >= KEEPALIVE_S:
                    quiet_since = now
                    yield ": still here\n\n"
                await anyio.sleep(POLL_S)

        return StreamingResponse(
            stream(),
            media_type="text/event-stream",
            headers={**_SECURITY_HEADERS, "X-Accel-Buffering": "no"},
        )

    return [
        Route("/view", page, methods=["GET"]),
        Route("/view/view.css", style, methods=["GET"]),
        Route("/view/view.js", script, methods=["GET"]),
        Route("/view/events", events, methods=["GET"]),
    ]
