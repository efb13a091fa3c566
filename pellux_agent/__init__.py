"""Drive terminal programs from an agent: ``Terminal`` (one thread),
``AsyncTerminal`` (asyncio), and an MCP server (``python -m pellux_agent``).

Built only on ``pellux.Pellux``; without the server it imports nothing beyond
the standard library and ``pellux``.
"""

from .async_terminal import AsyncTerminal
from .terminal import Terminal, Turn

__all__ = ["AsyncTerminal", "Terminal", "Turn"]
