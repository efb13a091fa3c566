"""An MCP server over stdio that lets a model drive terminal programs
(``pellux-mcp``, ``python -m pellux_agent``).

Each session is one `AsyncTerminal`: the program in its own pseudo-terminal,
driven from its own thread, so a long read in one session never holds up
another, and the event loop serving the protocol never blocks.

``results`` holds what the tools answer, ``sessions`` the session table,
``tools`` the tools themselves and ``cli`` the command line.
"""

from __future__ import annotations

try:
    import anyio  # noqa: F401
    import mcp  # noqa: F401
    import pydantic  # noqa: F401
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "the pellux MCP server needs the mcp package: pip install 'pellux[mcp]'"
    ) from missing

from .cli import main, parse_args, serve
from .results import MIN_OUTPUT_CHARS, shorten
from .sessions import Limits, SessionError, SessionManager
from .tools import INSTRUCTIONS, build_server

__all__ = [
    "INSTRUCTIONS",
    "MIN_OUTPUT_CHARS",
    "Limits",
    "SessionError",
    "SessionManager",
    "build_server",
    "main",
    "parse_args",
    "serve",
    "shorten",
]
