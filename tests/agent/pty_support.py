"""A real program in a pseudo-terminal of the test's own (Python's pty module),
its output fed to a ``Screen`` as it arrives, so keys and the screen are
tried on real programs independently of ``Terminal``."""

from __future__ import annotations

import fcntl
import os
import pty
import select
import signal
import struct
import termios
import time
from collections.abc import Callable, Sequence

from pellux_agent.keys import encode_keys
from pellux_agent.screen import Screen, ScreenSnapshot

# Generous: the machine running the tests may be busy.
WAIT_S = 10.0


class PtyProgram:
    def __init__(
        self, argv: Sequence[str], rows: int = 24, cols: int = 80, env: dict[str, str] | None = None
    ) -> None:
        environment = dict(os.environ, TERM="xterm-xfree86", LC_ALL="C.UTF-8", **(env or {}))
        environment.pop("COLUMNS", None)
        environment.pop("LINES", None)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # pragma: no cover - the child
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
                os.execvpe(argv[0], list(argv), environment)
            finally:
                os._exit(127)
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        self.screen = Screen(rows, cols)
        self.raw = bytearray()
        self.ended = False

    def _take(self, timeout: float) -> bool:
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:  # EIO: the program's side is closed
            data = b""
        if not data:
            self.ended = True
            return False
        self.raw += data
        self.screen.feed(data)
        return True

    def wait_for(self, condition: Callable[[ScreenSnapshot], bool], what: str) -> ScreenSnapshot:
        """Reads until `condition` holds for the screen (bounded by WAIT_S)."""
        deadline = time.monotonic() + WAIT_S
        while True:
            snap = self.screen.snapshot()
            if condition(snap):
                return snap
            if self.ended or time.monotonic() > deadline:
                raise AssertionError(f"screen never showed {what}:\n" + "\n".join(snap.rows))
            self._take(0.05)

    def settle(self, quiet_s: float = 0.3) -> ScreenSnapshot:
        """Reads until the output pauses for `quiet_s`."""
        deadline = time.monotonic() + WAIT_S
        while not self.ended and time.monotonic() < deadline and self._take(quiet_s):
            pass
        return self.screen.snapshot()

    @property
    def app_cursor(self) -> bool:
        """The cursor-key mode as the emulator keeps it (DECCKM)."""
        return bool(self.screen._terminal.mode(1))

    def press(self, keys: str | Sequence[str]) -> None:
        os.write(self.fd, encode_keys(keys, app_cursor=self.app_cursor))

    def wait_exit(self) -> int:
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            self._take(0.05)
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.pid = 0
                return status
        raise AssertionError("the program did not exit")

    def close(self) -> None:
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
            self.pid = 0
        os.close(self.fd)

    def __enter__(self) -> PtyProgram:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
