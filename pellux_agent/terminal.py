"""``Terminal``: one program in its own terminal, driven turn by turn.

A ``Terminal`` owns one ``Pellux`` session, started through a launcher (see
``launcher.py``) so that the program gets its arguments, environment,
directory and size exactly. Every read returns a ``Turn``: the cleaned text,
why the read ended, and whether the program still runs.

Like the ``Pellux`` inside it, a ``Terminal`` belongs to the thread that
created it; ``AsyncTerminal`` runs one on a thread of its own.
"""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from types import TracebackType
from typing import Final, Literal

from pellux import Pellux

from . import process
from .launcher import Launcher, check_arguments
from .presets import preset_for
from .probe import InputProbe
from .reads import WaitFor, check_wait_for, read_until_input

Status = Literal["ready", "quiet", "timeout", "exited", "limit"]

DEFAULT_TIMEOUT_MS: Final = 20_000
# The read parameters of every turn: pellux's own defaults, fixed here so
# that the status can be derived from them.
SETTLE_MS: Final = 200
QUIET_MS: Final = 80
MAX_OUTPUT_BYTES: Final = 2 * 1024 * 1024
# How long a program that has begun to exit may take until pellux can
# collect it (normally well under a millisecond).
_EXIT_GRACE_S: Final = 1.0


@dataclass(frozen=True)
class Turn:
    """The answer of one read.

    ``status`` says why the read ended:

    * ``"ready"``: the program waits for input: the kernel shows it asleep
      reading its terminal with all its output taken (``wait_for`` "auto" or
      "input"), or the text ends with one of the terminal's ready markers,
      trailing whitespace aside;
    * ``"quiet"``: the output paused: in a terminal without markers, for the
      quiet period; with markers, after a marker that was not the last thing
      printed (the program may not be waiting);
    * ``"timeout"``: the timeout ran out first (the program may be busy);
    * ``"exited"``: the program has ended (its output ended with it);
    * ``"limit"``: the read took its byte cap (2 MiB of raw output) while more
      was coming; the rest is left for the next read.

    ``alive`` is whether the program ran when the read ended.
    """

    output: str
    status: Status
    alive: bool


class _Resources:
    """What a terminal must release, kept apart from the ``Terminal`` so
    that a finalizer can release it after the terminal is collected."""

    def __init__(self, launcher: Launcher, owner: threading.Thread) -> None:
        self.launcher = launcher
        self.owner = owner
        self.pellux: Pellux | None = None
        self.program: process.Identity | None = None

    def release(self) -> None:
        """Ends every process of the terminal's session and removes the
        private directory. Idempotent; any thread may call it, but only the
        owner thread closes (and drops) the ``Pellux``."""
        program, self.program = self.program, None
        session, self.pellux = self.pellux, None
        if program is not None:
            process.hang_up(program)
        if session is not None:
            try:
                if threading.current_thread() is not self.owner:
                    raise _ForeignThread
                session.close()
            except BaseException as error:
                if not isinstance(error, _ForeignThread) and not _is_panic(error):
                    raise
                # Dropped here, on a foreign thread, pellux would report the
                # session "unsendable"; its processes end below anyway.
                _ORPHANS.append(session)
        if program is not None:
            process.kill_session(program)
        self.launcher.remove()


# Sessions released off their owner thread: kept, never used again.
_ORPHANS: list[Pellux] = []


class _ForeignThread(Exception):
    pass


def _is_panic(error: BaseException) -> bool:
    # pellux's PanicException derives from BaseException only and cannot be
    # imported; it is recognised by its name.
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def _reaches_cap(text: str) -> bool:
    """Whether the raw output behind ``text`` filled the byte cap, estimated:
    its UTF-8 bytes plus the carriage return a terminal sends before each
    line feed (escape sequences and the like are not counted)."""
    return len(text.encode("utf-8", "surrogatepass")) + text.count("\n") >= MAX_OUTPUT_BYTES


def _ends_with_marker(text: str, markers: Sequence[str]) -> bool:
    """Whether a whole marker (its own trailing blank included) ends the
    text, with nothing but whitespace after it: "Loading..." does not end
    with the marker "... ", "...>>> \n" ends with ">>> "."""
    tail = text.rstrip()
    for marker in markers:
        core = marker.rstrip()
        if tail.endswith(core) and text[len(tail) - len(core) :].startswith(marker):
            return True
    return False


class Terminal:
    """A program in its own pseudo-terminal, with arguments, environment,
    working directory and size, driven one turn at a time.

    ``command`` is a program name (searched along ``PATH``, the one of the
    program's environment) or a path; ``args`` reach it verbatim, no shell
    reads them. ``env`` is merged onto this process's environment (a value
    of None removes the name). Every program also gets ``PAGER``,
    ``GIT_PAGER`` and ``MANPAGER`` set to ``cat`` and ``TERM=vt100`` unless
    ``env`` says otherwise. ``ready_markers=None`` picks the program's preset
    (gdb, python3, the shells, sqlite3, node; see ``presets.py``), whose
    prompts end a read; other programs, or an empty list, read until the
    output goes quiet.

    ``wait_for`` chooses how a read knows the answer is complete (see
    ``reads.py``): ``"auto"`` (default) ends it as soon as the kernel shows
    the program waiting for input on its terminal, with no settle pause, and
    falls back on the markers (or quiet output) where that cannot be seen;
    ``"markers"``, ``"quiet"`` and ``"input"`` force one rule.

    The program starts in the constructor (``OSError`` with pellux's message
    when it cannot) and ends with ``close()``, which ends every process of
    its terminal session, background jobs included. The object belongs to
    the thread that created it.
    """

    def __init__(
        self,
        command: str,
        args: Sequence[str] = (),
        *,
        cwd: str | None = None,
        env: Mapping[str, str | None] | None = None,
        rows: int = 24,
        cols: int = 80,
        ready_markers: Sequence[str] | None = None,
        wait_for: WaitFor = "auto",
    ) -> None:
        command, arg_list, cwd, env_map, rows, cols = check_arguments(
            command, args, cwd, env, rows, cols
        )
        self._wait_for = check_wait_for(wait_for)
        preset = preset_for(command)
        if ready_markers is None:
            markers = list(preset.markers)
        elif isinstance(ready_markers, str) or not isinstance(ready_markers, Sequence):
            raise TypeError("ready_markers must be a sequence of str or None (not a single str)")
        else:
            markers = list(ready_markers)
            for i, marker in enumerate(markers):
                if not isinstance(marker, str):
                    raise TypeError(f"ready_markers[{i}] must be a str, not {type(marker).__name__}")
        self._command = command
        self._args = tuple(arg_list)
        self._cwd = cwd
        self._rows = rows
        self._cols = cols
        self._markers = tuple(markers)
        self._probe: InputProbe | None = None
        # The thread object, not its ident: idents are reused.
        self._owner = threading.current_thread()
        self._closed = False
        launcher = Launcher(command, arg_list, cwd, env_map, rows, cols, preset)
        self._resources = _Resources(launcher, self._owner)
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            status_fd = launcher.listen()
            try:
                session = Pellux(launcher.script, True, [] if self._wait_for == "quiet" else markers)
            except BaseException:
                Launcher.forget(status_fd)
                raise
            self._resources.pellux = session
            pid = launcher.wait_started(status_fd, session.is_alive)
            self._resources.program = process.identify(pid)
        except BaseException:
            self._closed = True
            self._finalizer()
            raise

    # --- what the terminal is ------------------------------------------

    @property
    def command(self) -> str:
        return self._command

    @property
    def args(self) -> tuple[str, ...]:
        return self._args

    @property
    def cwd(self) -> str | None:
        return self._cwd

    @property
    def size(self) -> tuple[int, int]:
        """``(rows, cols)``."""
        return (self._rows, self._cols)

    @property
    def ready_markers(self) -> tuple[str, ...]:
        """The prompts that end a read; empty when reads end on quiet."""
        return self._markers

    @property
    def wait_for(self) -> WaitFor:
        """How a read knows the answer is complete."""
        return self._wait_for

    @property
    def pid(self) -> int | None:
        """The program's process id (also its terminal session's id), new
        after each ``restart()``; None once closed."""
        program = self._resources.program
        return program.pid if program is not None and not self._closed else None

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def alive(self) -> bool:
        """Whether the program still runs (False once closed). Never waits."""
        if self._closed:
            return False
        if threading.current_thread() is not self._owner:
            program = self._resources.program
            return program is not None and process.running(program)
        with self._pellux_errors():
            return self._program_alive()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pid {self.pid}"
        return f"<Terminal {self._command!r} {state}>"

    # --- turns -----------------------------------------------------------

    def send(self, input: str, timeout_ms: int | None = None) -> Turn:
        """Types ``input`` and a line feed, then reads the answer like
        ``read``. Raises RuntimeError when the program has exited (see
        ``restart``) or the input cannot be written."""
        if not isinstance(input, str):
            raise TypeError(f"input must be a str, not {type(input).__name__}")
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            if not session.is_alive():
                raise self._exited_error()
            started = time.monotonic()
            probe = self._input_probe()
            try:
                if probe is not None:
                    # Writes within the turn's time and takes nothing: the
                    # probed read below takes the whole answer.
                    text = session.send_and_read_until_ready(input, timeout, 0, 0, 0)
                else:
                    text = session.send_and_read_until_ready(
                        input, timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS
                    )
            except RuntimeError as error:
                # The write failed: say so plainly if the program has just
                # ended, which is the usual cause.
                if not self._program_alive():
                    raise self._exited_error() from error
                raise RuntimeError(f"{self!r}: {error}") from error
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout, text)
            return self._turn(text, started, timeout)

    def read(self, timeout_ms: int | None = None) -> Turn:
        """Reads until a ready marker ends the text (plus a short settle
        period), or without markers until the output goes quiet, for at most
        ``timeout_ms`` (default 20,000)."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            started = time.monotonic()
            probe = self._input_probe()
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout)
            text = session.read_until_ready(timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
            return self._turn(text, started, timeout)

    def interrupt(self, timeout_ms: int | None = None) -> Turn:
        """Types Ctrl-C (SIGINT for the program in the foreground), then
        reads like ``read``."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            if not session.is_alive():
                raise self._exited_error()
            try:
                session.send_ctrl_c()
            except RuntimeError as error:
                if not self._program_alive():
                    raise self._exited_error() from error
                raise RuntimeError(f"{self!r}: {error}") from error
        return self.read(timeout)

    def restart(self, timeout_ms: int | None = None) -> Turn:
        """Ends the program and every process of its session, starts it
        again in the same terminal object, and returns its first read. Raises
        OSError when it cannot start again (the terminal is then closed)."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        resources = self._resources
        with self._pellux_errors():
            started = time.monotonic()
            old = resources.program
            if old is not None:
                process.hang_up(old)
            status_fd = resources.launcher.listen()
            try:
                session.reset()
            except BaseException:
                Launcher.forget(status_fd)
                self.close()
                raise
            if old is not None:
                process.kill_session(old)
            try:
                pid = resources.launcher.wait_started(status_fd, session.is_alive)
            except BaseException:
                self.close()
                raise
            resources.program = process.identify(pid)
            # reset() took what the new program printed at once into the
            # history, where a plain read would not see it: a prompt found
            # there must end the turn instead of the whole timeout.
            text = session.get_history()
            probe = self._input_probe()
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout, text)
            if self._markers:
                if not _ends_with_marker(text, self._markers):
                    remaining = max(0, timeout - int((time.monotonic() - started) * 1000))
                    text += session.read_until_ready(
                        remaining, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS
                    )
            elif text:
                # Output already came, so the quiet period runs from now.
                while (remaining := timeout - int((time.monotonic() - started) * 1000)) > 0:
                    more = session.read_until_ready(
                        min(remaining, QUIET_MS), MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS
                    )
                    if not more:
                        break
                    text += more
            else:
                remaining = max(0, timeout - int((time.monotonic() - started) * 1000))
                text = session.read_until_ready(remaining, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
            return self._turn(text, started, timeout)

    def history(self, max_chars: int | None = None) -> str:
        """The cleaned text of the program's recent output that reads have
        taken (the last 4 MiB), or its last ``max_chars`` characters."""
        if max_chars is not None and (isinstance(max_chars, bool) or not isinstance(max_chars, int)):
            raise TypeError(f"max_chars must be an int or None, not {type(max_chars).__name__}")
        if max_chars is not None and max_chars < 0:
            raise ValueError(f"max_chars must not be negative, not {max_chars}")
        session = self._session()
        with self._pellux_errors():
            text = session.get_history()
        if max_chars is None:
            return text
        return text[len(text) - max_chars :] if max_chars else ""

    def close(self) -> None:
        """Ends every process of the terminal's session (the program first
        gets the hangup a closing terminal sends), removes the launcher and
        frees the session. Idempotent; never hangs (about 0.1 to 1 s)."""
        if self._closed:
            return
        self._check_owner()
        self._closed = True
        self._finalizer()

    def __enter__(self) -> Terminal:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    # --- internals -------------------------------------------------------

    def _check_owner(self) -> None:
        if threading.current_thread() is not self._owner:
            raise RuntimeError(
                f"{self!r} belongs to the thread that created it; "
                "use AsyncTerminal to drive a terminal from other threads or tasks"
            )

    def _session(self) -> Pellux:
        self._check_owner()
        session = self._resources.pellux
        if self._closed or session is None:
            raise RuntimeError(f"{self!r} is closed")
        return session

    @staticmethod
    def _timeout(timeout_ms: int | None) -> int:
        if timeout_ms is None:
            return DEFAULT_TIMEOUT_MS
        if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int):
            raise TypeError(f"timeout_ms must be an int or None, not {type(timeout_ms).__name__}")
        if timeout_ms < 0:
            raise ValueError(f"timeout_ms must not be negative, not {timeout_ms}")
        return timeout_ms

    @contextmanager
    def _pellux_errors(self) -> Iterator[None]:
        """Turns pellux's PanicException (a BaseException) into an ordinary
        error that names this terminal."""
        try:
            yield
        except BaseException as error:
            if _is_panic(error):
                raise RuntimeError(f"{self!r}: pellux failed: {error}") from None
            raise

    def _exited_error(self) -> RuntimeError:
        return RuntimeError(f"{self!r}: the program has exited; restart() starts it again")

    def _program_alive(self) -> bool:
        session = self._resources.pellux
        if session is None or not session.is_alive():
            return False
        program = self._resources.program
        if program is None or process.running(program):
            return True
        # Right after the program's output ends, pellux may not yet be able
        # to collect it: it has begun to exit. Wait for that to finish.
        deadline = time.monotonic() + _EXIT_GRACE_S
        while session.is_alive():
            if time.monotonic() >= deadline:
                return True
            time.sleep(0.001)
        return False

    def _input_probe(self) -> InputProbe | None:
        """The probe of the running program, for the rules that use it."""
        if self._wait_for not in ("auto", "input"):
            return None
        program = self._resources.program
        if program is None:
            return None
        if self._probe is None or self._probe.pid != program.pid:
            self._probe = InputProbe(program.pid)  # a new one after restart()
        return self._probe

    def _probed_turn(
        self, session: Pellux, probe: InputProbe, started: float, timeout_ms: int, text: str = ""
    ) -> Turn:
        text, status = read_until_input(
            session,
            probe,
            self._markers,
            self._wait_for,
            started=started,
            timeout_ms=timeout_ms,
            max_output_bytes=MAX_OUTPUT_BYTES,
            settle_ms=SETTLE_MS,
            quiet_ms=QUIET_MS,
            text=text,
        )
        if status is None:
            return self._turn(text, started, timeout_ms)
        if status == "ready":
            return Turn(text, "ready", True)
        if not self._program_alive():
            return Turn(text, "exited", False)
        return Turn(text, status, True)

    def _turn(self, text: str, started: float, timeout_ms: int) -> Turn:
        """Derives why a read ended; pellux does not say. The rules, in order:
        the program has ended: ``exited``; the text ends with a marker:
        ``ready``; the read lasted its whole timeout: ``timeout``. Otherwise
        the read ended early with the program running, on a marker, on quiet
        output or on the byte cap: ``limit`` when the text is as long as the
        cap allows (raw bytes estimated from the text, each line feed a
        terminal's CR LF) or, with markers, when none is in the text (pellux
        ends a marker read early only on a marker or the cap); otherwise
        ``quiet`` (with markers: one was seen, but was not the last thing
        printed)."""
        elapsed_ms = (time.monotonic() - started) * 1000
        session = self._resources.pellux
        assert session is not None
        markers = () if self._wait_for == "quiet" else self._markers
        if markers and _ends_with_marker(text, markers) and session.is_alive():
            return Turn(text, "ready", True)
        if not self._program_alive():
            return Turn(text, "exited", False)
        status: Status
        if markers and _ends_with_marker(text, markers):
            status = "ready"
        elif elapsed_ms >= timeout_ms:
            status = "timeout"
        elif _reaches_cap(text):
            status = "limit"
        elif markers:
            status = "quiet" if any(marker in text for marker in markers) else "limit"
        else:
            status = "quiet"
        return Turn(text, status, True)
