"""Drive a terminal program (a debugger, a REPL, a shell) from an agent, and
read its answers back as clean text."""

from collections.abc import Sequence
from typing import final

__all__ = ["Pellux"]

@final
class Pellux:
    """One program running in its own pseudo-terminal.

    ``command`` is the program to run, taken whole: a path, or a name searched
    along ``PATH``. It is not split into arguments and no shell reads it; put
    arguments in a small wrapper script. The program inherits the caller's
    environment and working directory, on an 80x24 terminal with echo off.

    In an interactive session a read ends when one of ``ready_markers``
    appears in the cleaned output, plus a short settle period; ``None`` gives
    ``["pwndbg> ", "(gdb) "]``, a list (even an empty one) is used as given.
    A non-interactive session, or one without markers, reads until the output
    goes quiet.

    Raises ``Exception`` when the program cannot be started. An object may be
    used only on the thread that created it: from any other thread every
    method raises ``PanicException``, which derives from ``BaseException``.
    """

    def __new__(
        cls, command: str, interactive: bool, ready_markers: Sequence[str] | None = None
    ) -> Pellux: ...
    def set_ready_markers(self, ready_markers: Sequence[str]) -> None:
        """Replaces the prompts that end an interactive read, from the next read
        on. An empty list switches the session to reading until quiet."""

    def read_until_ready(
        self,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Reads until a ready marker appears (then for up to ``settle_ms`` more,
        default 200) or, without markers, until ``quiet_ms`` (default 80) pass
        without output. Ends early, without an error, after ``timeout_ms``
        (default 20000), after ``max_output_bytes`` raw bytes (default 2 MiB;
        the rest stays queued) or when the program's output ends. Returns the
        cleaned text, possibly empty."""

    def send_and_read_until_ready(
        self,
        input: str,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Types ``input`` and one line feed, then reads as ``read_until_ready``.
        Raises ``RuntimeError`` when the input cannot be written."""

    def read_available(self, max_bytes: int | None = None) -> str:
        """Returns the output queued right now, up to ``max_bytes`` raw bytes
        (default 65536; the rest stays queued), without waiting."""

    def send_ctrl_c(self) -> None:
        """Types Ctrl-C: SIGINT for the terminal's foreground program. Raises
        ``RuntimeError`` when it cannot be written."""

    def get_history(self) -> str:
        """The cleaned text of the last 4 MiB of output that reads have taken."""

    def is_alive(self) -> bool:
        """Whether the program still runs. Never waits."""

    def is_interactive(self) -> bool:
        """The constructor's ``interactive``."""

    def get_initial_command(self) -> str:
        """The constructor's ``command``."""

    def close(self) -> None:
        """Ends the program and the session's reader; never hangs. Output
        already queued stays readable. Calling it again does nothing."""

    def reset(self) -> None:
        """Ends the program and starts the same command again in this object,
        keeping the mode and the current markers; the history starts over.
        Raises ``Exception`` when the program cannot be started again (the
        session is then closed)."""
