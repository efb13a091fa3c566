"""Drive terminal programs from an agent: ``Terminal`` (any thread),
``AsyncTerminal`` (asyncio), and an MCP server (``python -m pellux_agent``).

Built on its own native terminal (``pellux_agent._terminal``, from pellux's
C++ core); without the server and a screen it imports nothing beyond the
standard library.
"""

from .async_terminal import AsyncTerminal
from .expect import PatternMatch
from .terminal import Foreground, Terminal, Turn

__all__ = ["AsyncTerminal", "Foreground", "PatternMatch", "Terminal", "Turn"]
